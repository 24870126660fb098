'use strict';
// The driver against a PostgreSQL server (scripts/pg-test-server.sh start).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const zelk = require('../../..');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const { serverSkip: skip, serverParams: params, connectServer: connect } = require('../backends');

const env = process.env;

const tlsSkip = skip || (!(env.ZELK_PG_CA && env.ZELK_PG_UNTRUSTED_CA) && 'ZELK_PG_CA or ZELK_PG_UNTRUSTED_CA is not set');
test('TLS: the server certificate as ca verifies; a certificate that did not sign it is refused', { skip: tlsSkip }, () => {
  const conn = connect({ ca: fs.readFileSync(env.ZELK_PG_CA, 'utf8') });
  assert.deepStrictEqual(conn.exec('SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()'), [{ ssl: true }]);
  conn.disconnect();
  const refused = zelk.createConnection();
  // As a Buffer: were it ignored, the connect would succeed unverified.
  assert.throws(() => refused.connect(params({ ca: fs.readFileSync(env.ZELK_PG_UNTRUSTED_CA) })),
    (err) => err.code === 10002 && err.sqlState === '08001' && /certificate verify failed/.test(err.message));
  assert.strictEqual(refused.state(), 'disconnected');
});

const certSkip = skip || (!(env.ZELK_PG_CERT_USER && env.ZELK_PG_CLIENT_CERT && env.ZELK_PG_CLIENT_KEY) &&
  'ZELK_PG_CERT_USER, ZELK_PG_CLIENT_CERT or ZELK_PG_CLIENT_KEY is not set');
test('a client certificate and key log in a role that has no password', { skip: certSkip }, () => {
  const certUser = params({ user: env.ZELK_PG_CERT_USER });
  delete certUser.password;
  const conn = zelk.createConnection();
  conn.connect(Object.assign({}, certUser, {
    cert: fs.readFileSync(env.ZELK_PG_CLIENT_CERT, 'utf8'),
    key: fs.readFileSync(env.ZELK_PG_CLIENT_KEY, 'utf8').split('\n'),
  }));
  assert.deepStrictEqual(conn.exec('SELECT current_user AS u, ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()'),
    [{ u: env.ZELK_PG_CERT_USER, ssl: true }]);
  conn.disconnect();
  const without = zelk.createConnection();
  assert.throws(() => without.connect(certUser), (err) => err.code === 10002 && err.sqlState === '28000');
});

test('a wrong password is refused with 28P01; the connection connects afterwards', { skip }, () => {
  const conn = zelk.createConnection();
  assert.throws(() => conn.connect(params({ password: 'not-the-password' })), (err) => err.code === 10002 &&
    err.sqlState === '28P01' && /password authentication failed/.test(err.message));
  assert.strictEqual(conn.state(), 'disconnected');
  conn.connect(params());
  assert.deepStrictEqual(conn.exec('SELECT current_user AS u'), [{ u: env.ZELK_PG_USER }]);
  conn.disconnect();
});

test('connects with host, port, user, password and database; every type comes back as its value, described', { skip }, () => {
  const conn = connect();
  const sql = "SELECT 7::int4 AS i, 9007199254740991::int8 AS b, (-3)::int2 AS s, false AS f, 0.5::float8 AS d, " +
    "0.25::float4 AS r, 1.50::numeric(5,2) AS n, 'v'::varchar(3) AS v, 'text'::text AS t, " +
    "'\\xdead'::bytea AS y, DATE '2020-01-31' AS dt, TIME '01:02:03' AS tm, " +
    "TIMESTAMP '2020-01-31 01:02:03' AS ts, NULL::int AS z FROM DUMMY";
  assert.deepStrictEqual(conn.exec(sql), [{
    i: 7, b: 9007199254740991, s: -3, f: false, d: 0.5, r: 0.25, n: '1.50', v: 'v', t: 'text',
    y: Buffer.from([0xde, 0xad]), dt: '2020-01-31', tm: '01:02:03', ts: '2020-01-31 01:02:03', z: null,
  }]);
  const info = conn.prepare(sql).getColumnInfo();
  assert.deepStrictEqual(info.map((c) => c.nativeTypeName), ['INT', 'BIGINT', 'SMALLINT', 'BOOLEAN', 'DOUBLE',
    'REAL', 'DECIMAL', 'NVARCHAR', 'TEXT', 'BLOB', 'DATE', 'TIME', 'TIMESTAMP', 'INT']);
  assert.deepStrictEqual([info[6].precision, info[6].scale], [5, 2]);
});

