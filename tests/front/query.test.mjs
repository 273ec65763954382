// Query frames ("Z" from selectToFront, "Y" with column names from
// selectHashToFront) as kova writes them from a real PostgreSQL server.
import assert from "node:assert/strict";
import { after, before, test } from "node:test";

import { decodeResponse, encodeRequest, KovaResult, ResponseDecoder } from "../../front/kova-front.js";
import { Installation } from "./installation.mjs";
import { startPostgres } from "./postgres.mjs";

const QUERIES_JS = `
function open() { return openDb("postgresql", "libpq.so.5", db_params); }
function queries() {
    var db = open();
    selectToFront(db, "plain", "select 1::int4, null::int4, 2.5::float4, 'a b é%'::text, '^A500001'::text, 7::int8 union all select -2, 3, 'Infinity'::float4, '', null, 8 order by 1");
    selectHashToFront(db, "keyed", "select 1::int4 as id, 'x'::varchar as \\"prix é\\", null::text as \\"a b\\", 0.25::float4 as f");
    selectToFront(db, "none", "select 1::int4 where false");
    selectHashToFront(db, "noneKeyed", "select 1::int4 as one where false");
    closeDb(db);
}
function many() {
    var db = open();
    var rows = selectToFront(db, "many", "select n::int4, 'row ' || n from generate_series(1, :count::int4) as n");
    sendToFront("count", rows);
    closeDb(db);
}
`;

let postgres;
let site;
before(async () => {
  postgres = await startPostgres();
  site = new Installation({ modules: { "queries.js": QUERIES_JS }, config: `VAR = 'db_params':'${postgres.parameters}'\n` });
});
after(async () => {
  if (site) site.remove();
  if (postgres) await postgres.stop();
});

const run = (top, variables = {}) => site.cgi(encodeRequest({ top, modules: ["queries.js"], variables }));

test("query frames with every kind of column value", () => {
  const answer = decodeResponse(run("queries()"));
  assert.equal(answer.error, null, answer.error && answer.error.message);
  assert.deepEqual(answer.queries, {
    plain: {
      columns: null,
      rows: [
        [-2, 3, Infinity, "", "", "8"],             // NULL is the empty text; int8 comes as the server's text
        [1, "", 2.5, "a b é%", "^A500001", "7"],     // a reference-like text stays a text
      ],
    },
    keyed: { columns: ["id", "prix é", "a b", "f"], rows: [[1, "x", "", 0.25]] },
    none: { columns: null, rows: [] },
    noneKeyed: { columns: ["one"], rows: [] },
  });
  assert.deepEqual(answer.counters, { arrays: 0, objects: 0, values: 0, queries: 4 });

  // What the client gives the application: row arrays, and row objects where there are column names.
  const result = new KovaResult(answer);
  assert.deepEqual(result.rows("plain"), answer.queries.plain.rows);
  assert.deepEqual(result.objects("keyed"), [{ id: 1, "prix é": "x", "a b": "", f: 0.25 }]);
  assert.throws(() => result.objects("plain"), TypeError);
  assert.throws(() => result.rows("absent"), /no query frame named absent/);
});

test("a large query frame, whole and in chunks", () => {
  const bytes = run("many()", { count: 5000 });
  const whole = decodeResponse(bytes);
  assert.equal(whole.values.count, 5000);
  assert.equal(whole.queries.many.rows.length, 5000);
  assert.deepEqual(whole.queries.many.rows[4999], [5000, "row 5000"]);
  const decoding = new ResponseDecoder();
  for (let at = 0; at < bytes.length; at += 1000) decoding.push(bytes.subarray(at, at + 1000));
  assert.deepEqual(decoding.end(), whole);
});
