'use strict';
// Nothing lost: a million rows in batches, a 200 MB value streamed in and
// read back, and a transaction killed by abort.
const assert = require('node:assert');
const crypto = require('crypto');
const { bothBackends } = require('./backends');

// The server gets smaller sizes: every row and byte crosses a socket twice.
const ROWS = { sqlite: Number(process.env.ZELK_LOST_ROWS) || 1000000, postgres: 100000 };
const BATCH = 10000;
const BIG = { sqlite: (Number(process.env.ZELK_LOST_MB) || 200) * 1048576, postgres: 32 * 1048576 };
const CHUNK = 64 * 1024;
// Read back in slices that fall across the chunk boundaries.
const SLICE = 1000000;

const call = (fn) => new Promise((resolve, reject) => fn((err, value) => (err ? reject(err) : resolve(value))));

function rowOf(i) {
  return [i, `row ${i} ${(i * 2654435761) % 1000003}`, (i % 97) / 7];
}

bothBackends('a million rows inserted in batches read back with the same checksum', async (db) => {
  const conn = db.connect();
  conn.exec(`CREATE TABLE R (ID INTEGER PRIMARY KEY, T VARCHAR(64), D ${db.types.double})`);
  conn.setAutoCommit(false);
  const written = crypto.createHash('sha256');
  const insert = conn.prepare('INSERT INTO R VALUES (?, ?, ?)');
  for (let start = 0; start < ROWS[db.name]; start += BATCH) {
    const rows = [];
    for (let i = start; i < Math.min(ROWS[db.name], start + BATCH); i++) {
      const row = rowOf(i);
      written.update(JSON.stringify(row));
      rows.push(row);
    }
    await call((cb) => insert.execBatch(rows, cb));
  }
  conn.commit();
  const read = crypto.createHash('sha256');
  const rs = conn.prepare('SELECT ID, T, D FROM R ORDER BY ID').executeQuery();
  let count = 0;
  while (rs.next()) {
    read.update(JSON.stringify(rs.getValues({ asArray: true })));
    count++;
  }
  assert.strictEqual(count, ROWS[db.name]);
  assert.strictEqual(read.digest('hex'), written.digest('hex'));
});

function sendAll(stmt, index, value, callback) {
  let offset = 0;
  const next = (err) => {
    if (err) return callback(err);
    if (offset >= value.length) return stmt.sendParameterData(index, null, callback);
    const chunk = value.subarray(offset, offset + CHUNK);
    offset += CHUNK;
    return stmt.sendParameterData(index, chunk, next);
  };
  next();
}

bothBackends('a 200 MB value streamed in reads back byte-equal', async (db) => {
  const conn = db.connect();
  conn.exec(`CREATE TABLE L (ID INTEGER, DATA ${db.types.binary})`);
  const value = crypto.randomBytes(BIG[db.name]);
  const insert = conn.prepare('INSERT INTO L VALUES (?, ?)');
  insert.exec([1, { sendParameterData: true }]);
  await call((cb) => sendAll(insert, 1, value, cb));
  const rs = conn.prepare('SELECT DATA FROM L WHERE ID = 1').execQuery();
  assert.ok(rs.next());
  assert.strictEqual(rs.getValueLength(0), value.length);
  const back = Buffer.alloc(value.length);
  for (let offset = 0; offset < value.length; offset += SLICE) {
    const length = Math.min(SLICE, value.length - offset);
    assert.strictEqual(await call((cb) => rs.getData(0, offset, back, offset, length, cb)), length);
  }
  assert.ok(back.equals(value));
});

function tableDigest(conn) {
  return crypto.createHash('sha256').update(JSON.stringify(conn.exec('SELECT * FROM A ORDER BY ID'))).digest('hex');
}

bothBackends('a transaction killed by abort or a time-out mid-batch leaves the table as before, after disconnect too', async (db) => {
  const conn = db.connect();
  conn.exec('CREATE TABLE A (ID INTEGER, V VARCHAR(20))');
  conn.prepare('INSERT INTO A VALUES (?, ?)').execBatch(Array.from({ length: 1000 }, (_, i) => [i, `v${i}`]));
  const before = tableDigest(conn);
  conn.setAutoCommit(false);
  conn.exec("UPDATE A SET V = 'changed' WHERE ID < 500");
  const rows = Array.from({ length: 200000 }, (_, i) => [100000 + i, 'added']);
  // Rows slow enough that the cancel lands on a running row, not between rows.
  const insert = conn.prepare(`INSERT INTO A SELECT ?, ? FROM DUMMY WHERE ${db.sleepValue(1)} IS NULL`);
  const batch = call((cb) => insert.execBatch(rows, cb));
  setTimeout(() => conn.abort(), 50);
  await assert.rejects(batch, { sqlState: 'HY008' });
  insert.setTimeout(1);
  await assert.rejects(call((cb) => insert.execBatch(rows, cb)), { sqlState: 'HYT00' });
  await call((cb) => conn.disconnect(cb));
  const other = db.connect();
  assert.strictEqual(tableDigest(other), before);
});