test('isolationLevel sets the session\'s level at connect and again when a pooled handle is reused', { skip }, () => {
  const level = (conn) => conn.exec('SHOW transaction_isolation')[0].transaction_isolation;
  const serializable = connect({ isolationLevel: 'serializable' });
  assert.strictEqual(level(serializable), 'serializable');
  serializable.disconnect();
  const pooled = { pooling: true, isolationLevel: 'REPEATABLE READ', client: 'isolation test' };
  const first = connect(pooled);
  assert.strictEqual(level(first), 'repeatable read');
  first.exec('SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL READ COMMITTED');
  first.disconnect();
  const reused = connect(pooled);
  assert.strictEqual(level(reused), 'repeatable read');
  reused.disconnect();
  reused.clearPool();
});

test('parameters of a prepared statement reach the server', { skip }, () => {
  const conn = connect();
  const stmt = conn.prepare('SELECT ?::int + 1 AS n, :name::text AS t');
  assert.deepStrictEqual(stmt.exec([41, 'zelk']), [{ n: 42, t: 'zelk' }]);
  // Whole numbers whose shortest text is an exponent must still bind as integers.
  assert.deepStrictEqual(stmt.exec([100000, '']), [{ n: 100001, t: '' }]);
  const real = conn.prepare('SELECT ?::float8 AS a, ?::float8 AS b, ?::float8 AS c, ?::int AS d');
  assert.deepStrictEqual(real.exec([NaN, -Infinity, -0, -100000]), [{ a: NaN, b: -Infinity, c: -0, d: -100000 }]);
  real.drop();
  // Bytes reach a parameter that is not bytea as text, never as the type's internal form.
  assert.deepStrictEqual(stmt.exec([Buffer.from('12'), Buffer.from('zé')]), [{ n: 13, t: 'zé' }]);
  assert.throws(() => stmt.exec([Buffer.from([0, 0, 0, 5]), 'x']), (err) => err.sqlState === '22021');
  stmt.drop();
  // Marker characters inside quotes, dollar quotes and comments are text; "::" is a cast.
  assert.deepStrictEqual(conn.exec("SELECT '?'::text || $q$:x ?$q$ || :a::text AS s, :a::int + 1 AS n -- ?\n", ['41']),
    [{ s: '?:x ?41', n: 42 }]);
});

test('server errors keep their SQLSTATE, at execute and at prepare', { skip }, () => {
  const conn = connect();
  conn.exec('CREATE TEMP TABLE uniq (a int PRIMARY KEY)');
  conn.exec('INSERT INTO uniq VALUES (1)');
  assert.throws(() => conn.exec('INSERT INTO uniq VALUES (1)'), { code: 10013, sqlState: '23505' });
  assert.throws(() => conn.prepare('SELECT * FROM no_such_table'), { sqlState: '42P01' });
});

