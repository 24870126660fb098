'use strict';
const test = require('node:test');
const assert = require('node:assert');
const zelk = require('../..');
const { freshDatabase, errorFields, driverError, open } = require('./helpers');
const { bothBackends } = require('./backends');

// Every call gives a pool key of its own within the case's namespace.
let keyCount = 0;
function pooledString(db, extra) {
  keyCount += 1;
  return db.connStr(`;POOLING=TRUE;CLIENT=key${keyCount}${extra || ''}`);
}

test.afterEach(() => {
  zelk.setConnectionPoolLimit(0);
  zelk.createConnection().clearPool();
});

bothBackends('a pooled disconnect parks the handle and the next connect reuses it', (db) => {
  const connStr = pooledString(db);
  const first = open(connStr);
  first.exec('CREATE TEMP TABLE marker (v INTEGER)');
  first.disconnect();
  assert.strictEqual(first.getPooledConnectionCount(), 1);
  const second = open(connStr);
  assert.strictEqual(second.getPooledConnectionCount(), 0);
  // The temporary table shows that the physical connection is the same.
  assert.deepStrictEqual(second.exec('SELECT COUNT(*) AS n FROM marker'), [{ n: 0 }]);
});

bothBackends('keys differing in case are counted together but not reused', (db) => {
  const connStr = pooledString(db);
  const first = open(connStr);
  first.disconnect();
  assert.strictEqual(first.getPooledConnectionCount(connStr), 1);
  assert.strictEqual(first.getPooledConnectionCount(connStr.toLowerCase()), 1);
  assert.strictEqual(first.getPooledConnectionCount('databaseName=elsewhere.db'), 0);
  const other = open(connStr.replace('POOLING=TRUE', 'pooling=TRUE'));
  assert.strictEqual(other.getPooledConnectionCount(), 1);
});

bothBackends('MAXPOOLSIZE limits the handles parked per key', (db) => {
  const connStr = pooledString(db, ';MAXPOOLSIZE=1');
  const a = open(connStr);
  const b = open(connStr);
  a.disconnect();
  b.disconnect();
  assert.strictEqual(a.getPooledConnectionCount(), 1);
});

bothBackends('CONNECTIONLIFETIME closes a connection older than the lifetime', async (db) => {
  const connStr = pooledString(db, ';CONNECTIONLIFETIME=1');
  const conn = open(connStr);
  await new Promise((resolve) => setTimeout(resolve, 1100));
  conn.disconnect();
  assert.strictEqual(conn.getPooledConnectionCount(), 0);
});

bothBackends('the process-wide pool limit refuses handles and its own lowering below the count', (db) => {
  const a = open(pooledString(db));
  const b = open(pooledString(db));
  const c = open(pooledString(db));
  a.disconnect();
  b.disconnect();
  c.disconnect();
  assert.strictEqual(a.getPooledConnectionCount(), 3);
  assert.deepStrictEqual(errorFields(() => zelk.setConnectionPoolLimit(2)),
    driverError(-20002, 'The connection pool limit cannot be less than the number of pooled connections(3).'));
  assert.strictEqual(zelk.setConnectionPoolLimit(3), null);
  const d = open(pooledString(db));
  d.disconnect();
  assert.strictEqual(a.getPooledConnectionCount(), 3);
  assert.strictEqual(a.clearPool(), 3);
  assert.strictEqual(a.clearPool(), 0);

  // Fractions are truncated; lifting the limit works with handles parked.
  zelk.setConnectionPoolLimit(2.9);
  [1, 2, 3].map(() => open(pooledString(db))).forEach((conn) => conn.disconnect());
  assert.strictEqual(a.getPooledConnectionCount(), 2);
  assert.strictEqual(zelk.setConnectionPoolLimit(0), null);
  open(pooledString(db)).disconnect();
  assert.strictEqual(a.getPooledConnectionCount(), 3);
});

test('a pooled disconnect whose settings cannot be restored closes its handle and reports why', () => {
  const conn = open(`databaseName=${freshDatabase()};POOLING=TRUE;CURRENTSCHEMA=nowhere`);
  const before = conn.getOpenConnectionCount();
  assert.strictEqual(errorFields(() => conn.disconnect()).sqlState, '3F000');
  assert.strictEqual(conn.getPooledConnectionCount(), 0);
  assert.strictEqual(conn.state(), 'disconnected');
  assert.strictEqual(conn.getOpenConnectionCount(), before - 1);
  assert.strictEqual(conn.disconnect(), undefined);
});

bothBackends('a reused handle carries no transaction or client information of its previous owner', (db) => {
  const connStr = pooledString(db);
  const setup = open(connStr);
  setup.exec('CREATE TABLE t (v INTEGER)');
  setup.setAutoCommit(false);
  setup.exec('INSERT INTO t VALUES (1)');
  setup.setClientInfo('APPLICATION', 'first owner');
  setup.disconnect();
  const next = open(connStr);
  assert.strictEqual(next.getAutoCommit(), true);
  assert.strictEqual(next.getClientInfo('APPLICATION'), null);
  assert.deepStrictEqual(next.exec('SELECT COUNT(*) AS n FROM t'), [{ n: 0 }]);
  next.exec('INSERT INTO t VALUES (2)');
  next.disconnect();
  const check = open(db.connStr());
  assert.deepStrictEqual(check.exec('SELECT v FROM t'), [{ v: 2 }]);
});

test('with POOLINGCHECK a handle that fails the ping is discarded', () => {
  const connStr = `databaseName=${freshDatabase()};POOLING=TRUE;POOLINGCHECK=TRUE`;
  const broken = open(connStr);
  broken.exec('CREATE TEMP TABLE marker (v INTEGER)');
  // Without its DUMMY view the session can no longer answer the ping.
  broken.exec('DROP VIEW temp.DUMMY');
  broken.disconnect();
  assert.strictEqual(broken.getPooledConnectionCount(), 1);
  const fresh = open(connStr);
  assert.strictEqual(fresh.getPooledConnectionCount(), 0);
  assert.throws(() => fresh.exec('SELECT * FROM marker'), (err) => err.sqlState === '42S02');
});
