'use strict';
// Stress under faults, run as its own process with --expose-gc: 32
// connections run mixed asynchronous work while random faults disconnect,
// drop, close, abort and abandon objects and force collections. Prints one
// JSON line of figures; the test that starts it checks them. With
// ZELK_STRESS_SERVER=1 the connections go to the server named by ZELK_PG_*.
const path = require('path');
const zelk = require('../..');
const { libraryPath } = require('../../lib/native');
const { seededRandom, runSeed } = require('../js/random');

const env = process.env;
const onServer = env.ZELK_STRESS_SERVER === '1';
const CONNECTIONS = Number(env.ZELK_STRESS_CONNECTIONS) || 32;
const ROUNDS = Number(process.env.ZELK_STRESS_ROUNDS) || 6;
const ROUND_MS = Number(process.env.ZELK_STRESS_ROUND_MS) || 8000;
const buildDir = process.env.ZELK_BUILD_DIR || path.join(__dirname, '..', '..', 'build');
const counts = require(path.join(buildDir, 'external_connection.node'));

const seed = runSeed(20240101);
const rnd = seededRandom(seed);
const stats = { seed, operations: 0, faults: 0, callbacksExpected: 0, callbacksCalled: 0, doubleCalls: 0,
  badErrors: 0, errors: 0, rss: [] };

// Wraps a completion callback: counts it and catches a second call.
function tracked(then) {
  stats.callbacksExpected++;
  let called = false;
  return function completion(err, value) {
    if (called) {
      stats.doubleCalls++;
      return;
    }
    called = true;
    stats.callbacksCalled++;
    if (err) {
      stats.errors++;
      if (typeof err.code !== 'number' || typeof err.sqlState !== 'string') stats.badErrors++;
    }
    if (then) then(err, value);
  };
}

// Runs fn, counting a synchronous driver error as the end of that operation.
function attempt(fn) {
  stats.operations++;
  try {
    fn();
  } catch (err) {
    stats.errors++;
    if (typeof err.code !== 'number' || typeof err.sqlState !== 'string') {
      stats.badErrors++;
      if (stats.badErrors <= 3) process.stderr.write(`error without code or sqlState: ${err.stack}\n`);
    }
  }
}

// An operation on a statement or result set waits until the worker has one.
const some = (list, fn) => (list.length > 0 ? fn(rnd.pick(list)) : undefined);

// Each connection has a table of its own: a private in-memory database, or
// a temporary table of its server session.
const SETUP = onServer
  ? ['CREATE TEMP TABLE T (A INTEGER, B VARCHAR(100), L BYTEA)', "INSERT INTO T VALUES (1, 'one', NULL), (2, 'two', '\\x00ff')"]
  : ['CREATE TABLE T (A INTEGER, B VARCHAR(100), L BLOB)', "INSERT INTO T VALUES (1, 'one', NULL), (2, 'two', X'00FF')"];
const CONNECT = onServer
  ? { host: env.ZELK_PG_HOST, port: env.ZELK_PG_PORT, user: env.ZELK_PG_USER, password: env.ZELK_PG_PASSWORD,
    database: env.ZELK_PG_DATABASE }
  : '';

function openWorker() {
  const worker = { conn: zelk.createConnection(), statements: [], resultSets: [] };
  attempt(() => worker.conn.connect(CONNECT));
  for (const sql of SETUP) attempt(() => worker.conn.exec(sql));
  return worker;
}

const OPERATIONS = [
  (w) => attempt(() => w.conn.exec('SELECT * FROM T WHERE A > ?', [rnd.int(3)], tracked())),
  (w) => attempt(() => w.conn.exec('INSERT INTO T VALUES (?, ?, NULL)', [rnd.int(1000), 'x'.repeat(rnd.int(90))],
    tracked())),
  (w) => attempt(() => w.conn.prepare('SELECT A, B, L FROM T', tracked((err, stmt) => {
    if (!err) w.statements.push(stmt);
  }))),
  (w) => some(w.statements, (stmt) => attempt(() => stmt.execQuery(tracked((err, rs) => {
    if (!err) w.resultSets.push(rs);
  })))),
  (w) => some(w.resultSets, (rs) => attempt(() => rs.next(tracked((err, more) => {
    if (!err && more) attempt(() => rs.getValue(rnd.int(3), tracked()));
  })))),
  (w) => some(w.resultSets, (rs) => attempt(() => rs.getData(2, 0, Buffer.alloc(8), 0, 8, tracked()))),
  (w) => attempt(() => w.conn.prepare('INSERT INTO T VALUES (?, ?, ?)', tracked((err, stmt) => {
    if (err) return;
    w.statements.push(stmt);
    attempt(() => stmt.exec([7, 'lob', { sendParameterData: true }], tracked((e) => {
      if (e) return;
      attempt(() => stmt.sendParameterData(2, Buffer.alloc(1000, 7), tracked(() => {
        attempt(() => stmt.sendParameterData(2, null, tracked()));
      })));
    })));
  }))),
  (w) => attempt(() => w.conn.prepare('INSERT INTO T VALUES (?, ?, NULL)', tracked((err, stmt) => {
    if (!err) attempt(() => stmt.execBatch([[1, 'a'], [2, 'b'], [3, null]], tracked()));
  }))),
];

const FAULTS = [
  (w) => attempt(() => w.conn.disconnect(tracked())),
  (w) => some(w.statements, (stmt) => attempt(() => stmt.drop(tracked()))),
  (w) => some(w.resultSets, (rs) => attempt(() => rs.close(tracked()))),
  (w) => attempt(() => w.conn.abort()),
  (w) => { w.statements = []; w.resultSets = []; },
  () => global.gc(),
];

function step(workers) {
  const index = rnd.int(workers.length);
  const worker = workers[index];
  if (worker.conn.state() !== 'connected') {
    workers[index] = openWorker();
    return;
  }
  if (rnd.chance(0.06)) {
    stats.faults++;
    rnd.pick(FAULTS)(worker);
  } else {
    rnd.pick(OPERATIONS)(worker);
  }
  // Keep the object lists short so abandoned ones get collected.
  if (worker.statements.length > 8) worker.statements.shift();
  if (worker.resultSets.length > 8) worker.resultSets.shift();
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function drain() {
  for (let i = 0; i < 600 && stats.callbacksCalled < stats.callbacksExpected; i++) await pause(50);
}

async function closeAll(workers) {
  for (const worker of workers) {
    await new Promise((resolve) => attempt(() => worker.conn.disconnect(tracked(() => resolve()))));
  }
  workers.length = 0;
  for (let i = 0; i < 5; i++) {
    global.gc();
    await pause(50);
  }
}

async function round() {
  const workers = Array.from({ length: CONNECTIONS }, openWorker);
  const end = Date.now() + ROUND_MS;
  while (Date.now() < end) {
    for (let i = 0; i < 64; i++) step(workers);
    await pause(rnd.int(3));
  }
  await drain();
  await closeAll(workers);
  await drain();
  stats.rss.push(process.memoryUsage().rss);
}

async function main() {
  process.stderr.write(`stress seed ${seed} (replay with ZELK_SEED=${seed})\n`);
  for (let r = 0; r < ROUNDS; r++) await round();
  // Finalizers of abandoned objects run after collections, on later ticks.
  for (let i = 0; i < 20; i++) {
    stats.live = counts.liveCounts(libraryPath);
    if (stats.live.connections === 0 && stats.live.statements === 0) break;
    global.gc();
    await pause(100);
  }
  process.stdout.write(JSON.stringify(stats) + '\n');
}

main();
