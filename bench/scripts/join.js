// Joining 100,000 elements into one string, ten times.
function main() {
    var a = [];
    for (var i = 0; i < 100000; i++) a.push(i % 2 == 0 ? i : "e" + i);
    var total = 0;
    for (var k = 0; k < 10; k++) total = total + a.join(",").length;
    print_result(total);
}
