// Regular expressions: searches over a text of about 1 MB (a pattern that
// does not occur, one whose first unit is a class, a case-insensitive one
// found at the end), and exec loops with captures over a text of 36 KB.
function main() {
    var line = "";
    for (var i = 0; i < 20; i++) line += "word" + i + " on 2024-05-" + (i % 28 + 1) + " by user" + i + "@example.com; ";
    var text = line;
    while (text.length < 30000) text = text + text;
    var big = text;
    while (big.length < 1000000) big = big + big;
    big = big + "The END.";
    var total = 0;
    for (var k = 0; k < 5; k++) {
        if (/needle\d+/.test(big)) total += 1;
        if (/[qz]{2}\d/.test(big)) total += 1;
        if (/the end\./i.test(big)) total += 1;
    }
    for (var pass = 0; pass < 4; pass++) {
        var mail = /(\w+)@(\w+)\.com/g;
        var m = mail.exec(text);
        while (m !== null) {
            total += m[1].length + m[2].length;
            m = mail.exec(text);
        }
        var dates = /(\d{4})-(\d\d)-(\d+)/g;
        m = dates.exec(text);
        while (m !== null) {
            total += m[3].length;
            m = dates.exec(text);
        }
        var users = /USER(\d+)@EXAMPLE/gi;
        m = users.exec(text);
        while (m !== null) {
            total += m[1].length;
            m = users.exec(text);
        }
    }
    print_result(total);
}
