// Sorting 100,000 integers with a comparator.
function main() {
    var a = [];
    var x = 12345;
    for (var i = 0; i < 100000; i++) {
        x = (x * 1103 + 12345) % 1000003;
        a.push(x);
    }
    a.sort(function (p, q) { return p - q; });
    print_result(a[0] + a[50000] + a[99999]);
}
