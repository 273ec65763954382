// kova-front.js: the browser side of kova's frame protocol.
//
// encodeRequest() writes the body a front end posts to kova.cgi (records P,
// M, Q, l, S, I, D and A), decodeResponse() and ResponseDecoder read the
// frames kova answers with (value, alert, array, object, query, error,
// closing and token frames), and KovaClient posts a request with fetch,
// decodes the answer and carries the access token from one answer to the
// next request. No dependencies: an ES module for browsers and Node.

// ---- shared ---------------------------------------------------------------------

/** The header kova writes before its frames when it runs as a CGI program. */
export const RESPONSE_HEADER = "Content-type: text/plane;charset=UTF-8\n\n";
/** The name under which an alert frame carries its message. */
export const ALERT_NAME = "XYZBCA_ALERT_ABCZYX";
/** Nested collections of one request that may wait for their parent at once. */
export const REFERENCE_LIMIT = 1024;
/** Longest top call text kova accepts, in UTF-8 bytes. */
export const TOP_CALL_LIMIT = 255;

const encoder = new TextEncoder();
const decoder = new TextDecoder("utf-8");

// Bytes a text item carries as they are; every other byte is written "%XX".
const KEPT = new Uint8Array(256);
for (const c of "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789;,/?:@&=+$-_.*'()#") {
  KEPT[c.charCodeAt(0)] = 1;
}
const HEX = "0123456789ABCDEF";

const INT32_MIN = -2147483648;
const INT32_MAX = 2147483647;

function utf8Length(text) {
  return encoder.encode(text).length;
}

// "0" + k (or base + k) and the k decimal digits of n.
function numberField(n, base = "0") {
  const digits = String(n);
  return String.fromCharCode(base.charCodeAt(0) + digits.length) + digits;
}

/**
 * The text item of a text: the UTF-8 bytes with every byte outside the kept
 * set percent-encoded, headed by the payload length ("A" + k instead of
 * "0" + k when anything was encoded). `textItem("a b")` is "B5a%20b".
 */
export function textItem(text) {
  const bytes = encoder.encode(text);
  let payload = "";
  let encoded = false;
  for (const b of bytes) {
    if (KEPT[b]) {
      payload += String.fromCharCode(b);
    } else {
      payload += "%" + HEX[b >> 4] + HEX[b & 15];
      encoded = true;
    }
  }
  return numberField(payload.length, encoded ? "A" : "0") + payload;
}

// ---- Date texts -----------------------------------------------------------------

const DATE_TEXT = /^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})(?:\.(\d{3}))?$/;

function pad(n, width) {
  return String(n).padStart(width, "0");
}

/**
 * The text kova uses for a Date ("2024-01-05 09:03:07", with ".123" when
 * the milliseconds are not 0), from the Date's local fields.
 */
export function dateText(date) {
  const text = `${pad(date.getFullYear(), 4)}-${pad(date.getMonth() + 1, 2)}-${pad(date.getDate(), 2)} ` +
    `${pad(date.getHours(), 2)}:${pad(date.getMinutes(), 2)}:${pad(date.getSeconds(), 2)}`;
  const ms = date.getMilliseconds();
  return ms === 0 ? text : `${text}.${pad(ms, 3)}`;
}

/**
 * A Date (local time) from a date text as kova writes it, or null when the
 * text is not one: other widths, fields out of range, or ".000" (kova
 * leaves the milliseconds out when they are 0).
 */
export function parseDateText(text) {
  const m = DATE_TEXT.exec(text);
  if (m === null) return null;
  const [year, month, day, hour, minute, second] = m.slice(1, 7).map(Number);
  const ms = m[7] === undefined ? 0 : Number(m[7]);
  if (m[7] !== undefined && ms === 0) return null;
  if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) return null;
  const daysInMonth = new Date(2000, month, 0).getDate() - (month === 2 && !isLeapYear(year) ? 1 : 0);
  if (day < 1 || day > daysInMonth) return null;
  const date = new Date(2000, 0, 1, hour, minute, second, ms);
  date.setFullYear(year, month - 1, day);  // years below 100 stay as they are
  return date;
}

function isLeapYear(year) {
  return (year % 4 === 0 && year % 100 !== 0) || year % 400 === 0;
}

// ---- request bodies -------------------------------------------------------------

/** A number that travels as a float even when it has no fraction. */
export class KovaFloat {
  constructor(value) {
    this.value = Number(value);
    Object.freeze(this);
  }
}

