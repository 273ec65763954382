// Text processing: a CSV text of about 1 MB split into lines and fields,
// indexOf and includes searches over the whole text, replaceAll of a text,
// toUpperCase, and padStart on every line's first field.
function main() {
    var rows = [];
    for (var i = 0; i < 20000; i++) {
        rows.push(i + ",customer" + (i % 97) + ",item-" + (i % 13) + "," + (i * 7 % 1000) + ".25,2024-05-" +
                  (i % 28 + 1) + ",note " + (i % 5));
    }
    var text = rows.join("\n");
    var total = text.length;

    var lines = text.split("\n");
    for (var l = 0; l < lines.length; l++) {
        var fields = lines[l].split(",");
        total += fields.length + fields[3].length;
        total += fields[0].padStart(8, "0").length;
    }
    for (var k = 0; k < 100; k++) {
        total += text.indexOf("customer" + (k % 97) + ",item-" + (k % 13) + ",");
        if (text.includes("2024-05-" + (k % 40) + ",note 9")) total += 1;
        total += text.indexOf("item-12,", k * 1000);
    }
    for (var r = 0; r < 3; r++) {
        var semicolons = text.replaceAll(",", ";");
        total += semicolons.indexOf(";item-");
        total += text.replaceAll("customer", "client").length;
    }
    for (var u = 0; u < 5; u++) total += text.toUpperCase().indexOf("NOTE 4");
    print_result(total);
}
