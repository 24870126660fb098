'use strict';
// The server backend when the server stops answering, with very many
// parameters, with COPY, and its TCP keep-alive
// (scripts/pg-test-server.sh start).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const net = require('net');
const zelk = require('../../..');
const { serverSkip: skip, connectServer: connect } = require('../backends');

const GRACE_MS = 3000;  // how long a cancel request may go unanswered

const failure = (fn) => new Promise((resolve) => fn((err) => resolve(err)));
const isBroken = (err) => err.code === 10015 && err.sqlState === '08006' && /Connection broken/.test(err.message);

// Runs fn while the server process of conn's session is stopped.
async function frozen(conn, fn) {
  const [{ pid }] = conn.exec('SELECT pg_backend_pid() AS pid');
  process.kill(pid, 'SIGSTOP');
  try {
    await fn();
  } finally {
    process.kill(pid, 'SIGCONT');
  }
}

test('a connect to a server that never answers ends at connectTimeout', async () => {
  const sockets = [];
  const silent = net.createServer((socket) => sockets.push(socket));
  await new Promise((resolve) => silent.listen(0, '127.0.0.1', resolve));
  const start = Date.now();
  const err = await new Promise((resolve) => zelk.createConnection().connect({ host: '127.0.0.1',
    port: silent.address().port, user: 'u', password: 'p', connectTimeout: 1500 }, resolve));
  assert.ok(err && err.code === 10002 && err.sqlState === '08001' && /timeout/.test(err.message), err && err.message);
  const elapsed = Date.now() - start;
  assert.ok(elapsed >= 1400 && elapsed < 10000, `ended after ${elapsed} ms`);
  sockets.forEach((socket) => socket.destroy());
  silent.close();
});

test('a frozen session: a timed-out call fails within time-out + grace, then the connection is broken', { skip }, async () => {
  // The second case sends more than the socket buffers take.
  for (const value of ['x', 'x'.repeat(32 << 20)]) {
    const conn = connect({ pooling: true });
    const stmt = conn.prepare('SELECT length(?::text) AS n');
    stmt.setTimeout(1);
    await frozen(conn, async () => {
      const start = Date.now();
      const err = await failure((cb) => stmt.exec([value], cb));
      const elapsed = Date.now() - start;
      assert.ok(err && err.code === 10009 && err.sqlState === 'HYT00', `the call gave ${err && err.message}`);
      assert.match(err.message, /did not answer the cancel request/);
      assert.ok(elapsed >= 1000 && elapsed < 1000 + GRACE_MS + 1500, `ended after ${elapsed} ms`);
    });
    assert.throws(() => stmt.exec(['x']), isBroken);
    assert.throws(() => conn.commit(), isBroken);
    try {
      conn.disconnect();
    } catch (err) {
      assert.ok(isBroken(err), err.message);
    }
    assert.strictEqual(conn.getPooledConnectionCount(), 0, 'a broken handle was pooled');
  }
});

test('a frozen session: abort fails the call with HY008 within the grace', { skip }, async () => {
  const conn = connect();
  await frozen(conn, async () => {
    const pending = failure((cb) => conn.exec('SELECT 1 AS one', cb));
    await new Promise((resolve) => setTimeout(resolve, 200));
    const start = Date.now();
    conn.abort();
    const err = await pending;
    assert.ok(err && err.sqlState === 'HY008', `the call gave ${err && err.message}`);
    assert.ok(Date.now() - start < GRACE_MS + 1500, `ended ${Date.now() - start} ms after the abort`);
  });
  assert.throws(() => conn.exec('SELECT 1 AS one'), isBroken);
});

test('65,535 parameters: a multi-row INSERT and an IN list bind every value; 65,536 are refused', { skip }, () => {
  const conn = connect();
  conn.exec('CREATE TEMP TABLE wide (a int, b int, c int, d int, e int)');
  const rows = 13107;
  const values = Array.from({ length: rows * 5 }, (_, i) => i);
  const insert = conn.prepare(`INSERT INTO wide VALUES ${Array(rows).fill('(?, ?, ?, ?, ?)').join(', ')}`);
  assert.strictEqual(insert.getParameterInfo().length, 65535);
  assert.strictEqual(insert.exec(values), rows);
  const select = conn.prepare(`SELECT a, e FROM wide WHERE a IN (${Array(65535).fill('?').join(', ')}) ORDER BY a`);
  assert.deepStrictEqual(select.getColumnInfo().map((c) => [c.columnName, c.tableName, c.nativeTypeName]),
    [['a', 'wide', 'INT'], ['e', 'wide', 'INT']]);
  const found = select.exec(values);
  assert.strictEqual(found.length, rows);
  assert.deepStrictEqual(found[rows - 1], { a: 65530, e: 65534 });
  assert.throws(() => conn.prepare(`SELECT 1 WHERE 1 IN (${Array(65536).fill('?').join(', ')})`),
    (err) => err.sqlState === '54023' && /at most 65535 parameters; this one has 65536/.test(err.message));
});

test('COPY FROM STDIN and TO STDOUT are refused before they reach the server; the transaction goes on', { skip }, () => {
  const conn = connect();
  conn.exec('CREATE TEMP TABLE c (x int)');
  conn.setAutoCommit(false);
  conn.exec('INSERT INTO c VALUES (1)');
  const refused = (err) => err.code === 10008 && err.sqlState === '0A000' &&
    /COPY FROM STDIN and COPY TO STDOUT are not supported/.test(err.message);
  for (const sql of ['COPY c FROM STDIN', 'copy c (x) from stdin with (format csv)',
    'COPY (SELECT x FROM c) TO STDOUT', 'COPY c TO /* here */ stdout']) {
    assert.throws(() => conn.exec(sql), refused, sql);
  }
  conn.commit();
  assert.deepStrictEqual(conn.exec('SELECT x FROM c'), [{ x: 1 }]);
  // STDIN as a name inside the copied query is no client COPY: the server judges it.
  assert.throws(() => conn.exec("COPY (SELECT 1 AS stdin) TO '/nonexistent/zelk'"), (e) => !refused(e) && !!e.sqlState);
});

const procSkip = skip || (!fs.existsSync('/proc/net/tcp') && 'no /proc/net/tcp');
test('server connections send TCP keep-alives after 30 s of silence', { skip: procSkip }, () => {
  const conn = connect();
  const [{ local, remote }] = conn.exec('SELECT inet_client_port() AS local, inet_server_port() AS remote');
  const port = (n) => `:${n.toString(16).toUpperCase().padStart(4, '0')}`;
  const ours = ['/proc/net/tcp', '/proc/net/tcp6'].filter((f) => fs.existsSync(f))
    .flatMap((f) => fs.readFileSync(f, 'utf8').split('\n').map((line) => line.trim().split(/\s+/)))
    .find((f) => f.length > 5 && f[1].endsWith(port(local)) && f[2].endsWith(port(remote)));
  assert.ok(ours, 'our socket is not in /proc/net/tcp');
  // "tr:tm->when": timer 2 is the keep-alive timer, due in 1/100 s.
  const [timer, due] = ours[5].split(':');
  assert.strictEqual(timer, '02');
  assert.ok(parseInt(due, 16) <= 30 * 100, `keep-alive due in ${parseInt(due, 16) / 100} s`);
});
