'use strict';
// What is stored comes back as stored, and what is bound is stored as it is.
const test = require('node:test');
const assert = require('node:assert');
const zstreams = require('zelk/streams');
const { connected } = require('./helpers');
const { bothBackends } = require('./backends');

const DECLARED = ['INTEGER', 'SMALLINT', 'BOOLEAN', 'DOUBLE', 'VARCHAR(4)', 'TEXT', 'BLOB', 'DATE', 'DECIMAL(10,2)',
  'BIGINT', 'TINYINT', 'REAL', 'CHAR(3)', 'NVARCHAR(30)', 'CLOB', 'NCLOB', 'BINARY(16)', 'VARBINARY(8)', 'TIME',
  'TIMESTAMP', 'SECONDDATE', 'LONGDATE', 'VARCHAR'];
const STORED = ['7', '70000', '1.5', '9223372036854775807', "'abcdefghij'", "'yes'", "X'4100FF42'", 'NULL'];

// The value SQLite holds, read through its own functions.
function expectedValue(declared, row) {
  switch (row.t) {
    case 'integer': {
      if (declared === 'BOOLEAN') return row.txt !== '0';
      const n = Number(row.txt);
      return Number.isSafeInteger(n) ? n : row.txt;
    }
    case 'real': return row.exact;
    case 'text': return row.txt;
    case 'blob': return Buffer.from(row.hx, 'hex');
    default: return null;
  }
}

function readByResultSet(conn, sql) {
  const rs = conn.prepare(sql).execQuery();
  const rows = [];
  while (rs.next()) {
    const row = rs.getValues({ asArray: true });
    assert.deepStrictEqual(rs.getValue(0), row[0]);
    const target = Buffer.alloc(16);
    if (Buffer.isBuffer(row[4])) assert.deepStrictEqual(target.subarray(0, rs.getData(4, 0, target, 0, 16)), row[4]);
    rows.push(row);
  }
  rs.close();
  return rows;
}

for (const canBind of [false, true]) {
  test(`every storage class comes back in every declared type (result sets ${canBind ? 'bound' : 'unbound'})`, async () => {
    const conn = connected(`;_resultSetCanBind=${canBind}`);
    conn.exec(`CREATE TABLE t (k INTEGER NOT NULL, ${DECLARED.map((d, i) => `c${i} ${d}`).join(', ')})`);
    STORED.forEach((literal, k) => {
      conn.exec(`INSERT INTO t VALUES (${k}, ${DECLARED.map(() => literal).join(', ')})`);
    });
    const oracle = conn.exec(`SELECT ${DECLARED.map((d, i) => `typeof(c${i}) AS t${i}, CAST(c${i} AS TEXT) AS x${i}, ` +
      `hex(c${i}) AS h${i}, c${i} * 1.0 AS r${i}`).join(', ')} FROM t ORDER BY k`);
    const expected = oracle.map((row) => DECLARED.map((d, i) =>
      expectedValue(d, { t: row[`t${i}`], txt: row[`x${i}`], hx: row[`h${i}`], exact: row[`r${i}`] })));
    const sql = `SELECT ${DECLARED.map((d, i) => `c${i}`).join(', ')} FROM t ORDER BY k`;
    for (const fastInternalRows of [true, false]) {
      assert.deepStrictEqual(conn.exec(sql, [], { rowsAsArray: true, fastInternalRows }), expected);
    }
    assert.deepStrictEqual(readByResultSet(conn, sql), expected);
    const streamed = [];
    for await (const row of zstreams.createRowStream(conn.prepare(sql).execQuery(), { asArray: true })) streamed.push(row);
    assert.deepStrictEqual(streamed, expected);
    const info = conn.prepare(sql).getColumnInfo();
    assert.deepStrictEqual(info.map((c) => c.nativeTypeName),
      ['INT', 'SMALLINT', 'BOOLEAN', 'DOUBLE', 'VARCHAR1', 'TEXT', 'BLOB', 'DATE', 'DECIMAL', 'BIGINT', 'TINYINT', 'REAL',
        'CHAR', 'NVARCHAR', 'CLOB', 'NCLOB', 'BINARY', 'VARBINARY', 'TIME', 'TIMESTAMP', 'SECONDDATE', 'LONGDATE', 'TEXT']);
    assert.deepStrictEqual([info[8].precision, info[8].scale, info[0].tableName, info[0].ownerName, info[0].nullable],
      [10, 2, 't', 'main', 1]);
    assert.strictEqual(conn.prepare('SELECT k FROM t').getColumnInfo()[0].nullable, 0);
    // An expression has the type of its first row once that is read.
    const expressions = conn.prepare("SELECT 1 AS a, 2.5 AS b, 'z' AS c, NULL AS d FROM DUMMY").execQuery();
    assert.deepStrictEqual(expressions.getColumnInfo().map((c) => c.nativeTypeName), ['BIGINT', 'DOUBLE', 'NCLOB', 'NCLOB']);
    expressions.close();
    conn.disconnect();
  });
}