/** `float(2)` sends 2 as a float (D record or float item), not an integer. */
export function float(value) {
  return new KovaFloat(value);
}

// The text of a float that the server's number reader takes back whole.
function floatText(x) {
  if (Number.isNaN(x)) return "NaN";
  if (x === Infinity) return "Infinity";
  if (x === -Infinity) return "-Infinity";
  if (Object.is(x, -0)) return "-0";
  return String(x);
}

function isPlainObject(v) {
  if (v === null || typeof v !== "object") return false;
  const proto = Object.getPrototypeOf(v);
  return proto === Object.prototype || proto === null;
}

function describe(path) {
  return path === "" ? "the value" : path;
}

// An integer variable ("0" + k, k at most 10 characters, sign included).
function integerVariableText(n) {
  const text = String(n);
  return text.length <= 10 ? text : null;
}

function isInt32(x) {
  return Number.isInteger(x) && x >= INT32_MIN && x <= INT32_MAX && !Object.is(x, -0);
}

// Structured entries of one A record: nested collections first, each under
// a reference name that its parent's member item names.
class StructureWriter {
  constructor() {
    this.entries = [];
    this.nextReference = 0;
    this.pending = 0;
    this.open = new Set();
  }

  // A top-level variable: "A", "H" or "I" entry bound to the name.
  variable(name, value) {
    this.entry(value, textItem(name), true, name);
  }

  entry(value, nameItem, topLevel, path) {
    if (this.open.has(value)) throw new TypeError(`${describe(path)} contains itself`);
    this.open.add(value);
    let kind;
    let members = "";
    let count = 0;
    let nested = 0;
    const member = (v, memberPath) => {
      const item = this.memberItem(v, memberPath);
      if (item.nested) nested += 1;
      return item.text;
    };
    if (Array.isArray(value)) {
      kind = "A";
      // Every index, holes included (a hole is undefined, which is refused).
      for (let i = 0; i < value.length; i++) members += member(value[i], `${path}[${i}]`);
      count = value.length;
    } else if (value instanceof Map) {
      kind = "I";
      for (const [k, v] of value) {
        members += this.keyItem(k, path) + member(v, `${path}.get(${JSON.stringify(k)})`);
        count += 1;
      }
    } else {
      kind = "H";
      for (const k of Object.keys(value)) {
        members += textItem(k) + member(value[k], `${path}.${k}`);
        count += 1;
      }
    }
    this.open.delete(value);
    // The parent takes its nested members out of the server's table.
    this.pending -= nested;
    const letter = topLevel ? kind : kind.toLowerCase();
    this.entries.push(letter + numberField(count) + nameItem + members);
  }

  // A member value as a value item; a collection is written as its own
  // entry first and stands here as its reference.
  memberItem(v, path) {
    if (typeof v === "string") return { text: textItem(v) };
    if (v instanceof Date) return { text: textItem(validDateText(v, path)) };
    if (v instanceof KovaFloat) return { text: floatItem(v.value) };
    if (typeof v === "number") {
      // An integer item has no sign: negative and large integers go as floats.
      if (isInt32(v) && v >= 0) return { text: numberField(v, "N") };
      return { text: floatItem(v) };
    }
    if (Array.isArray(v) || v instanceof Map || isPlainObject(v)) {
      this.nextReference += 1;
      if (this.nextReference > 999999) throw new RangeError("more than 999999 nested collections in one request");
      const reference = (Array.isArray(v) ? "^A" : "^H") + pad(this.nextReference, 6);
      this.entry(v, numberField(8) + reference, false, path);
      this.pending += 1;
      if (this.pending > REFERENCE_LIMIT) {
        throw new RangeError(`more than ${REFERENCE_LIMIT} nested collections wait for their parent at ${path}`);
      }
      return { text: numberField(8) + reference, nested: true };
    }
    throw new TypeError(`${describe(path)} cannot be sent: ${v === null ? "null" : typeof v}`);
  }

  keyItem(k, path) {
    if (typeof k === "string") return textItem(k);
    if (typeof k === "number" && isInt32(k) && k >= 0) return numberField(k, "N");
    if (typeof k === "number") return textItem(String(k));
    throw new TypeError(`a key of ${describe(path)} is neither a string nor a number`);
  }
}

function validDateText(date, path) {
  if (Number.isNaN(date.getTime())) throw new TypeError(`${describe(path)} is an invalid Date`);
  return dateText(date);
}

