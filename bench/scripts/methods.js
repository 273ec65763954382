// Method calls on values.
function main() {
    var total = 0;
    for (var i = 0; i < 1000000; i++) {
        var n = i % 1000;
        total = (total + n.toString().length) % 1000003;
    }
    print_result(total);
}
