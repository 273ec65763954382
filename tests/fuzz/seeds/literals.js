// slashes and quotes in comments: http://example.com/a/b, "q", `t`
/* a block with a url: http://x/y/ and a path /usr/lib */
var half = 10 / 2, third = (half + 1) / 3 / 1; // half = 10 / 2
var url = /https?:\/\/[^/]+\//i, quotes = /['"`]/g, star = /[/*]+/, semi = /;/;
function f(s, i) {
    if (!/^\s*$/.test(s)) return s.replace(quotes, "_").split(semi);
    var n = i++ / 2 + i-- -1;
    return typeof /x/ == "object" ? [s.match(/(\d+)-(?<k>\w)/), n, /[)\]]/.test(")")] : /a\/b/.source;
}
