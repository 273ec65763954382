// The client: each request posted through a fetch function that runs the
// real kova as a web server would, answers streamed in small chunks. The
// token of each answer must reach the next request (kova refuses a request
// without it), a refused answer drops it, and transport faults reject.
import assert from "node:assert/strict";
import { after, before, test } from "node:test";

import { encodeRequest, FrameError, KovaClient, KovaHttpError, decodeResponse } from "../../front/kova-front.js";
import { Installation } from "./installation.mjs";

const APP_JS = `
function hello() {
    sendToFront("greeting", "Hello, " + who);
    sendToFront("list", [1, {k: "v"}]);
    alertToFront("saved");
}
function reject() { throw "quantity must be positive"; }
`;

const HEADER_LENGTH = "Content-type: text/plane;charset=UTF-8\n\n".length;

let site;
before(() => { site = new Installation({ modules: { "app.js": APP_JS }, config: "TOKEN_KEY = client-test\n" }); });
after(() => site.remove());

// kova behind a web server: the CGI header becomes the HTTP header, the
// frames the body, delivered `chunk` bytes at a time.
function kovaFetch({ chunk = 5, status = 200, cut = 0 } = {}) {
  const posted = [];
  const fetch = async (url, init) => {
    assert.equal(init.method, "POST");
    posted.push(init.body);
    const output = site.cgi(init.body);
    const body = output.subarray(HEADER_LENGTH, output.length - cut);
    const stream = new ReadableStream({
      start(controller) {
        for (let at = 0; at < body.length; at += chunk) controller.enqueue(body.subarray(at, at + chunk));
        controller.close();
      },
    });
    return new Response(stream, { status, headers: { "Content-Type": "text/plane;charset=UTF-8" } });
  };
  return { fetch, posted };
}

function firstToken() {
  const request = encodeRequest({ top: "hello()", modules: ["app.js"], variables: { who: "x" } });
  return decodeResponse(site.withArguments(request, "who=sign-in")).token;
}

test("values, alerts and the token carried from answer to answer", async () => {
  const { fetch, posted } = kovaFetch();
  const client = new KovaClient({ fetch, token: firstToken() });
  const frames = [];
  const first = await client.call("/app/kova.cgi", "hello()", {
    modules: ["app.js"], variables: { who: "Kova" }, onFrame: (f) => frames.push(f.type),
  });
  assert.ok(first.ok, first.error && first.error.message);
  assert.deepEqual(first.values, { greeting: "Hello, Kova", list: [1, { k: "v" }] });
  assert.deepEqual(first.alerts, ["saved"]);
  assert.deepEqual(frames, ["value", "object", "array", "alert", "closing", "token"]);
  assert.deepEqual(client.token, first.token);

  const second = await client.call("/app/kova.cgi", "reject()", { modules: ["app.js"] });
  assert.equal(second.ok, false);
  assert.deepEqual(second.error, { code: "", message: "quantity must be positive" });
  assert.ok(posted[1].includes(encodeRequest({ top: "", token: first.token }).slice("P10".length)),
    "the second request carries the first answer's token");
  assert.deepEqual(client.token, second.token);
  assert.notEqual(second.token.id, "NG");
});

test("a refused answer drops the token", async () => {
  const { fetch } = kovaFetch();
  const client = new KovaClient({ fetch, token: { id: "forged", token: "forged00000" } });
  const answer = await client.call("/app/kova.cgi", "hello()", { modules: ["app.js"], variables: { who: "x" } });
  assert.equal(answer.error.code, "1775");
  assert.equal(client.token, null);
});

test("transport faults reject and keep the token", async () => {
  const token = firstToken();
  const failed = new KovaClient({ fetch: kovaFetch({ status: 502 }).fetch, token });
  await assert.rejects(failed.call("/app/kova.cgi", "hello()", { modules: ["app.js"] }),
    (e) => e instanceof KovaHttpError && e.status === 502);
  assert.deepEqual(failed.token, token);

  // An answer cut after its closing frame has lost its token frame.
  const cut = new KovaClient({ fetch: kovaFetch({ cut: 30 }).fetch, token });
  await assert.rejects(cut.call("/app/kova.cgi", "hello()", { modules: ["app.js"], variables: { who: "x" } }),
    (e) => e instanceof FrameError && e.truncated);
  assert.deepEqual(cut.token, token);
});
