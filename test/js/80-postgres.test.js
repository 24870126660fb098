'use strict';
// The driver against a PostgreSQL server (scripts/pg-test-server.sh start).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const zelk = require('../..');
const { runIsolated } = require('./helpers');

const env = process.env;
const skip = env.ZELK_PG_HOST && env.ZELK_PG_PORT && env.ZELK_PG_USER && env.ZELK_PG_DATABASE
  ? false
  : 'no PostgreSQL server: set ZELK_PG_HOST, ZELK_PG_PORT, ZELK_PG_USER, ZELK_PG_PASSWORD and ' +
    'ZELK_PG_DATABASE (eval "$(scripts/pg-test-server.sh start)")';

function params(extra) {
  return Object.assign({
    host: env.ZELK_PG_HOST,
    port: env.ZELK_PG_PORT,
    user: env.ZELK_PG_USER,
    password: env.ZELK_PG_PASSWORD,
    database: env.ZELK_PG_DATABASE,
  }, extra || {});
}

function connect(extra) {
  const conn = zelk.createConnection();
  conn.connect(params(extra));
  return conn;
}

test('TLS with the server certificate as ca', { skip: skip || (!env.ZELK_PG_CA && 'ZELK_PG_CA is not set') }, () => {
  const conn = connect({ ca: fs.readFileSync(env.ZELK_PG_CA, 'utf8') });
  assert.deepStrictEqual(conn.exec('SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()'), [{ ssl: true }]);
  conn.disconnect();
});

test('connects with host, port, user, password and database; exec returns every type as its value', { skip }, () => {
  const conn = connect();
  assert.deepStrictEqual(conn.exec(
    "SELECT 7::int4 AS i, 9007199254740991::int8 AS b, (-3)::int2 AS s, false AS f, 0.5::float8 AS d, " +
    "0.25::float4 AS r, 1.50::numeric(5,2) AS n, 'v'::varchar(3) AS v, 'text'::text AS t, " +
    "'\\xdead'::bytea AS y, DATE '2020-01-31' AS dt, TIME '01:02:03' AS tm, " +
    "TIMESTAMP '2020-01-31 01:02:03' AS ts, NULL::int AS z FROM DUMMY"), [{
    i: 7, b: 9007199254740991, s: -3, f: false, d: 0.5, r: 0.25, n: '1.50', v: 'v', t: 'text',
    y: Buffer.from([0xde, 0xad]), dt: '2020-01-31', tm: '01:02:03', ts: '2020-01-31 01:02:03', z: null,
  }]);
  conn.disconnect();
});

test('parameters of a prepared statement reach the server', { skip }, () => {
  const conn = connect();
  const stmt = conn.prepare('SELECT ?::int + 1 AS n, :name::text AS t');
  assert.deepStrictEqual(stmt.exec([41, 'zelk']), [{ n: 42, t: 'zelk' }]);
  // Whole numbers whose shortest text is an exponent must still bind as integers.
  assert.deepStrictEqual(stmt.exec([100000, '']), [{ n: 100001, t: '' }]);
  stmt.drop();
  conn.disconnect();
});

test('the pool ping discards a handle whose session was killed', { skip }, () => {
  const pooled = { pooling: true, poolingCheck: true };
  const first = connect(pooled);
  const [{ pid }] = first.exec('SELECT pg_backend_pid() AS pid');
  first.disconnect();
  assert.strictEqual(first.getPooledConnectionCount(), 1);
  const killer = connect();
  killer.exec(`SELECT pg_terminate_backend(${pid})`);
  killer.disconnect();
  const second = connect(pooled);
  const [{ pid: newPid }] = second.exec('SELECT pg_backend_pid() AS pid');
  assert.notStrictEqual(newPid, pid);
  second.disconnect();
  second.clearPool();
});

test('abort ends pg_sleep(30) with an error', { skip }, async () => {
  const conn = connect();
  const start = Date.now();
  const failed = new Promise((resolve) => {
    conn.exec('SELECT pg_sleep(30)', (err) => resolve(err));
  });
  await new Promise((resolve) => setTimeout(resolve, 300));
  conn.abort();
  const err = await failed;
  assert.ok(err, 'the sleep ended without an error');
  assert.strictEqual(err.sqlState, 'HY008');
  assert.ok(Date.now() - start < 10000, 'the abort did not end the sleep');
  conn.disconnect();
});

test('the open-connection limit holds against the server under concurrent connects', { skip }, () => {
  const out = runIsolated(`
    const zelk = require('.');
    const params = ${JSON.stringify(params())};
    const conns = [1, 2, 3].map(() => zelk.createConnection());
    const results = [];
    let pending = conns.length;
    conns.forEach((c) => c.connect(params, (err) => {
      results.push(err ? { code: err.code, message: err.message } : 'ok');
      if (--pending > 0) return;
      const winner = conns.find((x) => x.state() === 'connected');
      const loser = conns.find((x) => x.state() !== 'connected');
      winner.disconnect(() => loser.connect(params, (err) => {
        results.push(err ? { code: err.code, message: err.message } : 'ok-after');
        const [row] = loser.exec("SELECT 'ping' AS p FROM DUMMY");
        conns.forEach((x) => x.disconnect());
        console.log(JSON.stringify({ results, row }));
      }));
    }));`, { ZKV_NODEJS_MAX_OPEN_CONNECTIONS: '2' });
  const refused = out.results.filter((r) => r !== 'ok' && r !== 'ok-after');
  assert.deepStrictEqual(refused, [{ code: -20023, message: 'Too many connections' }]);
  assert.strictEqual(out.results.filter((r) => r === 'ok').length, 2);
  assert.strictEqual(out.results[3], 'ok-after');
  assert.deepStrictEqual(out.row, { p: 'ping' });
});
