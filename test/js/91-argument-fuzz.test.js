'use strict';
// Every method of Connection, Statement and ResultSet called with random
// values and counts: each call works or fails with an Error carrying code,
// message and sqlState, and each callback it takes is called exactly once.
const test = require('node:test');
const assert = require('node:assert');
const zelk = require('../..');
const { freshDatabase, open, tmpDir } = require('./helpers');
const { seededRandom, runSeed } = require('./random');

const CALLS = Number(process.env.ZELK_ARG_FUZZ_CALLS) || 3000;
// A random text with no "=" given to connect is a path: the file it opens lands here.
process.chdir(tmpDir);

function detachedBuffer() {
  const backing = new ArrayBuffer(8);
  const view = Buffer.from(backing);
  structuredClone(backing, { transfer: [backing] });
  return view;
}

function hostileObject() {
  return new Proxy({}, {
    get() { throw new Error('hostile getter'); },
    ownKeys() { throw new Error('hostile keys'); },
  });
}

function hostileArray() {
  const array = [1, 2];
  Object.defineProperty(array, 1, { get() { throw new Error('hostile element'); } });
  return array;
}

function valuePool() {
  return [
    undefined, null, true, false, 0, -1, 1, 2, 7, -2147483649, 2147483648, 2 ** 53, -(2 ** 63), 1.5, NaN,
    Infinity, -Infinity, 1n, 2n ** 70n, '', 'x', 'SELECT 1 FROM DUMMY', 'SELECT * FROM T', 'INSERT INTO T VALUES (?, ?)',
    'a'.repeat(100000), '\u0000', '\ud800', 'ISOLATIONLEVEL=SERIALIZABLE;x={;}', Symbol('s'), {}, [], [1, 'a', null],
    [[1, 'b'], [2, 'c']], [[1]], { A: 1 }, { rowsAsArray: true }, { nestTables: true }, Buffer.alloc(0),
    Buffer.from('abc'), detachedBuffer(), new Uint8Array(3), new Date(0), Promise.resolve(1), hostileObject(),
    { toString() { throw new Error('hostile toString'); } }, Object.create(null), -0, hostileArray(), [hostileArray()],
  ];
}

// Every method an object has, its prototypes' included.
function methodsOf(object) {
  const names = new Set();
  for (let proto = object; proto !== Object.prototype; proto = Object.getPrototypeOf(proto)) {
    for (const name of Object.getOwnPropertyNames(proto)) if (typeof object[name] === 'function') names.add(name);
  }
  names.delete('constructor');
  return [...names];
}

// The methods that complete through a callback, with the most arguments
// they take, the callback included; a function past that is not theirs.
const ASYNC = new Map(Object.entries({
  'connection.exec': 4, 'connection.execute': 4, 'connection.execInternal': 4, 'connection.prepare': 2,
  'connection.connect': 2, 'connection.disconnect': 1, 'connection.close': 1, 'connection.end': 1,
  'connection.commit': 1, 'connection.rollback': 1, 'connection.abort': 1, 'connection.clearPool': 1,
  'statement.exec': 3, 'statement.execute': 3, 'statement.execInternal': 3, 'statement.execQuery': 3,
  'statement.executeQuery': 3, 'statement.execBatch': 3, 'statement.executeBatch': 3, 'statement.drop': 1,
  'statement.getData': 6, 'statement.getParameterValue': 2, 'statement.sendParameterData': 3,
  'resultSet.close': 1, 'resultSet.getData': 6, 'resultSet.getValue': 2, 'resultSet.getValues': 2,
  'resultSet.next': 1, 'resultSet.nextResult': 1, 'resultSet.fetchRows': 2,
}));

// A hostile proxy's own exception passes through unchanged.
function assertDriverError(err, where) {
  if (err instanceof Error && /^hostile /.test(err.message)) return;
  assert.ok(err instanceof Error, `${where}: not an Error: ${String(err)}`);
  assert.strictEqual(typeof err.code, 'number', `${where}: code of ${err.message}`);
  assert.strictEqual(typeof err.message, 'string', where);
  assert.strictEqual(typeof err.sqlState, 'string', `${where}: sqlState of ${err.message}`);
}

// Keeps the objects under test, replacing those a random call closed.
class Targets {
  constructor(file) {
    this.file = file;
    this.connection = zelk.createConnection();
    this.connection.connect(`databaseName=${file}`);
    this.refresh();
  }
  refresh() {
    try {
      if (this.connection.state() !== 'connected') {
        this.connection = zelk.createConnection();
        this.connection.connect(`databaseName=${this.file}`);
      }
      this.connection.setAutoCommit(true);
      this.statement = this.connection.prepare('SELECT * FROM T WHERE A > ?');
      this.resultSet = this.connection.prepare('SELECT * FROM T').executeQuery();
    } catch (err) {
      assertDriverError(err, 'refresh');
    }
  }
}

