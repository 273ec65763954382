// Sorting 100,000 strings by their text, without a comparator.
function main() {
    var a = [];
    var x = 12345;
    for (var i = 0; i < 100000; i++) {
        x = (x * 1103 + 12345) % 1000003;
        a.push("s" + x);
    }
    a.sort();
    var disorder = 0;
    for (var j = 1; j < a.length; j++) if (a[j - 1] > a[j]) disorder++;
    print_result(disorder + a.indexOf("s548351") + a.indexOf("s999997"));
}
