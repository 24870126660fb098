'use strict';
// Stress under faults in a child process started with --expose-gc, and the
// handle-accounting cases it found.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const { execFileSync } = require('child_process');
const zelk = require('../..');
const { libraryPath } = require('../../lib/native');
const { root, buildDir, runIsolated } = require('./helpers');
const { serverSkip } = require('./backends');

const counts = require(path.join(buildDir, 'external_connection.node'));

function stressRun(env) {
  const out = execFileSync(process.execPath, ['--expose-gc', path.join(root, 'test', 'stress', 'stress-run.js')], {
    cwd: root, encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'], maxBuffer: 1 << 20,
    env: Object.assign({}, process.env, env),
  });
  return JSON.parse(out.trim().split('\n').pop());
}

function checkStress(stats) {
  console.log(`stress: seed ${stats.seed}, ${stats.operations} operations, ${stats.faults} faults, ` +
              `${stats.callbacksCalled}/${stats.callbacksExpected} callbacks, ${stats.errors} errors, ` +
              `rss ${stats.rss.map((b) => Math.round(b / 1048576)).join('/')} MB`);
  assert.strictEqual(stats.callbacksCalled, stats.callbacksExpected, `seed ${stats.seed}`);
  assert.strictEqual(stats.doubleCalls, 0, `seed ${stats.seed}`);
  assert.strictEqual(stats.badErrors, 0, `seed ${stats.seed}`);
  assert.ok(stats.faults > 0 && stats.operations > stats.faults);
  assert.deepStrictEqual(stats.live, { connections: 0, statements: 0 }, `seed ${stats.seed}`);
  // From the second round on the process has its working set; later rounds
  // may not keep growing it. A sanitizer's quarantine of freed memory makes
  // the resident size meaningless, so only plain builds are measured.
  if (!process.env.ZELK_SANITIZED) {
    const settled = stats.rss[1];
    const last = stats.rss[stats.rss.length - 1];
    assert.ok(last - settled < 64 * 1048576, `seed ${stats.seed}: rss ${settled} -> ${last}`);
  }
}

test('32 connections under random faults: every callback once, no handle left, memory flat', () => {
  checkStress(stressRun({}));
});

test('16 server connections under random faults: every callback once, no handle left', { skip: serverSkip }, () => {
  checkStress(stressRun({ ZELK_STRESS_SERVER: '1', ZELK_STRESS_CONNECTIONS: '16', ZELK_STRESS_ROUNDS: '3',
    ZELK_STRESS_ROUND_MS: '5000' }));
});

test('a drop overtaken by a disconnect still frees the statement, and releases it once', async () => {
  const before = counts.liveCounts(libraryPath);
  for (const order of ['drop first', 'disconnect first']) {
    const conn = zelk.createConnection();
    conn.connect('');
    const stmt = conn.prepare('SELECT 1 FROM DUMMY');
    const done = [];
    const drop = () => new Promise((resolve) => stmt.drop((err) => resolve(done.push(err && err.code))));
    const disconnect = () => new Promise((resolve) => conn.disconnect((err) => resolve(done.push(err && err.code))));
    await Promise.all(order === 'drop first' ? [drop(), disconnect()] : [disconnect(), drop()]);
    assert.strictEqual(done.length, 2, order);
    assert.strictEqual(stmt.isValid(), false, order);
  }
  assert.deepStrictEqual(counts.liveCounts(libraryPath), before);
});

// One worker thread makes the order exact: the drop finds the connection
// disconnecting, and its completion runs while the disconnect still waits
// behind another connection's job.
test('a drop that finds a disconnect pending leaves the handle to that disconnect', () => {
  const result = runIsolated(`
    const path = require('path');
    const zelk = require('.');
    const { libraryPath } = require('./lib/native');
    const counts = require(path.join(${JSON.stringify(buildDir)}, 'external_connection.node'));
    const before = counts.liveCounts(libraryPath);
    const [a, b, c] = [0, 1, 2].map(() => { const k = zelk.createConnection(); k.connect(''); return k; });
    const stmt = a.prepare('SELECT 1 AS x FROM DUMMY');
    const order = [];
    const sleep = 'SELECT zkv_sleep(300) AS s FROM DUMMY';
    a.exec('SELECT zkv_sleep(100) AS s FROM DUMMY', () => c.exec(sleep, () => order.push('other job')));
    b.exec(sleep, () => {});
    // Once a's sleep is surely running: marked earlier, it would fail instead.
    setTimeout(() => {
      stmt.drop((err) => order.push('drop ' + (err && err.code)));
      a.disconnect((err) => {
        order.push('disconnect ' + (err && err.code));
        b.disconnect();
        c.disconnect();
        console.log(JSON.stringify({ order, valid: stmt.isValid(), before, after: counts.liveCounts(libraryPath) }));
      });
    }, 30);`, { ZKV_NODEJS_THREADPOOL_SIZE: '1' });
  assert.deepStrictEqual(result.order, ['drop -20006', 'other job', 'disconnect undefined']);
  assert.strictEqual(result.valid, false);
  assert.deepStrictEqual(result.after, result.before);
});