const BYTES = Buffer.from([0x41, 0x00, 0xff, 0x42, 0xc3]);

bothBackends('a Buffer is stored byte for byte by every way of binding, and finds itself', (db) => {
  const conn = db.connect();
  conn.exec(`CREATE TABLE t (k INTEGER, v ${db.types.binary})`);
  conn.exec('INSERT INTO t VALUES (?, ?)', [1, BYTES]);
  conn.prepare('INSERT INTO t VALUES (?, ?)').exec([2, BYTES]);
  conn.prepare('INSERT INTO t VALUES (?, ?)').execBatch([[3, BYTES], [4, BYTES]]);
  const streamed = conn.prepare('INSERT INTO t VALUES (?, ?)');
  streamed.exec([5, { sendParameterData: true }]);
  streamed.sendParameterData(1, BYTES);
  streamed.sendParameterData(1, null);
  const lengthOf = db.name === 'sqlite' ? 'length(v)' : 'octet_length(v)';
  assert.deepStrictEqual(conn.exec(`SELECT k, v, ${lengthOf} AS n FROM t ORDER BY k`),
    [1, 2, 3, 4, 5].map((k) => ({ k, v: BYTES, n: BYTES.length })));
  assert.deepStrictEqual(conn.exec('SELECT k FROM t WHERE v = ? ORDER BY k', [BYTES]).map((r) => r.k),
    [1, 2, 3, 4, 5]);
});

bothBackends('a result held by the script keeps its values through later calls', async (db) => {
  const conn = db.connect();
  conn.exec(`CREATE TABLE t (k INTEGER, s VARCHAR(20), v ${db.types.binary})`);
  conn.exec('INSERT INTO t VALUES (1, ?, ?), (2, ?, ?)', ['first', BYTES, 'second', Buffer.from('zz')]);
  const query = conn.prepare('SELECT s, v FROM t WHERE k = ?');
  const first = query.exec([1]);
  const direct = conn.exec('SELECT s, v FROM t WHERE k = 1');
  const called = await new Promise((resolve, reject) => query.exec([1], (e, rows) => (e ? reject(e) : resolve(rows))));
  query.exec([2]);
  conn.exec('SELECT s, v FROM t WHERE k = 2');
  assert.deepStrictEqual(first, [{ s: 'first', v: BYTES }]);
  assert.deepStrictEqual(direct, first);
  assert.deepStrictEqual(called, first);
  conn.disconnect();
});

bothBackends('BigInt parameters bind exactly as 64-bit integers', (db) => {
  const conn = db.connect();
  conn.exec('CREATE TABLE t (v BIGINT)');
  const extremes = [-(2n ** 63n), -(2n ** 53n) - 1n, 0n, 2n ** 53n + 1n, 2n ** 63n - 1n];
  const insert = conn.prepare('INSERT INTO t VALUES (?)');
  for (const v of extremes) insert.exec([v]);
  insert.execBatch(extremes.map((v) => [v]));
  assert.deepStrictEqual(conn.exec('SELECT v FROM t ORDER BY v').map((r) => BigInt(r.v)),
    extremes.flatMap((v) => [v, v]));
  assert.strictEqual(conn.exec('SELECT count(*) AS n FROM t WHERE v = ?', [2n ** 63n - 1n])[0].n, 2);
  for (const v of [2n ** 63n, -(2n ** 63n) - 1n]) {
    assert.throws(() => conn.exec('INSERT INTO t VALUES (?)', [v]), {
      code: -20002,
      message: 'Can not bind parameter(0): a BigInt outside the signed 64-bit range.',
    });
  }
});

bothBackends('Date parameters bind as their instant in UTC', (db) => {
  const conn = db.connect();
  conn.exec('CREATE TABLE t (k INTEGER, ts TIMESTAMP)');
  const dates = ['2024-02-29T13:45:07.089Z', '1969-07-20T20:17:40.001Z', '2100-01-01T00:00:00.000Z',
    '0001-01-01T00:00:00.000Z'].map((text) => new Date(text));
  dates.forEach((d, k) => conn.exec('INSERT INTO t VALUES (?, ?)', [k, d]));
  const back = conn.exec('SELECT ts FROM t ORDER BY k').map((r) => r.ts);
  assert.deepStrictEqual(back.map((text) => new Date(text.replace(' ', 'T') + 'Z').toISOString()),
    dates.map((d) => d.toISOString()));
  assert.strictEqual(conn.exec('SELECT k FROM t WHERE ts = ?', [dates[1]])[0].k, 1);
  assert.throws(() => conn.exec('INSERT INTO t VALUES (9, ?)', [new Date(NaN)]), { code: -20002 });
});