// "a" + k, k digits of the text's length, the number text.
function floatItem(x) {
  const text = floatText(x);
  return numberField(text.length, "a") + text;
}

// A record of n entries: letter, count field, block length, the entries.
function record(letter, entries) {
  const joined = entries.join("");
  return letter + numberField(entries.length) + numberField(utf8Length(joined)) + joined;
}

/**
 * The request body for kova.
 *
 * - `top`: the top call text, such as "main()" (at most 255 UTF-8 bytes);
 * - `modules`: module paths relative to the installation's MODULE_DIR;
 * - `variables`: global variables by name: strings, numbers (integers that
 *   fit 32 bits as integers, others as floats; `float(x)` forces a float),
 *   Dates (as their date text), arrays, plain objects and Maps (keyed
 *   arrays), nested to any depth;
 * - `token`: `{id, token}` of the previous answer's token frame, or absent;
 * - `logFile`: a file name that replaces the journal's (the `l` record).
 */
export function encodeRequest({ top, modules = [], variables = {}, token = null, logFile } = {}) {
  if (typeof top !== "string") throw new TypeError("the top call must be a string");
  if (utf8Length(top) > TOP_CALL_LIMIT) throw new RangeError(`the top call is longer than ${TOP_CALL_LIMIT} bytes`);
  let body = "P" + textItem(top);
  if (modules.length > 0) {
    body += record("M", modules.map((path) => {
      if (typeof path !== "string" || path === "") throw new TypeError("a module path must be a non-empty string");
      return numberField(utf8Length(path)) + path;
    }));
  }
  if (token !== null && token !== undefined) {
    if (typeof token.id !== "string" || typeof token.token !== "string") {
      throw new TypeError("the token must be {id, token} with two strings");
    }
    body += "Q" + textItem(token.id) + textItem(token.token);
  }
  if (logFile !== undefined) body += "l" + textItem(String(logFile));

  const strings = [];
  const integers = [];
  const floats = [];
  const structures = new StructureWriter();
  for (const name of Object.keys(variables)) {
    const v = variables[name];
    if (name === "") throw new TypeError("a variable needs a name");
    const nameItem = textItem(name);
    if (typeof v === "string") {
      strings.push(nameItem + textItem(v));
    } else if (v instanceof Date) {
      strings.push(nameItem + textItem(validDateText(v, name)));
    } else if (typeof v === "number" && isInt32(v) && integerVariableText(v) !== null) {
      const text = integerVariableText(v);
      integers.push(nameItem + String.fromCharCode(48 + text.length) + text);
    } else if (typeof v === "number" || v instanceof KovaFloat) {
      const text = floatText(typeof v === "number" ? v : v.value);
      floats.push(nameItem + numberField(text.length) + text);
    } else if (Array.isArray(v) || v instanceof Map || isPlainObject(v)) {
      structures.variable(name, v);
    } else {
      throw new TypeError(`variable ${name} cannot be sent: ${v === null ? "null" : typeof v}`);
    }
  }
  if (strings.length > 0) body += record("S", strings);
  if (integers.length > 0) body += record("I", integers);
  if (floats.length > 0) body += record("D", floats);
  if (structures.entries.length > 0) body += record("A", structures.entries);
  return body;
}

// ---- responses ------------------------------------------------------------------

/** A response that is truncated or does not follow the frame format. */
export class FrameError extends Error {
  constructor(message, offset, truncated = false) {
    super(`${message} (at byte ${offset})`);
    this.name = "FrameError";
    this.offset = offset;
    this.truncated = truncated;
  }
}

const REFERENCE = /^\^([AH])(\d{6})$/;
const INTEGER_TEXT = /^[+-]?\d+$/;
const FLOAT_TEXT = /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/;
const HEADER_BYTES = encoder.encode(RESPONSE_HEADER);

// Float texts as "%g" prints them (inf, nan) and as the database does
// (Infinity, NaN).
function floatValue(text) {
  const lower = text.toLowerCase();
  if (/^[+]?inf(inity)?$/.test(lower)) return Infinity;
  if (/^-inf(inity)?$/.test(lower)) return -Infinity;
  if (/^[+-]?nan$/.test(lower)) return NaN;
  return FLOAT_TEXT.test(text) ? Number(text) : null;
}

