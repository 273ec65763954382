// Math methods in a loop.
function main() {
    var total = 0;
    for (var i = 0; i < 300000; i++) {
        var x = i * 0.37;
        total = (total + Math.floor(x) + Math.round(x) + Math.abs(0 - i) + Math.max(i, 7, x) + Math.min(i, 3)) % 1000003;
    }
    print_result(Math.floor(total));
}
