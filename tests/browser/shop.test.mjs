// The shop example in a real browser: Debian's chromium, driven headless by
// playwright-core, loads the page from lighttpd, which runs kova as a CGI
// program against a throwaway PostgreSQL (tools/serve_shop.py). The test
// signs in, orders, and checks what the page shows and what went over the
// wire: each request is exactly the body the library encodes, with the
// token of the answer before it.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import { after, before, test } from "node:test";
import { fileURLToPath } from "node:url";

import { chromium } from "playwright-core";

import { decodeResponse, encodeRequest } from "../../front/kova-front.js";

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..", "..");
const KOVA = path.resolve(process.env.KOVA || path.join(root, "build", "release", "kova"));
const ARTIFACTS = path.resolve(process.env.KOVA_ARTIFACTS || path.join(root, "build", "artifacts"));
const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";

let server;
let url;
let context;
let page;
let profile;
const exchanges = [];   // {path, body, answer} of every POST, in order

before(async () => {
  server = spawn("python3", [path.join(root, "tools", "serve_shop.py"), "--kova", KOVA],
    { stdio: ["pipe", "pipe", "inherit"], env: { ...process.env, KOVA_SHOP_LOGS: "1" } });
  const lines = readline.createInterface({ input: server.stdout });
  url = await new Promise((resolve, reject) => {
    lines.on("line", (line) => { if (line.startsWith("URL ")) resolve(line.slice(4)); });
    server.once("exit", (code) => reject(new Error(`serve_shop.py ended with status ${code}`)));
  });
  profile = fs.mkdtempSync(path.join(os.tmpdir(), "kova-chromium-"));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  page = context.pages()[0] || await context.newPage();
  page.on("response", async (response) => {
    const request = response.request();
    if (request.method() !== "POST") return;
    const exchange = { path: new URL(request.url()).pathname, body: request.postData(), answer: null };
    exchanges.push(exchange);
    exchange.answer = decodeResponse(await response.body());
  });
});

after(async () => {
  if (context) await context.close();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
  if (server && server.exitCode === null) {
    await new Promise((resolve) => { server.once("exit", resolve); server.stdin.end(); });
  }
});

// Waits until the page has answered `count` requests in all.
async function answered(count) {
  for (let i = 0; i < 200 && !(exchanges.length >= count && exchanges[count - 1].answer !== null); i++) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  assert.ok(exchanges.length >= count && exchanges[count - 1].answer !== null, `answer ${count} arrived`);
  return exchanges[count - 1];
}

const cellTexts = (selector) => page.$$eval(`${selector} tbody tr`,
  (rows) => rows.map((row) => Array.from(row.cells, (cell) => cell.textContent)));

test("sign in, order, see the alert, the table and the validation error", async () => {
  await page.goto(url);
  assert.equal(await page.title(), "Kova shop");

  // A wrong password: the sign-in answer's error frame, and no token.
  await page.fill("#signin-form [name=user]", "demo");
  await page.fill("#signin-form [name=password]", "wrong");
  await page.click("#signin-form button");
  const refused = await answered(1);
  await page.waitForSelector("#error:not([hidden])");
  assert.equal(await page.textContent("#error"), "Unknown user or wrong password.");
  assert.equal(refused.answer.token, null);
  assert.equal(await page.textContent("#status"), "Not signed in.");

  // The right one: the products, and the session's first token.
  await page.fill("#signin-form [name=password]", "demo-password");
  await page.click("#signin-form button");
  const signedIn = await answered(2);
  assert.equal(signedIn.path, "/signin.cgi");
  assert.equal(signedIn.body, encodeRequest({
    top: "signin()", modules: ["signin.js"], variables: { user: "demo", password: "demo-password" },
  }));
  assert.equal(signedIn.answer.error, null);
  assert.ok(signedIn.answer.token !== null && signedIn.answer.token.id !== "NG", "a first token");
  await page.waitForSelector("#shop:not([hidden])");
  assert.deepEqual(await cellTexts("#products"), [
    ["1", "pencil", "0.50", "40"], ["2", "notebook", "2.25", "12"], ["3", "stapler", "7.00", "3"], ["4", "eraser", "0.75", "25"],
  ]);
  assert.match(await page.textContent("#status"), /^Signed in · session /);

  // A quantity of 0: the shop's validation error, shown from the error frame.
  await page.selectOption("#order-form [name=product]", "2");
  await page.fill("#order-form [name=quantity]", "0");
  await page.click("#order-form button[type=submit]");
  const invalid = await answered(3);
  await page.waitForSelector("#error:not([hidden])");
  assert.equal(await page.textContent("#error"), "The quantity must be at least 1.");
  assert.equal(invalid.body, encodeRequest({
    top: "placeOrder()", modules: ["shop.js"], variables: { customer: "demo", product: 2, quantity: 0 },
    token: signedIn.answer.token,
  }), "the order carries the token of the sign-in answer");
  assert.deepEqual(invalid.answer.error, { code: "", message: "The quantity must be at least 1." });

  // Three notebooks: the alert, the orders table from the query frame, the new stock.
  await page.fill("#order-form [name=quantity]", "3");
  await page.click("#order-form button[type=submit]");
  const placed = await answered(4);
  assert.equal(placed.body, encodeRequest({
    top: "placeOrder()", modules: ["shop.js"], variables: { customer: "demo", product: 2, quantity: 3 },
    token: invalid.answer.token,
  }), "the next order carries the token of the answer before it");
  assert.equal(placed.answer.error, null);
  await page.waitForSelector("#alert:not([hidden])");
  assert.equal(await page.textContent("#alert"), "Order placed: 3 × notebook for demo.");
  assert.equal(await page.isHidden("#error"), true);
  const orders = await cellTexts("#orders");
  assert.equal(orders.length, 1);
  assert.deepEqual(orders[0].slice(0, 4), ["1", "notebook", "3", "6.75"]);
  assert.match(orders[0][4], /^\d{4}-\d{2}-\d{2} \d{2}:\d{2}$/);
  assert.deepEqual((await cellTexts("#products"))[1], ["2", "notebook", "2.25", "9"]);

  fs.mkdirSync(ARTIFACTS, { recursive: true });
  const screenshot = path.join(ARTIFACTS, "shop.png");
  await page.screenshot({ path: screenshot, fullPage: true });
  assert.ok(fs.statSync(screenshot).size > 0);

  // More than the stock: the error names what is left; nothing was ordered.
  await page.selectOption("#order-form [name=product]", "3");
  await page.fill("#order-form [name=quantity]", "50");
  await page.click("#order-form button[type=submit]");
  const tooMany = await answered(5);
  await page.waitForSelector("#error:not([hidden])");
  assert.equal(await page.textContent("#error"), "Only 3 of stapler left in stock.");
  assert.deepEqual(tooMany.answer.error, { code: "", message: "Only 3 of stapler left in stock." });
  await page.click("#show-orders");
  const listed = await answered(6);
  assert.equal(listed.answer.queries.orders.rows.length, 1);
  for (const exchange of exchanges.slice(2)) assert.notDeepEqual(exchange.answer.token, { id: "NG", token: "NG" });
});