// "%" and two hexadecimal digits become that byte; anything else stays.
function percentDecode(bytes) {
  const out = new Uint8Array(bytes.length);
  let n = 0;
  for (let i = 0; i < bytes.length; i++) {
    const b = bytes[i];
    if (b === 0x25 && i + 2 < bytes.length) {
      const high = hexDigit(bytes[i + 1]);
      const low = hexDigit(bytes[i + 2]);
      if (high >= 0 && low >= 0) {
        out[n++] = high * 16 + low;
        i += 2;
        continue;
      }
    }
    out[n++] = b;
  }
  return out.subarray(0, n);
}

function hexDigit(c) {
  if (c >= 0x30 && c <= 0x39) return c - 0x30;
  if (c >= 0x41 && c <= 0x46) return c - 0x41 + 10;
  if (c >= 0x61 && c <= 0x66) return c - 0x61 + 10;
  return -1;
}

function setMember(target, key, value) {
  // Defined, not assigned, so that a key such as "__proto__" is kept as data.
  Object.defineProperty(target, key, { value, writable: true, enumerable: true, configurable: true });
}

function toBytes(chunk) {
  if (typeof chunk === "string") return encoder.encode(chunk);
  if (chunk instanceof Uint8Array) return chunk;
  if (chunk instanceof ArrayBuffer) return new Uint8Array(chunk);
  if (ArrayBuffer.isView(chunk)) return new Uint8Array(chunk.buffer, chunk.byteOffset, chunk.byteLength);
  throw new TypeError("a response chunk must be a string, an ArrayBuffer or a Uint8Array");
}

// Where the response stands: frames of the run, then after the closing or
// error frame only the token frame and the journal's failure record.
const BODY = 0;
const ENDED = 1;
const TOKEN_SEEN = 2;
const FINISHED = 3;

/**
 * Reads a response as it arrives: push() each chunk, end() after the last.
 * Frames are handed to `onFrame` as soon as they are complete. end()
 * returns the same result as decodeResponse(); a truncated or malformed
 * response throws a FrameError, from push() as soon as it shows, or from
 * end(). Options: `dates` (turn date texts in values into Dates),
 * `expectToken` (a response without a token frame is truncated), `onFrame`.
 */
export class ResponseDecoder {
  constructor({ dates = false, expectToken = false, onFrame = null } = {}) {
    this.dates = dates;
    this.expectToken = expectToken;
    this.onFrame = onFrame;
    this.buffer = new Uint8Array(1024);
    this.length = 0;      // bytes held
    this.pos = 0;         // next byte to read, within buffer
    this.base = 0;        // response offset of buffer[0]
    this.ended = false;
    this.failure = null;
    this.frameStart = 0;  // response offset of the frame being read
    this.references = new Map();
    this.seen = { arrays: 0, objects: 0, values: 0, queries: 0 };
    this.phase = BODY;
    this.result = {
      values: {}, queries: {}, alerts: [], error: null, counters: null, token: null, journalError: null,
    };
    this.complete = [];   // frames read and not yet handed to onFrame
    this.parser = this.frames();
    this.step();
  }

  push(chunk) {
    if (this.ended) throw new Error("push() after end()");
    const bytes = toBytes(chunk);
    this.append(bytes);
    this.step();
  }

  end() {
    if (!this.ended) {
      this.ended = true;
      this.step();
    }
    if (this.failure !== null) throw this.failure;
    return this.result;
  }

  append(bytes) {
    if (this.failure !== null || bytes.length === 0) return;
    // Bytes before the current frame are no longer needed.
    const keep = this.frameStart - this.base;
    if (this.length + bytes.length > this.buffer.length) {
      const held = this.length - keep;
      const size = Math.max(this.buffer.length, 2 * (held + bytes.length));
      const next = new Uint8Array(size);
      next.set(this.buffer.subarray(keep, this.length));
      this.buffer = next;
      this.length = held;
      this.pos -= keep;
      this.base += keep;
    }
    this.buffer.set(bytes, this.length);
    this.length += bytes.length;
  }

  // Reads on as far as the bytes at hand go, then hands the frames read to
  // onFrame (also those before a fault), then reports the fault.
  step() {
    if (this.failure === null) {
      try {
        this.parser.next();
      } catch (error) {
        this.failure = error;
      }
    }
    while (this.complete.length > 0) {
      const frame = this.complete.shift();
      if (this.onFrame !== null) this.onFrame(frame);
    }
    if (this.failure !== null) throw this.failure;
  }

  offset() {
    return this.base + this.pos;
  }

