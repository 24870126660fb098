'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const { buildDir, runIsolated, errorFields, driverError } = require('./helpers');

const DRIVER_LINE = 'node.js driver version: 2.11.020.1644165757.';
const variant = (name) => path.join(buildDir, 'variants', name, 'libdbcapiZKV.so');

// Loading happens once per process, so each case gets its own process that
// talks to the raw module.
function loadScript(paths) {
  return `
    const m = require(${JSON.stringify(path.join(buildDir, 'zelk.node'))});
    const out = { before: m.getDriverVersion(), errors: [] };
    for (const p of ${JSON.stringify(paths)}) {
      try { m.__loadDbcapi(p); out.errors.push(null); }
      catch (e) { out.errors.push({ code: e.code, message: e.message, sqlState: e.sqlState }); }
    }
    out.after = m.getDriverVersion();
    console.log(JSON.stringify(out));`;
}

test('module exports in order', () => {
  const out = runIsolated(`console.log(JSON.stringify(Object.keys(require(${JSON.stringify(
    path.join(buildDir, 'zelk.node'))}))))`);
  assert.deepStrictEqual(out, ['Connection', 'Statement', 'ResultSet', 'createConnection', 'createClient',
    'setConnectionPoolLimit', 'getDriverVersion', '__loadDbcapi', '__getPipe', '__runCallbacks',
    '__stopAllWork', '__setRefFunctions', '__setAddFnsThatAddMethodsToObjects']);
});

test('library loading: the default library, retries, and the libraries that are refused', () => {
  const good = path.join(buildDir, 'libdbcapiZKV.so');
  const failed = driverError(-20005, 'Failed to load DBCAPI.');
  const wrongVersion = driverError(-20005,
    "Invalid libdbcapiZKV version.  Expected 'libdbcapiZKV 2.11.020.1644165757', but found 'libdbcapiZKV 2.11.020.1644165758'.");
  const noPath = { LD_LIBRARY_PATH: '/nonexistent' };
  // What is loaded, in which environment, the error of each load, and the driver version afterwards.
  const cases = [
    ['a second load does nothing', [good, good], {}, [null, null], DRIVER_LINE],
    ['a missing file falls back to the search path', ['/nonexistent/libdbcapiZKV.so'], { LD_LIBRARY_PATH: buildDir },
      [null], DRIVER_LINE],
    ['a failed first load can be retried', ['/nonexistent/x.so', good], noPath, [failed, null],
      DRIVER_LINE + DRIVER_LINE],
    ['a wrong version is reported once', [variant('badversion'), variant('badversion')], {}, [wrongVersion, null]],
    ['a required entry point is missing', [variant('missing')], noPath, [failed]],
    ['init fails', [variant('initfails')], {}, [failed]],
    ['init_ex is optional', [variant('noinitex')], {}, [null]],
  ];
  for (const [name, paths, env, errors, after] of cases) {
    const out = runIsolated(loadScript(paths), env);
    assert.strictEqual(out.before, '', name);
    assert.deepStrictEqual(out.errors, errors, name);
    if (after !== undefined) assert.strictEqual(out.after, after, name);
  }
});

test('setConnectionPoolLimit checks its argument', () => {
  const zelk = require('../..');
  assert.deepStrictEqual(errorFields(() => zelk.setConnectionPoolLimit('5')),
    driverError(-20002, "Invalid parameter 0 for function 'setConnectionPoolLimit(conntionPoolLimit)': " +
      'expected number, received string.'));
  assert.match(errorFields(() => zelk.setConnectionPoolLimit()).message, /received undefined\.$/);
  // No callback position: a function argument is refused by a throw too.
  assert.match(errorFields(() => zelk.setConnectionPoolLimit(() => {})).message, /received function\.$/);
});

test('createConnection and createClient build Connection objects with exec added', () => {
  const zelk = require('../..');
  for (const make of [zelk.createConnection, zelk.createClient]) {
    const conn = make();
    assert.ok(conn instanceof zelk.Connection);
    assert.strictEqual(typeof conn.exec, 'function');
    assert.strictEqual(conn.state(), 'disconnected');
  }
  assert.deepStrictEqual(errorFields(() => zelk.createConnection(5)),
    driverError(-20002, "Invalid parameter 0 for function 'createConnection[createClient]([conn_params])': " +
      'expected string|object, received number.'));
});

// The pool starts with the first queued job; its workers name themselves.
function workerCount(env) {
  delete process.env.ZKV_NODEJS_THREADPOOL_SIZE;
  delete process.env.UV_THREADPOOL_SIZE;
  return runIsolated(`
    const fs = require('fs');
    const zelk = require('.');
    const conn = zelk.createConnection(); conn.connect('');
    const count = () => fs.readdirSync('/proc/self/task').filter((t) =>
      fs.readFileSync('/proc/self/task/' + t + '/comm', 'utf8').trim() === 'WorkerThread').length;
    conn.commit(() => setTimeout(() => { console.log(count()); conn.disconnect(); }, 300));`, env);
}

test('worker count from ZKV_NODEJS_THREADPOOL_SIZE, else UV_THREADPOOL_SIZE, within 1 to 1024', () => {
  assert.strictEqual(workerCount({}), 4);
  assert.strictEqual(workerCount({ ZKV_NODEJS_THREADPOOL_SIZE: '0' }), 1);
  assert.strictEqual(workerCount({ ZKV_NODEJS_THREADPOOL_SIZE: 'many' }), 1);
  assert.strictEqual(workerCount({ ZKV_NODEJS_THREADPOOL_SIZE: '5000' }), 1024);
  assert.strictEqual(workerCount({ UV_THREADPOOL_SIZE: '8' }), 8);
  assert.strictEqual(workerCount({ UV_THREADPOOL_SIZE: '8', ZKV_NODEJS_THREADPOOL_SIZE: '3' }), 3);
});

test('after __stopAllWork queued work never runs, whether or not the pool had started', () => {
  const stopThenQueue = (startFirst) => runIsolated(`
    const zelk = require('.');
    const native = require(${JSON.stringify(path.join(buildDir, 'zelk.node'))});
    const conn = zelk.createConnection(); conn.connect('');
    const out = { ran: false };
    const stopAndQueue = () => {
      native.__stopAllWork();
      native.__stopAllWork();
      conn.commit(() => { out.ran = true; });
      setTimeout(() => { console.log(JSON.stringify(out)); process.exit(0); }, 300);
    };
    if (${startFirst}) conn.commit(stopAndQueue); else stopAndQueue();`);
  assert.deepStrictEqual(stopThenQueue(false), { ran: false });
  assert.deepStrictEqual(stopThenQueue(true), { ran: false });
});
