// Reading text character by character: charCodeAt over every character of
// 20,000 short lines, and charAt along the first 5,000 characters of a text
// of about 1 MB, ASCII and then with two- and three-byte characters.
function main() {
    var rows = [];
    for (var i = 0; i < 20000; i++) rows.push(i + ",customer" + (i % 97) + ",item-" + (i % 13) + ",note " + (i % 5));
    var total = 0;
    for (var l = 0; l < rows.length; l++) {
        var line = rows[l];
        for (var c = 0; c < line.length; c++) {
            if (line.charCodeAt(c) === 44) total += c;
        }
    }
    var ascii = rows.join("\n");
    var mixed = rows.join("é日");
    for (var k = 0; k < 5000; k++) {
        if (ascii.charAt(k) === ",") total += 1;
        if (mixed.charAt(k) === "日") total += 2;
    }
    print_result(total);
}