test('column descriptions name the table and schema of table columns, and follow a rename', { skip }, () => {
  const conn = connect();
  conn.exec(`CREATE TABLE ${schema}.people (id int, full_name text)`);
  const origins = (sql) => conn.prepare(sql).getColumnInfo()
    .map((c) => [c.columnName, c.originalColumnName, c.tableName, c.ownerName]);
  for (let round = 0; round < 2; round++) {
    assert.deepStrictEqual(origins(`SELECT p.id, p.full_name AS who, p.id + 1 AS next FROM ${schema}.people p`), [
      ['id', 'id', 'people', schema], ['who', 'full_name', 'people', schema], ['next', 'next', undefined, undefined]]);
  }
  conn.exec(`ALTER TABLE ${schema}.people RENAME full_name TO given_name`);
  conn.exec(`ALTER TABLE ${schema}.people RENAME TO persons`);
  assert.deepStrictEqual(origins(`SELECT given_name FROM ${schema}.persons`),
    [['given_name', 'given_name', 'persons', schema]]);
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

// Objects of the tests below live in a schema of this process; the database is shared.
const schema = `zk80_${process.pid}`;
if (!skip) {
  test.before(() => {
    const conn = connect();
    conn.exec(`CREATE SCHEMA ${schema}`);
    conn.exec(`CREATE PROCEDURE ${schema}.proc(IN a int, INOUT b int, INOUT big text) LANGUAGE plpgsql AS $$
      BEGIN b := a + b; big := replace(big, 'a', 'Z'); END $$`);
    conn.disconnect();
  });
  test.after(() => {
    const conn = connect();
    conn.exec(`DROP SCHEMA ${schema} CASCADE`);
    conn.disconnect();
  });
}

// Reads a parameter with getData in slices of 64 KiB.
function readInSlices(stmt, index) {
  const slice = Buffer.alloc(65536);
  const parts = [];
  for (let offset = 0; ; ) {
    const n = stmt.getData(index, offset, slice, 0, slice.length);
    if (n > 0) parts.push(Buffer.from(slice.subarray(0, n)));
    offset += n;
    if (n < slice.length) return Buffer.concat(parts);
  }
}

test('CALL fills INOUT parameters, by position and by name; a large one reads back byte-equal', { skip }, () => {
  const conn = connect();
  const big = 'abcdefghij'.repeat(100000) + 'é€';
  const expected = big.replace(/a/g, 'Z');
  const positional = conn.prepare(`CALL ${schema}.proc(?, ?, ?)`);
  positional.exec([40, 2, big]);
  assert.strictEqual(positional.getParameterValue(1), 42);
  assert.strictEqual(positional.isParameterNull(1), false);
  assert.strictEqual(positional.getParameterLength(2), Buffer.byteLength(expected));
  assert.ok(readInSlices(positional, 2).equals(Buffer.from(expected)), 'the sliced read differs');
  assert.strictEqual(positional.getParameterValue(2), expected);

  positional.exec([1, null, null]);
  assert.deepStrictEqual([1, 2].map((i) => positional.isParameterNull(i)), [true, true]);
  assert.deepStrictEqual([1, 2].map((i) => positional.getParameterValue(i)), [null, null]);
  assert.strictEqual(positional.getParameterLength(2), 0);

  const named = conn.prepare(`CALL ${schema}.proc(b => ?, a => ?, big => ?)`);
  assert.deepStrictEqual(named.getParameterInfo().map((p) => p.direction), [3, 1, 3]);
  named.exec([2, 40, big]);
  assert.strictEqual(named.getParameterValue(0), 42);
  assert.strictEqual(named.getParameterValue(1), 40);
  assert.ok(readInSlices(named, 2).equals(Buffer.from(expected)), 'the sliced read by name differs');
  for (const sql of [`CALL ${schema}.proc(b => :b, a => :a, big => :big)`, `CALL ${schema}.proc(B := ?, "a" => ?, big => ?)`]) {
    const other = conn.prepare(sql);
    other.exec([2, 40, 'a']);
    assert.deepStrictEqual([0, 2].map((i) => other.getParameterValue(i)), [42, 'Z'], sql);
    other.drop();
  }
});

test('OUT parameters take no value; an INOUT text that grows beyond its input is returned whole', { skip }, () => {
  const conn = connect();
  conn.exec(`CREATE PROCEDURE ${schema}.fill(IN n int, OUT big text, OUT flag boolean) LANGUAGE plpgsql AS $$
    BEGIN big := repeat('ab', n); flag := n > 0; END $$`);
  const fill = conn.prepare(`CALL ${schema}.fill(?, ?, ?)`);
  assert.deepStrictEqual(fill.getParameterInfo().map((p) => p.direction), [1, 2, 2]);
  fill.exec([60000]);
  assert.deepStrictEqual([1, 2].map((i) => fill.getParameterValue(i)), ['ab'.repeat(60000), true]);
  fill.drop();
  conn.exec(`CREATE PROCEDURE ${schema}.grow(INOUT big text) LANGUAGE plpgsql AS $$ BEGIN big := repeat(big, 1000); END $$`);
  const stmt = conn.prepare(`CALL ${schema}.grow(?)`);
  stmt.exec(['abc']);
  assert.strictEqual(stmt.getParameterLength(0), 3000);
  assert.strictEqual(stmt.getParameterValue(0), 'abc'.repeat(1000));
  const tail = Buffer.alloc(5);
  assert.strictEqual(stmt.getData(0, 2995, tail, 0, 5), 5);
  assert.strictEqual(tail.toString(), 'bcabc');
});

test('RAISE WARNING and NOTICE become warnings with their SQLSTATE, RAISE INFO print lines', { skip }, () => {
  const conn = connect();
  const stmt = conn.prepare(`DO $$ BEGIN
    RAISE WARNING 'careful %', 1; RAISE NOTICE 'fyi';
    RAISE WARNING 'own state' USING ERRCODE = '01ZK8';
    RAISE INFO 'first line'; RAISE INFO 'second é'; END $$`);
  stmt.exec();
  const warnings = conn.getWarnings();
  assert.deepStrictEqual(warnings, [
    { code: 0, message: 'careful 1', sqlState: '01000' },
    { code: 0, message: 'fyi', sqlState: '00000' },
    { code: 0, message: 'own state', sqlState: '01ZK8' },
  ]);
  assert.deepStrictEqual(Object.keys(warnings[0]), ['code', 'message', 'sqlState']);
  assert.deepStrictEqual(conn.getWarnings(), []);
  assert.deepStrictEqual(stmt.getPrintLines(), ['first line', 'second é']);
});

test('an abort during a result set fetch fails that fetch with HY008', { skip }, async () => {
  const conn = connect();
  conn.exec(`CREATE TABLE ${schema}.n (x int, pad text)`);
  conn.exec(`INSERT INTO ${schema}.n SELECT i, repeat('p', 20000) FROM generate_series(1, 3) i`);
  const stmt = conn.prepare('SELECT x, pad, (SELECT 0 FROM pg_sleep(CASE WHEN x = 3 THEN 20 ELSE 0 END)) AS z ' +
    `FROM ${schema}.n`);
  const rs = stmt.execQuery();
  assert.strictEqual(rs.next(), true);
  assert.strictEqual(rs.getValue(0), 1);
  const start = Date.now();
  const next = () => new Promise((resolve) => rs.next((err, hasRow) => resolve({ err, hasRow })));
  const fetched = next().then((second) => (second.err ? [second] : next().then((third) => [second, third])));
  await sleep(100);
  conn.abort();
  const outcomes = await fetched;
  const failed = outcomes[outcomes.length - 1];
  assert.ok(failed.err, 'no fetch failed');
  assert.strictEqual(failed.err.sqlState, 'HY008');
  assert.ok(Date.now() - start < 10000, 'the abort did not end the fetch');
  if (outcomes.length === 2) assert.strictEqual(outcomes[0].hasRow, true);
  rs.close();
  stmt.drop();
  assert.deepStrictEqual(conn.exec('SELECT 2 AS two'), [{ two: 2 }]);
});
