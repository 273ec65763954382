// Object set and get of 100,000 keys (in two objects: an object holds at
// most 65,535 properties).
function main() {
    var even = {};
    var odd = {};
    for (var i = 0; i < 100000; i++) {
        if (i % 2 == 0) even.set("k" + i, i); else odd.set("k" + i, i);
    }
    var sum = 0;
    for (var j = 0; j < 100000; j++) {
        sum = (sum + (j % 2 == 0 ? even.get("k" + j) : odd.get("k" + j))) % 1000003;
    }
    print_result(sum);
}
