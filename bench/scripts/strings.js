// String building by +=.
function main() {
    var s = "";
    for (var i = 0; i < 20000; i++) {
        s += "ab";
    }
    print_result(s.length);
}
