// indexOf over a 100,000-element array: 200 searches of a late element.
function main() {
    var a = [];
    for (var i = 0; i < 100000; i++) a.push(i);
    var total = 0;
    for (var k = 0; k < 200; k++) total = total + a.indexOf(99000 + k);
    print_result(total);
}
