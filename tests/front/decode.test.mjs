// Responses: every frame kind as the real kova writes it, decoded whole and
// as a stream, the token carried into the next request, and truncated and
// malformed responses, which must fail and never pass as a partial answer.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";

import {
  decodeResponse, encodeRequest, FrameError, parseDateText, dateText, RESPONSE_HEADER, ResponseDecoder,
} from "../../front/kova-front.js";
import { Installation } from "./installation.mjs";

const FRAMES_JS = `
function scalars() {
    sendToFront("int", 42);
    sendToFront("negative", -7);
    sendToFront("float", 1.5);
    sendToFront("tiny", 0.000001);
    sendToFront("huge", 1e300 * 1e300);
    sendToFront("text", "héllo wörld 100%");
    sendToFront("empty", "");
    sendToFront("nothing", undefined);
    sendToFront("yes", true);
    sendToFront("no", false);
    sendToFront("nil", null);
    sendToFront("", "nameless");
    sendToFront("int", 43);
    alertToFront("done");
    alertToFront(undefined);
    try { null.x; } catch (e) { alertToFront(e); }
}
function nested() {
    sendToFront("a", [1, 2]);
    sendToFront("b", [[3]]);
    sendToFront("o", {k: 1});
    sendToFront("deep", [{list: [1, [2, {x: "y z"}]], n: null}, [], {}]);
}
function partly() {
    try { sendToFront("bad", [[1], partly]); } catch (e) { }
    sendToFront("after", 1);
}
function failing() { sendToFront("before", [1]); null.x; }
function throwsText() { throw "bad input: é"; }
function throwsNumber() { throw 5; }
`;

const request = (top, extra = {}) => encodeRequest({ top, modules: ["frames.js"], ...extra });

let site;
let tokens;
before(() => {
  site = new Installation({ modules: { "frames.js": FRAMES_JS } });
  tokens = new Installation({ modules: { "frames.js": FRAMES_JS }, config: "TOKEN_KEY = front-test\nTIME_INTERVAL = 60\n" });
});
after(() => { site.remove(); tokens.remove(); });

