'use strict';
// Iteration, row streams and the promise result set read rows in batches;
// every row must come out exactly as getValues reads it one at a time.
const assert = require('node:assert');
const zstreams = require('zelk/streams');
const { driverError, collect } = require('./helpers');
const { bothBackends } = require('./backends');

const ROWS = 1200;

async function mixedTable(db) {
  const conn = await db.connectAsync();
  await conn.exec(`CREATE TABLE m (i INTEGER, big BIGINT, d ${db.types.double}, t VARCHAR(40), ` +
    `b ${db.types.binary}, n INTEGER)`);
  const rows = Array.from({ length: ROWS }, (_, k) => [k, 2 ** 40 + k, k / 7, `text ${k} é`,
    Buffer.from([k & 255, 0, 255]), k % 3 === 0 ? null : k]);
  await (await conn.prepare('INSERT INTO m VALUES (?, ?, ?, ?, ?, ?)')).execBatch(rows);
  return conn;
}

const QUERY = 'SELECT i, big, d, t, b, n, i AS n FROM m ORDER BY i';

// One next() and getValues() per row: the reference.
async function rowByRow(conn, asArray) {
  const stmt = await conn.prepare(QUERY);
  const rs = await stmt.execQuery();
  const rows = [];
  while (await rs.next()) rows.push(await rs.getValues({ asArray }));
  await rs.close();
  await stmt.drop();
  return rows;
}

bothBackends('batched iteration gives the rows getValues gives, in every form', async (db) => {
  const conn = await mixedTable(db);
  for (const asArray of [false, true]) {
    const expected = await rowByRow(conn, asArray);
    assert.strictEqual(expected.length, ROWS);
    assert.deepStrictEqual(await collect(conn.iterate(QUERY, undefined, { asArray })), expected);
    const stmt = await conn.prepare(QUERY);
    assert.deepStrictEqual(await collect((await stmt.execQuery()).rows({ asArray })), expected);
    assert.deepStrictEqual(await collect(zstreams.iterateRows((await stmt.execQuery()).native, { asArray })),
      expected);
    assert.deepStrictEqual(await collect((await stmt.execQuery()).createReadStream({ asArray })), expected);
    await stmt.drop();
  }
});

bothBackends('iteration continues from the row next() left and stops early without reading on', async (db) => {
  const conn = await mixedTable(db);
  const stmt = await conn.prepare('SELECT i FROM m ORDER BY i');
  const rs = await stmt.execQuery();
  assert.strictEqual(await rs.next(), true);
  assert.deepStrictEqual(await rs.getValues(), { i: 0 });
  const seen = [];
  for await (const row of rs) {
    seen.push(row.i);
    if (seen.length === 3) break;
  }
  assert.deepStrictEqual(seen, [1, 2, 3]);
  assert.strictEqual(rs.isClosed(), true);
  assert.deepStrictEqual(await collect((await stmt.execQuery()).rows()), Array.from({ length: ROWS }, (_, i) => ({ i })));
});

bothBackends('fetchRows checks its row count, reports a statement without rows as empty, and fails on a closed result set', async (db) => {
  const conn = await mixedTable(db);
  const stmt = await conn.prepare('SELECT i FROM m WHERE i < 0');
  const rs = (await stmt.execQuery()).native;
  for (const bad of [0, -1, 65537]) {
    await assert.rejects(new Promise((resolve, reject) => rs.fetchRows(bad, (err) => (err ? reject(err) : resolve()))),
      driverError(-20002, 'Invalid maxRows.'));
  }
  assert.deepStrictEqual(await collect(zstreams.iterateRows(rs)), []);
  const closed = await stmt.execQuery();
  await closed.close();
  // The rejection points at the loop that iterated, not at the completion.
  await assert.rejects(collect(closed.rows()), (err) => err instanceof Error && typeof err.code === 'number' &&
    typeof err.sqlState === 'string' && /at async collect \(.*helpers\.js/.test(err.stack));
});