  fail(message) {
    throw new FrameError(message, this.offset());
  }

  // True while fewer than n bytes are at hand; once the response has ended
  // that is a truncation.
  short(n) {
    if (this.length - this.pos >= n) return false;
    if (this.ended) throw new FrameError("the response ends inside a frame", this.offset(), true);
    return true;
  }

  * frames() {
    yield* this.header();
    for (;;) {
      this.frameStart = this.offset();
      if (this.length - this.pos === 0) {
        if (this.ended) {
          if (this.phase === BODY) throw new FrameError("the response ends before its closing frame", this.offset(), true);
          if (this.expectToken && this.phase === ENDED) {
            throw new FrameError("the response ends before its token frame", this.offset(), true);
          }
          return;
        }
        yield;
        continue;
      }
      const letter = String.fromCharCode(this.buffer[this.pos]);
      if (this.phase !== BODY && !(letter === "X" && this.phase === ENDED) && !(letter === "S" && this.phase !== FINISHED)) {
        this.fail(`frame "${letter}" after the end of the run`);
      }
      this.pos += 1;
      switch (letter) {
        case "s": yield* this.valueFrame(); break;
        case "A": yield* this.compositeFrame(true); break;
        case "H": yield* this.compositeFrame(false); break;
        case "Z": yield* this.queryFrame(false); break;
        case "Y": yield* this.queryFrame(true); break;
        case "S": yield* this.errorFrame(); break;
        case "C": yield* this.closingFrame(); break;
        case "X": yield* this.tokenFrame(); break;
        default:
          this.pos -= 1;
          this.fail(`unknown frame "${letter}"`);
      }
    }
  }

  // The CGI header, when the response still has it (kova's own output).
  * header() {
    for (let i = 0; i < HEADER_BYTES.length; i++) {
      while (this.length - this.pos <= i) {
        if (this.ended) {
          if (i === 0) return;
          // A prefix of the header and nothing else: a frame cannot start
          // with "Co", so this is a truncated header.
          if (i > 1) throw new FrameError("the response ends inside its header", this.base + this.pos + i, true);
          return;
        }
        yield;
      }
      if (this.buffer[this.pos + i] !== HEADER_BYTES[i]) {
        if (i > 1) this.fail("a malformed header");
        return;
      }
    }
    this.pos += HEADER_BYTES.length;
  }

  // A number field: "0" + k and k digits.
  * number(what) {
    while (this.short(1)) yield;
    const k = this.buffer[this.pos] - 0x30;
    if (k < 1 || k > 9) this.fail(`a malformed ${what}`);
    this.pos += 1;
    while (this.short(k)) yield;
    return this.digits(k, what);
  }

  digits(k, what) {
    let n = 0;
    for (let i = 0; i < k; i++) {
      const d = this.buffer[this.pos + i] - 0x30;
      if (d < 0 || d > 9) this.fail(`a non-digit in ${what}`);
      n = n * 10 + d;
    }
    this.pos += k;
    return n;
  }

  // Any item: {kind: "text", text, plain} | {kind: "number", value}.
  * item(what) {
    while (this.short(1)) yield;
    const first = this.buffer[this.pos];
    let kind;
    let k;
    if (first >= 0x31 && first <= 0x39) {         // "1" to "9": plain text
      kind = "plain"; k = first - 0x30;
    } else if (first >= 0x42 && first <= 0x4a) {  // "B" to "J": encoded text
      kind = "encoded"; k = first - 0x41;
    } else if (first >= 0x4e && first <= 0x60) {  // "N" to "`": integer
      kind = "integer"; k = first - 0x4e;
    } else if (first >= 0x61 && first <= 0x7a) {  // "a" to "z": float
      kind = "float"; k = first - 0x61;
    } else {
      this.fail(`${what} expected`);
    }
    this.pos += 1;
    if (kind === "integer" || kind === "float") {
      if (k === 0) this.fail(`an empty number in ${what}`);
      while (this.short(k)) yield;
      const text = decoder.decode(this.buffer.subarray(this.pos, this.pos + k));
      const value = kind === "integer" ? (INTEGER_TEXT.test(text) ? Number(text) : null) : floatValue(text);
      if (value === null) this.fail(`a malformed number "${text}" in ${what}`);
      this.pos += k;
      return { kind: "number", value };
    }
    while (this.short(k)) yield;
    const length = this.digits(k, what);
    while (this.short(length)) yield;
    const raw = this.buffer.subarray(this.pos, this.pos + length);
    const text = decoder.decode(kind === "encoded" ? percentDecode(raw) : raw);
    this.pos += length;
    return { kind: "text", text, plain: kind === "plain" };
  }

