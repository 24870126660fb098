'use strict';
const assert = require('node:assert');
const { errorFields, driverError, settle } = require('./helpers');
const { bothBackends } = require('./backends');

function connected(db) {
  const conn = db.connect();
  conn.exec('create table t (id integer)');
  conn.exec('insert into t values (1), (2), (3)');
  return conn;
}

// Full collections, with a turn of the event loop in between so that weak
// references made in the previous turn may be cleared.
async function collect() {
  require('v8').setFlagsFromString('--expose-gc');
  const gc = require('vm').runInNewContext('gc');
  for (let i = 0; i < 3; i++) {
    await new Promise((resolve) => setImmediate(resolve));
    gc();
  }
}

bothBackends('drop, with a callback or without, waits for the executes queued before it', async (db) => {
  const conn = connected(db);
  for (const [withCallback, rows] of [[true, 13], [false, 23]]) {
    const stmt = conn.prepare('insert into t values (?)');
    const results = [];
    for (let i = 10; i < 20; i++) stmt.exec([i], (err, count) => results.push(err ? err.code : count));
    // The executes' callbacks come before the drop's.
    const dropped = withCallback && new Promise((resolve) => stmt.drop((err) => resolve([err, results.length])));
    if (!withCallback) stmt.drop();
    assert.strictEqual(stmt.isValid(), false);
    if (withCallback) assert.deepStrictEqual(await dropped, [undefined, 10]);
    assert.deepStrictEqual(conn.exec('select count(*) as n from t'), [{ n: rows }]);
    await new Promise((resolve) => conn.exec('select 1 as x from dummy', resolve));
    assert.deepStrictEqual(results, new Array(10).fill(1));
    assert.deepStrictEqual(errorFields(() => stmt.exec([1])), driverError(-20016, 'Statement is dropped'));
  }
});

bothBackends('disconnect with open statements and result sets', (db, t, done) => {
  const conn = connected(db);
  const query = conn.prepare('select id from t order by id');
  const rs = query.execQuery();
  assert.ok(rs.next());
  const other = conn.prepare('select 1 as x');
  const otherRs = other.execQuery();
  let rsError;
  // Holds the connection's queue so that next() is still waiting when the
  // disconnect marks the connection.
  conn.exec(db.sleep(200), () => {});
  rs.next((err) => { rsError = err; });
  conn.disconnect((err) => settle(done, () => {
    assert.strictEqual(err, undefined);
    assert.strictEqual(rsError.code, -20006);
    for (const stmt of [query, other]) {
      assert.strictEqual(stmt.isValid(), false);
      assert.strictEqual(errorFields(() => stmt.execQuery()).code, -20016);
      assert.strictEqual(errorFields(() => stmt.functionCode()).code, -20016);
      assert.strictEqual(stmt.drop(), undefined);
    }
    for (const resultSet of [rs, otherRs]) {
      assert.strictEqual(resultSet.isClosed(), true);
      assert.strictEqual(errorFields(() => resultSet.next()).code, -20015);
      assert.strictEqual(resultSet.close(), undefined);
    }
  }));
  assert.strictEqual(query.isValid(), false);
  assert.strictEqual(rs.isClosed(), true);
});

bothBackends('dropping a statement closes its open result set', (db) => {
  const conn = connected(db);
  const second = conn.prepare('select id from t');
  const rs2 = second.execQuery();
  second.drop();
  assert.strictEqual(rs2.isClosed(), true);
  assert.strictEqual(rs2.close(), undefined);
});

bothBackends('a statement keeps its forgotten connection alive until it is dropped', async (db) => {
  let stmt;
  let connection;
  (() => {
    const conn = connected(db);
    stmt = conn.prepare('select count(*) as n from t');
    connection = new WeakRef(conn);
  })();
  await collect();
  assert.ok(connection.deref(), 'the connection outlives the script\'s references');
  assert.deepStrictEqual(stmt.exec(), [{ n: 3 }]);
  await new Promise((resolve) => stmt.drop(resolve));
  await collect();
  assert.strictEqual(connection.deref(), undefined);
});
