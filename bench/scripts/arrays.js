// Array push and index reads.
function main() {
    var a = [];
    for (var i = 0; i < 1000000; i++) {
        a.push(i);
    }
    var sum = 0;
    for (var j = 0; j < a.length; j++) {
        sum = (sum + a[j]) % 1000003;
    }
    print_result(sum);
}