  * text(what) {
    const item = yield* this.item(what);
    if (item.kind !== "text") this.fail(`${what} is not a text`);
    return item.text;
  }

  emit(frame) {
    this.complete.push(frame);
  }

  scalar(item) {
    if (item.kind !== "text") return item.value;
    if (this.dates) {
      const date = parseDateText(item.text);
      if (date !== null) return date;
    }
    return item.text;
  }

  * valueFrame() {
    const name = yield* this.text("a value's name");
    const item = yield* this.item("a value");
    this.seen.values += 1;
    if (name === ALERT_NAME) {
      const text = item.kind === "text" ? item.text : String(item.value);
      this.result.alerts.push(text);
      this.emit({ type: "alert", text });
      return;
    }
    const value = this.scalar(item);
    setMember(this.result.values, name, value);
    this.emit({ type: "value", name, value });
  }

  // An element or pair value inside an array or object frame.
  member(item) {
    if (item.kind === "text" && item.plain) {
      const m = REFERENCE.exec(item.text);
      if (m !== null) {
        const nested = this.references.get(item.text);
        if (nested === undefined) this.fail(`a reference to ${item.text}, which no frame before defined`);
        this.references.delete(item.text);
        return nested;
      }
    }
    return this.scalar(item);
  }

  * compositeFrame(array) {
    const what = array ? "an array frame" : "an object frame";
    const count = yield* this.number(`the count of ${what}`);
    const head = yield* this.item(`the name of ${what}`);
    if (head.kind !== "text") this.fail(`the name of ${what} is not a text`);
    let reference = null;
    if (head.plain) {
      const m = REFERENCE.exec(head.text);
      if (m !== null) {
        if ((m[1] === "A") !== array) this.fail(`${what} under the reference ${head.text}`);
        if (this.references.has(head.text)) this.fail(`a second frame for ${head.text}`);
        reference = head.text;
      }
    }
    const value = array ? [] : {};
    for (let i = 0; i < count; i++) {
      if (array) {
        value.push(this.member(yield* this.item("an array element")));
      } else {
        const key = yield* this.text("an object key");
        setMember(value, key, this.member(yield* this.item("an object member")));
      }
    }
    if (array) this.seen.arrays += 1; else this.seen.objects += 1;
    if (reference !== null) {
      this.references.set(reference, value);
      this.emit({ type: array ? "array" : "object", name: null, reference, value });
      return;
    }
    setMember(this.result.values, head.text, value);
    this.emit({ type: array ? "array" : "object", name: head.text, reference: null, value });
  }

  * queryFrame(keyed) {
    const columnCount = yield* this.number("a query's column count");
    const rowCount = yield* this.number("a query's row count");
    const name = yield* this.text("a query's name");
    let columns = null;
    if (keyed) {
      columns = [];
      for (let k = 0; k < columnCount; k++) columns.push(yield* this.text("a column name"));
    }
    const rows = [];
    for (let r = 0; r < rowCount; r++) {
      const row = [];
      for (let k = 0; k < columnCount; k++) {
        const item = yield* this.item("a column value");
        row.push(item.kind === "text" ? item.text : item.value);
      }
      rows.push(row);
    }
    this.seen.queries += 1;
    const query = { columns, rows };
    setMember(this.result.queries, name, query);
    this.emit({ type: "query", name, columns, rows });
  }

  * errorFrame() {
    const code = yield* this.text("an error code");
    const message = yield* this.text("an error message");
    const error = { code, message };
    if (this.phase === BODY) {
      this.result.error = error;
      this.phase = ENDED;
      this.emit({ type: "error", code, message });
    } else {
      // Written after the end of the run: the journal entry could not be
      // written. The run's own outcome stands.
      this.result.journalError = error;
      this.phase = FINISHED;
      this.emit({ type: "journal-error", code, message });
    }
  }

  * closingFrame() {
    const counters = {};
    for (const key of ["arrays", "objects", "values", "queries"]) {
      counters[key] = yield* this.number("a closing counter");
    }
    for (const key of Object.keys(counters)) {
      if (counters[key] !== this.seen[key]) {
        this.fail(`the closing frame counts ${counters[key]} ${key}, the response has ${this.seen[key]}`);
      }
    }
    this.result.counters = counters;
    this.phase = ENDED;
    this.emit({ type: "closing", counters });
  }

