'use strict';
const test = require('node:test');
const assert = require('node:assert');
const zp = require('zelk/promises');
const { until } = require('./helpers');
const { bothBackends, serverSkip, serverParams } = require('./backends');


bothBackends('a full pool serves waiters in arrival order and times out the ones left waiting', async (db) => {
  const pool = zp.createPool(db.params(), { max: 1, acquireTimeout: 200 });
  const first = await pool.acquire();
  const order = [];
  const waiters = [1, 2, 3].map((n) => pool.acquire().then((c) => {
    order.push(n);
    c.release();
  }));
  assert.deepStrictEqual([pool.size, pool.idle, pool.waiting], [1, 0, 3]);
  first.release();
  await Promise.all(waiters);
  assert.deepStrictEqual(order, [1, 2, 3]);

  const held = await pool.acquire();
  const err = await pool.acquire().catch((e) => e);
  assert.strictEqual(err.code, -20006);
  assert.strictEqual(err.sqlState, 'HYT00');
  assert.match(err.message, /within 200 ms/);
  assert.strictEqual(pool.waiting, 0);
  held.release();
  assert.deepStrictEqual(await pool.get('SELECT 1 AS one FROM DUMMY'), { one: 1 });
  assert.throws(() => held.release(), { code: -20002 });
  await pool.end();
});

bothBackends('end() waits for borrowed connections, closes them as they return, and refuses new callers', async (db) => {
  const pool = zp.createPool(db.params(), { max: 2 });
  const [borrowed, idle] = await Promise.all([pool.acquire(), pool.acquire()]);
  idle.release();
  let ended = false;
  const ending = pool.end().then(() => { ended = true; });
  await until(() => idle.state() === 'disconnected', 'the idle connection is closed');
  assert.strictEqual(ended, false);
  await assert.rejects(pool.exec('SELECT 1 FROM DUMMY'), { code: -20006, message: /the pool has ended/ });
  assert.deepStrictEqual(await borrowed.all('SELECT 2 AS two FROM DUMMY'), [{ two: 2 }]);
  borrowed.release();
  await ending;
  assert.strictEqual(borrowed.state(), 'disconnected');
  assert.strictEqual(pool.size, 0);
});

bothBackends('min, idleTimeout and maxUses open, retire and replace connections, with their events', async (db) => {
  const events = [];
  const pool = zp.createPool(db.params(), { max: 3, min: 1, idleTimeout: 50, maxUses: 2 });
  for (const name of ['connect', 'acquire', 'release', 'remove']) pool.on(name, () => events.push(name));
  const connects = () => events.filter((e) => e === 'connect').length;
  await until(() => pool.idle === 1, 'min opens a connection');
  assert.deepStrictEqual([pool.size, events], [1, ['connect']]);
  await Promise.all([1, 2, 3].map(() => pool.get('SELECT 1 AS one FROM DUMMY')));
  assert.strictEqual(connects(), 3, 'three callers at once open up to max');
  await until(() => pool.size === 1, 'idle connections beyond min are closed');
  const before = connects();
  await pool.exec('SELECT 1 FROM DUMMY');
  await pool.exec('SELECT 1 FROM DUMMY');
  await until(() => connects() > before, 'a connection used maxUses times is replaced');
  assert.ok(events.includes('remove') && events.includes('release'));
  await pool.end();
});

bothBackends('pool.transaction owns one connection; the pool reads in parallel meanwhile', async (db) => {
  const pool = zp.createPool(db.params(), { max: 2 });
  await pool.exec('CREATE TABLE t (id INTEGER)');
  const err = await pool.transaction(async (tx) => {
    await tx.run('INSERT INTO t VALUES (1)');
    assert.deepStrictEqual(await pool.all('SELECT id FROM t'), []);
    throw new Error('undo');
  }).catch((e) => e);
  assert.strictEqual(err.message, 'undo');
  await pool.transaction((tx) => tx.run('INSERT INTO t VALUES (2)'), { mode: 'immediate' });
  const seen = [];
  for await (const row of pool.iterate('SELECT id FROM t')) seen.push(row.id);
  assert.deepStrictEqual(seen, [2]);
  await pool.end();
});

test('never more sessions than max on the server under 50 concurrent requests', { skip: serverSkip }, async () => {
  const admin = await zp.connect(serverParams());
  const count = 'SELECT count(*)::int AS n FROM pg_stat_activity WHERE datname = current_database()';
  const baseline = (await admin.get(count)).n;
  const pool = zp.createPool(serverParams(), { max: 5 });
  let peak = 0;
  await Promise.all(Array.from({ length: 50 }, () => pool.transaction(async (tx) => {
    peak = Math.max(peak, (await tx.get(count)).n - baseline);
    await tx.exec('SELECT pg_sleep(0.01)');
  })));
  assert.ok(peak <= 5 && peak >= 2, `sessions opened by the pool at once: ${peak}`);
  assert.strictEqual(pool.size, 5);
  await pool.end();
  await admin.close();
});

test('a broken connection is removed and replaced, idle or borrowed', { skip: serverSkip }, async () => {
  const admin = await zp.connect(serverParams());
  const pool = zp.createPool(serverParams(), { max: 1, validateAfter: 0 });
  const removed = [];
  pool.on('remove', (c) => removed.push(c));
  const pidOf = (c) => c.get('SELECT pg_backend_pid() AS pid').then((r) => r.pid);
  const first = await pool.acquire();
  const pid = await pidOf(first);
  first.release();
  await admin.exec('SELECT pg_terminate_backend(?)', [pid]);
  const second = await pool.acquire();
  assert.deepStrictEqual(removed, [first], 'the idle connection failed its check');
  const secondPid = await pidOf(second);
  assert.notStrictEqual(secondPid, pid);
  second.release();

  // Lost while borrowed: the caller sees the error, the pool drops the connection.
  const err = await pool.use(async (c) => {
    await admin.exec('SELECT pg_terminate_backend(?)', [secondPid]);
    return c.exec('SELECT 1 FROM DUMMY');
  }).catch((e) => e);
  assert.match(err.sqlState, /^08/);
  assert.strictEqual(removed.length, 2);
  assert.deepStrictEqual(await pool.get('SELECT 3 AS three FROM DUMMY'), { three: 3 });
  await pool.end();
  await admin.close();
});
