// Request bodies: the items and records byte for byte, the encoder's
// refusals, and round trips through the real kova, which decodes the body
// into script variables and sends them back as frames.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { decodeResponse, encodeRequest, float, REFERENCE_LIMIT, textItem } from "../../front/kova-front.js";
import { Installation } from "./installation.mjs";

const ECHO_JS = `
function echo() {
    sendToFront("text", text);
    sendToFront("ascii", ascii);
    sendToFront("count", count);
    sendToFront("countHalf", count / 2);
    sendToFront("below", below);
    sendToFront("ratio", ratio);
    sendToFront("whole", whole);
    sendToFront("wholeHalf", whole / 2);
    sendToFront("list", list);
    sendToFront("negativeHalf", list[1] / 2);
    sendToFront("record", record);
    sendToFront("keyedOne", keyed[1]);
    sendToFront("keyedWord", keyed["word"]);
    sendToFront("keyedNested", keyed["nested"]);
}
function sendKeyed() { sendToFront("keyed", keyed); }
function size() { sendToFront("size", many.length); sendToFront("last", many[many.length - 1]); }
`;

// Every ASCII byte, NUL included, and characters of two, three and four UTF-8 bytes.
const ASCII = Array.from({ length: 128 }, (_, i) => String.fromCharCode(i)).join("");
const WIDE = "é日本😀";

describe("items and records", () => {
  test("text items", () => {
    const cases = [
      ["", "10"],
      ["abc", "13abc"],
      ["a b", "B5a%20b"],
      ["héllo", "C10h%C3%A9llo"],
      ["0123456789", "2100123456789"],
      [";,/?:@&=+$-_.*'()#", "218;,/?:@&=+$-_.*'()#"],
      ["%41", "B5%2541"],
      ["!~^", "B9%21%7E%5E"],
    ];
    for (const [text, item] of cases) assert.equal(textItem(text), item, JSON.stringify(text));
  });

  test("records", () => {
    const cases = [
      [{ top: "main()", modules: ["hello.js"], variables: { who: "Kova" } }, "P16main()M1121018hello.jsS1121113who14Kova"],
      [{ top: "f()", variables: { n: -12, big: 2147483647 } }, "P13f()I1222311n3-1213big:2147483647"],
      [{ top: "f()", variables: { x: 1.5, y: float(2), z: -0 } }, "P13f()D13221" + "11x131.5" + "11y112" + "11z12-0"],
      [{ top: "f()", variables: { b: [[3]] } }, "P13f()A12231a1118^A000001O3A1111b18^A000001"],
      [{ top: "f()", variables: { h: new Map([[7, "x"], ["k", -1]]) } }, "P13f()A11218I1211hO711x11kb2-1"],
      [{ top: "f()", token: { id: "ab", token: "c d" } }, "P13f()Q12abB5c%20d"],
      [{ top: "f()", logFile: "day.log" }, "P13f()l17day.log"],
      [{ top: "f()", variables: { d: new Date(2024, 0, 5, 9, 3, 7) } }, "P13f()S11227" + "11dC212024-01-05%2009:03:07"],
    ];
    for (const [request, body] of cases) assert.equal(encodeRequest(request), body, JSON.stringify([...Object.keys(request)]));
  });

  test("what cannot be sent is refused before anything is posted", () => {
    const cyclic = [1];
    cyclic.push(cyclic);
    const cases = [
      [{ top: "f(" + "x".repeat(253) + ")" }, RangeError],
      [{ top: "g('" + "é".repeat(126) + "')" }, RangeError],
      [{ top: 5 }, TypeError],
      [{ top: "f()", modules: [""] }, TypeError],
      [{ top: "f()", variables: { v: null } }, TypeError],
      [{ top: "f()", variables: { v: true } }, TypeError],
      [{ top: "f()", variables: { v: [1, undefined] } }, TypeError],
      [{ top: "f()", variables: { v: [1, , 2] } }, TypeError],
      [{ top: "f()", variables: { v: new Date(NaN) } }, TypeError],
      [{ top: "f()", variables: { v: { f() {} } } }, TypeError],
      [{ top: "f()", variables: { v: cyclic } }, TypeError],
      [{ top: "f()", variables: { v: new Map([[{}, 1]]) } }, TypeError],
      [{ top: "f()", variables: { "": "x" } }, TypeError],
      [{ top: "f()", token: { id: "x" } }, TypeError],
      [{ top: "f()", variables: { v: Array.from({ length: REFERENCE_LIMIT + 1 }, () => []) } }, RangeError],
    ];
    for (const [request, kind] of cases) assert.throws(() => encodeRequest(request), kind);
    assert.equal(encodeRequest({ top: "f(" + "x".repeat(252) + ")" }).length, 2 + 3 + 255);
  });
});

describe("round trips through kova", () => {
  let site;
  before(() => { site = new Installation({ modules: { "echo.js": ECHO_JS } }); });
  after(() => site.remove());

  const run = (top, variables, extra = {}) =>
    decodeResponse(site.cgi(encodeRequest({ top, modules: ["echo.js"], variables, ...extra })));

  test("every kind of variable, nested values and every byte class", () => {
    const variables = {
      text: ASCII + WIDE,
      ascii: "plain-text_1.0",
      count: 7,
      below: -999999999,
      ratio: 0.1,
      whole: float(7),
      list: [1, -3, 2.5, "a b", [WIDE, [ASCII]], { k: "v", "": 0 }, "^A000001"],
      record: { name: "x y", nested: { deep: [1, { deeper: "z" }] }, empty: [], none: {} },
      keyed: new Map([[1, "one"], ["word", "two"], ["nested", [3, 4]]]),
    };
    const answer = run("echo()", variables);
    assert.equal(answer.error, null, answer.error && answer.error.message);
    assert.deepEqual(answer.values, {
      text: ASCII + WIDE,
      ascii: "plain-text_1.0",
      count: 7,
      countHalf: 3,                 // an integer variable: integer division
      below: -999999999,
      ratio: 0.1,
      whole: 7,
      wholeHalf: 3.5,               // float(7) arrived as a float
      list: variables.list,
      negativeHalf: -1.5,           // a negative element travels as a float item
      record: variables.record,
      keyedOne: "one",
      keyedWord: "two",
      keyedNested: [3, 4],
    });
  });

  test("a Map arrives as a keyed array, which kova cannot send back", () => {
    const answer = run("sendKeyed()", { keyed: new Map([["a", 1]]) });
    assert.equal(answer.error.code, "1330");
  });

  test("the most nested collections one parent may hold", () => {
    const many = Array.from({ length: REFERENCE_LIMIT }, (_, i) => [i]);
    const answer = run("size()", { many });
    assert.equal(answer.error, null, answer.error && answer.error.message);
    assert.deepEqual(answer.values, { size: REFERENCE_LIMIT, last: [REFERENCE_LIMIT - 1] });
  });

  test("the l record renames the journal", () => {
    run("size()", { many: [1] }, { logFile: "renamed.log" });
    assert.ok(fs.existsSync(path.join(site.dir, "renamed.log")));
    run("size()", { many: [1] }, { logFile: "../escape.log" });
    assert.ok(!fs.existsSync(path.join(site.dir, "..", "escape.log")));
  });
});