  * tokenFrame() {
    const id = yield* this.text("a token identifier");
    const token = yield* this.text("a token");
    this.result.token = { id, token };
    this.phase = TOKEN_SEEN;
    this.emit({ type: "token", token: this.result.token });
  }
}

/**
 * Decodes a whole response (a string or bytes; kova's header in front is
 * allowed) into {values, queries, alerts, error, counters, token,
 * journalError}. Throws a FrameError when it is truncated or malformed.
 */
export function decodeResponse(text, options = {}) {
  const decoding = new ResponseDecoder(options);
  decoding.push(text);
  return decoding.end();
}

// ---- the client -----------------------------------------------------------------

/** kova.cgi answered with an HTTP status other than 2xx. */
export class KovaHttpError extends Error {
  constructor(status, body) {
    super(`kova answered with HTTP status ${status}`);
    this.name = "KovaHttpError";
    this.status = status;
    this.body = body;
  }
}

/** A decoded answer, with the values and query results by name. */
export class KovaResult {
  constructor(decoded) {
    Object.assign(this, decoded);
  }

  /** True when the run ended with its closing frame. */
  get ok() {
    return this.error === null && this.counters !== null;
  }

  /** The rows of a query frame, each an array of column values. */
  rows(name) {
    return this.query(name).rows;
  }

  /** The rows of a keyed query frame (selectHashToFront) as objects by column name. */
  objects(name) {
    const { columns, rows } = this.query(name);
    if (columns === null) throw new TypeError(`query ${name} has no column names (use selectHashToFront)`);
    return rows.map((row) => {
      const object = {};
      columns.forEach((column, k) => setMember(object, column, row[k]));
      return object;
    });
  }

  query(name) {
    if (!Object.prototype.hasOwnProperty.call(this.queries, name)) throw new Error(`no query frame named ${name}`);
    return this.queries[name];
  }
}

/**
 * A client of one kova installation. It keeps the token pair of the last
 * answer and sends it with the next request; a refused answer ("NG") drops
 * it. `fetch` defaults to the global one; `dates` turns date texts in
 * values into Dates; `token` is a first pair (from a sign-in).
 */
export class KovaClient {
  constructor({ fetch: fetchFunction = null, dates = false, token = null } = {}) {
    this.fetch = fetchFunction;
    this.dates = dates;
    this.token = token;
  }

  /**
   * Runs `top` (such as "list(1)") in kova at `url` with the modules and
   * variables given; resolves with a KovaResult, whose `error` is set when
   * the run ended with an error frame. Rejects with a KovaHttpError or a
   * FrameError when the answer is not a whole response.
   */
  async call(url, top, { modules = [], variables = {}, logFile, onFrame = null, signal } = {}) {
    const sentToken = this.token;
    const body = encodeRequest({ top, modules, variables, token: sentToken, logFile });
    const fetchFunction = this.fetch || globalThis.fetch;
    const response = await fetchFunction(url, {
      method: "POST",
      headers: { "Content-Type": "text/plain;charset=UTF-8" },
      body,
      signal,
    });
    if (!response.ok) {
      let text = "";
      try { text = await response.text(); } catch { /* the status says enough */ }
      throw new KovaHttpError(response.status, text);
    }
    // An installation that checks tokens answers each request with one.
    const decoding = new ResponseDecoder({ dates: this.dates, expectToken: sentToken !== null, onFrame });
    if (response.body && typeof response.body.getReader === "function") {
      const reader = response.body.getReader();
      try {
        for (;;) {
          const { done, value } = await reader.read();
          if (done) break;
          decoding.push(value);
        }
      } catch (error) {
        reader.cancel().catch(() => {});
        throw error;
      }
    } else {
      decoding.push(new Uint8Array(await response.arrayBuffer()));
    }
    const decoded = decoding.end();
    if (decoded.token !== null) {
      this.token = decoded.token.id === "NG" && decoded.token.token === "NG" ? null : decoded.token;
    }
    return new KovaResult(decoded);
  }
}

const defaultClient = new KovaClient();

/** call() of a client shared by the page (see KovaClient#call). */
export function call(url, top, options) {
  return defaultClient.call(url, top, options);
}

/** The client behind call(), to read or set its token. */
export function sharedClient() {
  return defaultClient;
}