function runCalls(targets, rnd, seed) {
  const pool = valuePool();
  const METHODS = Object.fromEntries(['connection', 'statement', 'resultSet'].map((kind) => [kind, methodsOf(targets[kind])]));
  const callbacks = [];
  for (let i = 0; i < CALLS; i++) {
    if (i % 50 === 0) targets.refresh();
    const kind = rnd.pick(Object.keys(METHODS));
    const name = rnd.pick(METHODS[kind]);
    const args = [];
    const count = rnd.int(5);
    for (let a = 0; a < count; a++) args.push(rnd.pick(pool));
    let record = null;
    if (name !== 'onTrace' && rnd.chance(0.5)) {
      record = { where: `seed ${seed} call ${i} ${kind}.${name}`, calls: 0, threw: false,
        async: count < (ASYNC.get(`${kind}.${name}`) || 0) };
      args.push(function callback(err) {
        record.calls++;
        if (process.env.ZELK_TRACE_CALLS) process._rawDebug(`  callback of ${record.where}: ${err && err.message}`);
        if (err) assertDriverError(err, record.where);
      });
      callbacks.push(record);
    }
    if (process.env.ZELK_TRACE_CALLS) process._rawDebug(`${i} ${kind}.${name}`, args);
    try {
      targets[kind][name](...args);
    } catch (err) {
      if (record) record.threw = true;
      if (process.env.ZELK_TRACE_CALLS) process._rawDebug(`  threw ${err.code} ${err.message}`);
      assertDriverError(err, `seed ${seed} call ${i} ${kind}.${name}`);
    }
  }
  return callbacks;
}

async function settle(callbacks) {
  for (let wait = 0; wait < 600; wait++) {
    if (callbacks.every((r) => r.calls > 0 || r.threw || !r.async)) break;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  await new Promise((resolve) => setTimeout(resolve, 200));
}

test('random arguments to every method: errors are driver errors, callbacks run once', async () => {
  const seed = runSeed(4242);
  console.log(`argument fuzz seed ${seed}, ${CALLS} calls`);
  const file = freshDatabase();
  const setup = open(`databaseName=${file}`);
  setup.exec('CREATE TABLE T (A INTEGER, B VARCHAR(20))');
  setup.exec("INSERT INTO T VALUES (1, 'one'), (2, 'two'), (3, 'three')");
  setup.disconnect();

  const targets = new Targets(file);
  const callbacks = runCalls(targets, seededRandom(seed), seed);
  await settle(callbacks);
  for (const record of callbacks) {
    if (record.threw) {
      assert.strictEqual(record.calls, 0, `${record.where}: threw and called back`);
    } else if (!record.async) {
      assert.ok(record.calls <= 1, `${record.where}: called ${record.calls} times`);
    } else {
      assert.strictEqual(record.calls, 1, `${record.where}: called ${record.calls} times`);
    }
  }
  targets.connection.disconnect();
});

test('a throwing getter or proxy in the arguments surfaces its own exception and queues no callback', async () => {
  const conn = open('');
  conn.exec('CREATE TABLE T (A INTEGER, B VARCHAR(20))');
  const stmt = conn.prepare('INSERT INTO T VALUES (?, ?)');
  const rs = conn.prepare('SELECT * FROM T').executeQuery();
  let called = 0;
  const callback = () => { called++; };
  const calls = [
    () => zelk.createConnection().connect(hostileObject(), callback),
    () => conn.exec('SELECT :a FROM DUMMY', hostileObject(), callback),
    () => conn.exec('SELECT ?, ? FROM DUMMY', hostileArray(), callback),
    () => stmt.exec(hostileArray(), callback),
    () => stmt.execBatch([hostileArray()], callback),
    () => rs.getValues(hostileObject(), callback),
  ];
  for (const call of calls) assert.throws(call, /^Error: hostile /, call.toString());
  await new Promise((resolve) => setTimeout(resolve, 200));
  assert.strictEqual(called, 0);
  // The connection is still usable; an empty Buffer binds as an empty value.
  assert.deepStrictEqual(conn.exec('SELECT LENGTH(?) AS N FROM DUMMY', [Buffer.alloc(0)]), [{ N: 0 }]);
});
