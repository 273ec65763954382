// The shop's page: sign-in, the product table, orders. Every request goes
// through one KovaClient, which sends the token of the last answer with
// the next request.
import { KovaClient } from "./kova-front.js";

const client = new KovaClient();
const $ = (selector) => document.querySelector(selector);

function show(element, text) {
  element.textContent = text;
  element.hidden = text === "";
}

function fillTable(table, rows, numberColumns) {
  const body = table.tBodies[0];
  body.replaceChildren();
  for (const row of rows) {
    const tr = body.insertRow();
    row.forEach((value, k) => {
      const td = tr.insertCell();
      td.textContent = typeof value === "number" && k === numberColumns.money ? value.toFixed(2) : String(value);
      if (typeof value === "number") td.className = "number";
    });
  }
}

function showProducts(products) {
  fillTable($("#products"), products.map((p) => [p.id, p.name, p.price, p.stock]), { money: 2 });
  const select = $("#order-form").elements.product;
  const chosen = select.value;
  select.replaceChildren(...products.map((p) => new Option(`${p.name} (${p.stock} left)`, String(p.id))));
  if (chosen !== "") select.value = chosen;
}

function showOrders(rows) {
  fillTable($("#orders"), rows, { money: 3 });
}

function showSession() {
  $("#status").textContent = client.token === null
    ? "Not signed in."
    : `Signed in · session ${client.token.id.slice(-8)}`;
}

// One request: the alerts and the error of the answer are shown; null when
// the run failed or the answer could not be read.
async function request(url, top, options) {
  show($("#alert"), "");
  show($("#error"), "");
  let result;
  try {
    result = await client.call(url, top, options);
  } catch (error) {
    show($("#error"), `The server's answer could not be read: ${error.message}`);
    return null;
  } finally {
    showSession();
  }
  show($("#alert"), result.alerts.join("\n"));
  if (result.error !== null) {
    const { code, message } = result.error;
    show($("#error"), code === "" ? message : `Error ${code}: ${message}`);
    return null;
  }
  return result;
}

$("#signin-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const form = event.target.elements;
  const result = await request("signin.cgi", "signin()", {
    modules: ["signin.js"],
    variables: { user: form.user.value, password: form.password.value },
  });
  if (result === null) return;
  form.password.value = "";
  $("#signin").hidden = true;
  $("#shop").hidden = false;
  $("#order-form").elements.customer.value = form.user.value;
  showProducts(result.objects("products"));
});

$("#order-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const form = event.target.elements;
  const result = await request("app/kova.cgi", "placeOrder()", {
    modules: ["shop.js"],
    variables: {
      customer: form.customer.value.trim(),
      product: Number(form.product.value),
      quantity: Math.trunc(Number(form.quantity.value)) || 0,
    },
  });
  if (result === null) return;
  showProducts(result.objects("products"));
  showOrders(result.rows("orders"));
});

$("#show-orders").addEventListener("click", async () => {
  const result = await request("app/kova.cgi", "orders()", {
    modules: ["shop.js"],
    variables: { customer: $("#order-form").elements.customer.value.trim() },
  });
  if (result !== null) showOrders(result.rows("orders"));
});