describe("frames written by kova", () => {
  test("value and alert frames", () => {
    const answer = decodeResponse(site.cgi(request("scalars()")));
    assert.deepEqual(answer.values, {
      int: 43,                     // the last frame of a name wins
      negative: -7,
      float: 1.5,
      tiny: 1e-6,
      huge: Infinity,
      text: "héllo wörld 100%",
      empty: "",
      nothing: "",                 // undefined is the empty text
      yes: "true",
      no: "false",
      nil: "null",
      "": "nameless",
    });
    assert.equal(answer.alerts.length, 3);
    assert.deepEqual(answer.alerts.slice(0, 2), ["done", ""]);
    assert.match(answer.alerts[2], /^Exception: CODE=\d+, MESSAGE='EVAL ERROR \d+ \(frames\.js:\d+:\d+\) : .+'$/);
    assert.deepEqual(answer.counters, { arrays: 0, objects: 0, values: 16, queries: 0 });
    assert.equal(answer.error, null);
    assert.equal(answer.token, null);
  });

  test("nested arrays and objects are resolved from their references", () => {
    const frames = [];
    const answer = new ResponseDecoder({ onFrame: (f) => frames.push(f) });
    answer.push(site.cgi(request("nested()")));
    const result = answer.end();
    assert.deepEqual(result.values, {
      a: [1, 2],
      b: [[3]],
      o: { k: 1 },
      deep: [{ list: [1, [2, { x: "y z" }]], n: "null" }, [], {}],
    });
    // Each nested frame comes before the frame that refers to it.
    assert.deepEqual(frames.map((f) => f.reference || f.name || f.type),
      ["a", "^A500001", "b", "o", "^H500005", "^A500004", "^A500003", "^H500002", "^A500006", "^H500007", "deep", "closing"]);
    assert.deepEqual(result.counters, { arrays: 7, objects: 4, values: 0, queries: 0 });
  });

  test("a nested frame left without its parent by a caught error", () => {
    const answer = decodeResponse(site.cgi(request("partly()")));
    assert.deepEqual(answer.values, { after: 1 });
    assert.deepEqual(answer.counters, { arrays: 1, objects: 0, values: 1, queries: 0 });
  });

  test("error frames", () => {
    const failing = decodeResponse(site.cgi(request("failing()")));
    assert.deepEqual(failing.values, { before: [1] });
    assert.match(failing.error.code, /^\d+$/);
    assert.match(failing.error.message, new RegExp(`^EVAL ERROR ${failing.error.code} \\(frames\\.js:\\d+:\\d+\\) : `));
    assert.equal(failing.counters, null);

    assert.deepEqual(decodeResponse(site.cgi(request("throwsText()"))).error, { code: "", message: "bad input: é" });
    assert.deepEqual(decodeResponse(site.cgi(request("throwsNumber()"))).error, { code: "", message: "" });
    const unknown = decodeResponse(site.cgi(request("missing()")));
    assert.match(unknown.error.message, /^EVAL ERROR /);
  });

  test("the token of one answer is accepted with the next request", () => {
    const refused = decodeResponse(tokens.cgi(request("scalars()")), { expectToken: true });
    assert.equal(refused.error.code, "1775");
    assert.match(refused.error.message, /認証エラー$/);
    assert.deepEqual(refused.token, { id: "NG", token: "NG" });

    // A body given as an argument needs no token: that answer carries the first one.
    const first = decodeResponse(tokens.withArguments(request("nested()"), "who=test"), { expectToken: true });
    assert.equal(first.error, null);
    assert.notEqual(first.token.id, "NG");

    const second = decodeResponse(tokens.cgi(request("nested()", { token: first.token })), { expectToken: true });
    assert.equal(second.error, null, second.error && second.error.message);
    assert.deepEqual(second.values, first.values);
    assert.notEqual(second.token.id, "NG");

    const altered = { id: first.token.id, token: "x" + first.token.token.slice(1) };
    assert.equal(decodeResponse(tokens.cgi(request("nested()", { token: altered }))).error.code, "1775");
  });
});

describe("streaming", () => {
  test("frames reach the application before the response is complete, in any chunking", () => {
    const bytes = tokens.withArguments(request("nested()"), "who=test");
    const whole = decodeResponse(bytes);
    for (const size of [1, 2, 7, 64]) {
      const frames = [];
      let beforeEnd = 0;
      const decoding = new ResponseDecoder({ onFrame: (f) => frames.push(f) });
      for (let at = 0; at < bytes.length; at += size) {
        decoding.push(bytes.subarray(at, at + size));
        if (at + size < bytes.length) beforeEnd = frames.length;
      }
      assert.deepEqual(decoding.end(), whole, `chunks of ${size}`);
      assert.deepEqual(frames.map((f) => f.type).slice(-2), ["closing", "token"]);
      assert.ok(beforeEnd >= frames.length - 1, `chunks of ${size}: only the last frame waits for the last chunk`);
    }
    // A text chunk decodes as its bytes.
    assert.deepEqual(decodeResponse(bytes.toString("latin1")), whole);
  });
});

