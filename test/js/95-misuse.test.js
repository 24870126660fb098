'use strict';
// Hostile and careless calls: memory detached while a call waits, numbers
// that are no valid index or size, and stopping with work queued.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const zelk = require('../..');
const { errorFields, driverError, freshDatabase, runIsolated, buildDir, settle, connected } = require('./helpers');
const { bothBackends } = require('./backends');

const MB4 = 4 * 1024 * 1024;

// Moves the memory of ab elsewhere, as posting it to a worker would, and
// overwrites it there: a call still reading or writing it would show.
function transferAway(ab) {
  const moved = structuredClone(ab, { transfer: [ab] });
  new Uint8Array(moved).fill(0x62);
  return moved;
}

bothBackends('a chunk whose memory is transferred while it waits is sent as it was', (db, t, done) => {
  const conn = db.connect();
  conn.exec(`create table lobs (id integer, data ${db.types.binary})`);
  const insert = conn.prepare('insert into lobs values (?, ?)');
  insert.exec([1, { sendParameterData: true }]);
  conn.exec(db.sleep(200), () => {});
  const ab = new ArrayBuffer(MB4);
  new Uint8Array(ab).fill(0x61);
  insert.sendParameterData(1, Buffer.from(ab), (err) => assert.strictEqual(err, undefined));
  transferAway(ab);
  insert.sendParameterData(1, null, (err) => settle(done, () => {
    assert.strictEqual(err, undefined);
    const [row] = conn.exec('select data from lobs where id = 1');
    assert.strictEqual(row.data.length, MB4);
    assert.ok(row.data.every((byte) => byte === 0x61));
    conn.disconnect();
  }));
});

bothBackends('getData into memory transferred while the call waits fails and writes nothing there', (db, t, done) => {
  const conn = db.connect();
  conn.exec(`create table lobs (id integer, data ${db.types.binary})`);
  conn.exec('insert into lobs values (1, ?)', [Buffer.alloc(MB4, 0x61)]);
  const rs = conn.prepare('select data from lobs').execQuery();
  assert.ok(rs.next());
  conn.exec(db.sleep(200), () => {});
  const ab = new ArrayBuffer(MB4);
  rs.getData(0, 0, new Uint8Array(ab), 0, MB4, (err, count) => settle(done, () => {
    assert.deepStrictEqual({ code: err.code, message: err.message, sqlState: err.sqlState },
      driverError(-20002, 'getData buffer was detached before the data arrived.'));
    assert.strictEqual(count, undefined);
    assert.ok(new Uint8Array(moved).every((byte) => byte === 0x62));
    const target = Buffer.alloc(8);
    assert.strictEqual(rs.getData(0, MB4 - 8, target, 0, 8), 8);
    assert.ok(target.every((byte) => byte === 0x61));
    rs.close();
    conn.disconnect();
  }));
  const moved = transferAway(ab);
});

test('indexes, offsets, sizes and time-outs must be integers in range', () => {
  const conn = connected();
  conn.exec('create table t (id integer, data blob)');
  conn.exec("insert into t values (1, x'010203')");
  const rs = conn.prepare('select id, data from t').execQuery();
  rs.next();
  const badColumn = driverError(-20003, 'Invalid column index.');
  for (const index of [-1, 2, 'x', 2 ** 32 + 1, 2 ** 32, NaN, Infinity, -Infinity, 0.5]) {
    assert.deepStrictEqual(errorFields(() => rs.getValue(index)), badColumn, String(index));
  }
  const arg = (message) => driverError(-20002, message);
  const buffer = Buffer.alloc(4);
  for (const bad of [-1, NaN, Infinity, 2 ** 64, 1.5]) {
    assert.deepStrictEqual(errorFields(() => rs.getData(1, bad, buffer, 0, 1)), arg('Invalid dataOffset.'));
    assert.deepStrictEqual(errorFields(() => rs.getData(1, 0, buffer, bad, 1)), arg('Invalid bufferOffset.'));
    assert.deepStrictEqual(errorFields(() => rs.getData(1, 0, buffer, 0, bad)), arg('Invalid length.'));
  }
  rs.close();
  const stmt = conn.prepare('select ? as v from t');
  for (const bad of [2 ** 32 + 1, NaN, -1, Infinity]) {
    assert.deepStrictEqual(errorFields(() => stmt.setTimeout(bad)), arg('Invalid timeout.'));
    assert.deepStrictEqual(errorFields(() => conn.setRowSetSize(bad)), arg('Invalid row set size.'));
    assert.deepStrictEqual(errorFields(() => zelk.setConnectionPoolLimit(bad)),
      arg('Invalid connection pool limit.'));
  }
  stmt.exec([1]);
  assert.deepStrictEqual(errorFields(() => stmt.getParameterValue(2 ** 32)),
    driverError(-20003, 'Invalid parameter index.'));
});

test('every refused parameter value is an Error with code and sqlState', (t, done) => {
  const conn = connected();
  const fields = errorFields(() => conn.exec('select ? as v', [new DataView(new ArrayBuffer(2))]));
  assert.strictEqual(typeof fields.code, 'number');
  assert.strictEqual(fields.sqlState, 'HY000');
  const stmt = conn.prepare('select ? as v');
  stmt.exec(() => {}, {}, (err) => settle(done, () => {
    assert.deepStrictEqual({ code: err.code, message: err.message, sqlState: err.sqlState },
      driverError(-20002, 'No binding parameter(s)'));
    conn.disconnect();
  }));
});

test('__stopAllWork discards the jobs waiting behind a running one', () => {
  const out = runIsolated(`
    const zelk = require('.');
    const native = require(${JSON.stringify(path.join(buildDir, 'zelk.node'))});
    const conn = zelk.createConnection();
    conn.connect(${JSON.stringify(`databaseName=${freshDatabase()}`)});
    conn.exec('create table t (v integer)');
    const out = { called: 0 };
    conn.exec('select zkv_sleep(400) as s', () => { out.called += 1; });
    for (let i = 0; i < 4; i++) conn.exec('insert into t values (?)', [i], () => { out.called += 1; });
    setTimeout(() => {
      native.__stopAllWork();
      out.rows = conn.exec('select count(*) as n from t')[0].n;
      console.log(JSON.stringify(out));
      process.exit(0);
    }, 100);`);
  assert.deepStrictEqual(out, { called: 0, rows: 0 });
});