describe("truncated and malformed responses", () => {
  test("a response cut anywhere is an error", () => {
    const bytes = tokens.withArguments(request("scalars()"), "who=test");
    const withHeader = Buffer.concat([Buffer.from(RESPONSE_HEADER), bytes]);
    decodeResponse(withHeader, { expectToken: true });
    for (let cut = 0; cut < withHeader.length; cut++) {
      assert.throws(() => decodeResponse(withHeader.subarray(0, cut), { expectToken: true }),
        (e) => e instanceof FrameError && e.truncated, `cut at ${cut} of ${withHeader.length}`);
    }
  });

  test("malformed responses", () => {
    const cases = [
      ["s11xP42C10101010", "the closing frame counts 0 values"],
      ["C10101010s11xP42C10101110", "after the end of the run"],
      ["S1010C10101010", "after the end of the run"],
      ["C10101010X12NG12NGX12NG12NG", "after the end of the run"],
      ["C10101010C10101010", "after the end of the run"],
      ["s11xP42C10101110junk", "after the end of the run"],
      ["w11xC10101010", 'unknown frame "w"'],
      ["s1xxP42C10101110", "non-digit"],
      ["s01xP42C10101110", "a value's name expected"],
      ["sA1xP42C10101110", "a value's name expected"],
      ["s11xP4aC10101110", "malformed number"],
      ["s11xdabcC10101110", "malformed number"],
      ["s11xNC10101110", "empty number"],
      ["s11x~C10101110", "a value expected"],
      ["A1111a18^A500009C11101010", "no frame before defined"],
      ["A1118^H500001O1C11101010", "under the reference"],
      ["A1118^A500001O1A1118^A500001O2C12101010", "a second frame"],
      ["A1118^A500001O1A1211a18^A50000118^A500001C12101010", "no frame before defined"],
      ["C01010101", "malformed a closing counter"],
      ["Content-type: text/plain\n\nC10101010", "malformed header"],
      ["Z1111O1C10101011", "not a text"],
    ];
    for (const [text, message] of cases) {
      assert.throws(() => decodeResponse(text), (e) => e instanceof FrameError && !e.truncated && e.message.includes(message),
        JSON.stringify(text));
    }
    // The same shapes, well formed, decode.
    assert.deepEqual(decodeResponse("A1118^A500001O1A1111a18^A500001C12101010").values, { a: [[1]] });
    assert.deepEqual(decodeResponse("Z121111q13abcO1C10101011").queries, { q: { columns: null, rows: [["abc", 1]] } });
  });

  test("the journal's failure after the closing frame leaves the run's outcome", () => {
    const answer = decodeResponse("s11xP42C10101110X11a11bS149999C11open%26lock");
    assert.equal(answer.error, null);
    assert.deepEqual(answer.journalError, { code: "9999", message: "open&lock" });
    assert.deepEqual(answer.token, { id: "a", token: "b" });
  });

  test("a fatal record before any header", () => {
    const fatal = Buffer.from("S148555" + "16" + "受信", "utf8");  // a plain item of raw UTF-8 bytes
    assert.deepEqual(decodeResponse(fatal).error, { code: "8555", message: "受信" });
  });
});

describe("Date texts", () => {
  test("texts in the Date format become Dates on request", () => {
    const valid = [
      ["2024-01-05 09:03:07", [2024, 0, 5, 9, 3, 7, 0]],
      ["2024-02-29 23:59:59.999", [2024, 1, 29, 23, 59, 59, 999]],
      ["0099-12-31 00:00:00.001", [99, 11, 31, 0, 0, 0, 1]],
    ];
    for (const [text, [y, mo, d, h, mi, s, ms]] of valid) {
      const date = parseDateText(text);
      assert.deepEqual([date.getFullYear(), date.getMonth(), date.getDate(), date.getHours(), date.getMinutes(),
        date.getSeconds(), date.getMilliseconds()], [y, mo, d, h, mi, s, ms], text);
      assert.equal(dateText(date), text);
    }
    for (const text of ["2023-02-29 00:00:00", "2024-13-01 00:00:00", "2024-01-05 24:00:00", "2024-01-05 09:03:07.000",
      "2024-01-05T09:03:07", "2024-1-05 09:03:07", "2024-01-05 09:03:07.12", " 2024-01-05 09:03:07"]) {
      assert.equal(parseDateText(text), null, text);
    }
    const frames = "s11dC212024-01-05%2009:03:07A1211lC212024-01-05%2009:03:0714textC11101110";
    const asDates = decodeResponse(frames, { dates: true }).values;
    assert.ok(asDates.d instanceof Date && asDates.l[0] instanceof Date);
    assert.equal(asDates.l[1], "text");
    assert.equal(decodeResponse(frames).values.d, "2024-01-05 09:03:07");
  });
});
