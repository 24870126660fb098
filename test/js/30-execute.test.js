'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const zelk = require('../..');
const { freshDatabase, errorFields, driverError, connected, open } = require('./helpers');
const { bothBackends } = require('./backends');

const BINARY = { fastInternalRows: true };
const COLUMNAR = { fastInternalRows: false };

// Runs the same query through both transports; they must agree exactly.
function bothTransports(conn, sql, params, options) {
  const binary = conn.exec(sql, params || [], Object.assign({}, options, BINARY));
  const columnar = conn.exec(sql, params || [], Object.assign({}, options, COLUMNAR));
  assert.deepStrictEqual(binary, columnar);
  return binary;
}

bothBackends('every type round-trips through parameters and both transports', (db) => {
  const conn = db.connect();
  conn.exec(`CREATE TABLE t (k INTEGER, i INTEGER, b BIGINT, s SMALLINT, bo BOOLEAN, d ${db.types.double}, r REAL,
    dec DECIMAL(10,2), vc VARCHAR(20), tx TEXT, bl ${db.types.binary}, da DATE, tm TIME, ts TIMESTAMP)`);
  const blob = Buffer.alloc(100000, 7);
  const rows = [
    [1, 2147483647, '9223372036854775807', 32767, true, 1.5, 0.5, '12.34', 'héllo wörld', 'x'.repeat(70000) + '€',
      blob, '2024-02-29', '23:59:59', '2024-02-29 23:59:59.123456'],
    [2, -2147483648, '-9223372036854775808', -32768, false, -1e308, -0.25, '-0.01', '', '', Buffer.alloc(0),
      '0001-01-01', '00:00:00', '1970-01-01 00:00:00'],
    [3].concat(Array(13).fill(null)),
  ];
  for (const row of rows) {
    assert.strictEqual(conn.exec(`INSERT INTO t VALUES (${Array(14).fill('?').join(',')})`, row), 1);
  }
  const got = bothTransports(conn, 'SELECT * FROM t ORDER BY k');
  // SQLite keeps a decimal as the double it converted it to.
  const decimal = (text) => (db.name === 'sqlite' ? Number(text) : text);
  assert.deepStrictEqual(got[0], {
    k: 1, i: 2147483647, b: '9223372036854775807', s: 32767, bo: true, d: 1.5, r: 0.5, dec: decimal('12.34'),
    vc: 'héllo wörld', tx: 'x'.repeat(70000) + '€', bl: blob, da: '2024-02-29', tm: '23:59:59',
    ts: '2024-02-29 23:59:59.123456',
  });
  assert.deepStrictEqual(got[1], {
    k: 2, i: -2147483648, b: '-9223372036854775808', s: -32768, bo: false, d: -1e308, r: -0.25,
    dec: decimal('-0.01'), vc: '', tx: '', bl: Buffer.alloc(0), da: '0001-01-01', tm: '00:00:00', ts: '1970-01-01 00:00:00',
  });
  assert.ok(Object.entries(got[2]).every(([key, v]) => key === 'k' || v === null));
});

bothBackends('64-bit integers are numbers up to 2^53 - 1 and exact strings beyond', (db) => {
  const conn = db.connect();
  const got = bothTransports(conn,
    'SELECT 9007199254740991 AS a, 9007199254740992 AS b, -9007199254740992 AS c, 2147483648 AS d, ' +
    '-2147483648 AS e, -9007199254740991 AS f FROM DUMMY');
  assert.deepStrictEqual(got, [{
    a: 9007199254740991, b: '9007199254740992', c: '-9007199254740992', d: 2147483648, e: -2147483648,
    f: -9007199254740991,
  }]);
});

bothBackends('result shapes: duplicate names, rowsAsArray, nestTables, counts and DDL', (db) => {
  const conn = db.connect();
  assert.strictEqual(conn.exec('CREATE TABLE t1 (id INTEGER, v VARCHAR(5))'), undefined);
  conn.exec('CREATE TABLE t2 (id INTEGER, w VARCHAR(5))');
  assert.strictEqual(conn.exec("INSERT INTO t1 VALUES (1, 'a'), (2, 'b')"), 2);
  conn.exec("INSERT INTO t2 VALUES (1, 'x')");
  assert.strictEqual(conn.exec('UPDATE t1 SET v = v WHERE id > 5'), 0);
  assert.deepStrictEqual(bothTransports(conn, 'SELECT 1 AS "A", 2 AS "A", 3 AS "B", 4 AS "A" FROM DUMMY'),
    [{ A: 1, 'A:2': 2, B: 3, 'A:3': 4 }]);
  const [proto] = bothTransports(conn, 'SELECT 1 AS "__proto__" FROM DUMMY');
  assert.deepStrictEqual(Object.keys(proto), ['__proto__']);
  assert.strictEqual(Object.getPrototypeOf(proto), Object.prototype);
  assert.deepStrictEqual(bothTransports(conn, 'SELECT 1 AS a, 2 AS a FROM DUMMY', [], { rowsAsArray: true }),
    [[1, 2]]);
  const nested = bothTransports(conn,
    'SELECT t1.id, t2.id, t1.v, 7 AS extra FROM t1 JOIN t2 ON t1.id = t2.id ORDER BY t1.id', [], { nestTables: true });
  assert.deepStrictEqual(nested, [{ t1: { id: 1, v: 'a' }, t2: { id: 1 }, extra: 7 }]);
  assert.deepStrictEqual(bothTransports(conn, 'SELECT id FROM t1 WHERE id > 5'), []);
});

bothBackends('execute options: names in any case, on only for the text "true"', (db) => {
  const conn = db.connect();
  conn.exec('CREATE TABLE t1 (id INTEGER)');
  conn.exec('INSERT INTO t1 VALUES (1)');
  const sql = 'SELECT id, 2 AS x FROM t1';
  assert.deepStrictEqual(bothTransports(conn, sql, [], { rowsAsArray: 1 }), [{ id: 1, x: 2 }]);
  assert.deepStrictEqual(bothTransports(conn, sql, [], { rowsAsArray: 'yes' }), [{ id: 1, x: 2 }]);
  assert.deepStrictEqual(bothTransports(conn, sql, [], { ROWSASARRAY: 'True' }), [[1, 2]]);
  assert.deepStrictEqual(bothTransports(conn, sql, [], { NESTTABLES: 'TRUE' }), [{ t1: { id: 1 }, x: 2 }]);
  assert.deepStrictEqual(conn.exec(sql, [], { rowsasarray: true, fastinternalrows: 'false' }), [[1, 2]]);
});

bothBackends('the binary transport keeps to resultSetArrayLimitMB', (db) => {
  const conn = db.connect({ resultSetArrayLimitMB: 1 });
  const sql = "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 200000) SELECT x, 'padding' AS p FROM n";
  assert.deepStrictEqual(errorFields(() => conn.exec(sql)),
    driverError(-20024, 'Result set data size was larger than resultSetArrayLimitMB'));
  assert.strictEqual(conn.exec(sql, [], COLUMNAR).length, 200000);
});

bothBackends('a million rows arrive whole through both transports', async (db) => {
  const conn = db.connect();
  conn.setRowSetSize(1000);
  const sql = 'WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 1000000) SELECT x FROM n';
  for (const options of [BINARY, COLUMNAR]) {
    const rows = await new Promise((resolve, reject) =>
      conn.exec(sql, [], options, (err, r) => (err ? reject(err) : resolve(r))));
    assert.strictEqual(rows.length, 1000000);
    assert.deepStrictEqual(rows[999999], { x: 1000000 });
  }
});

test('exec argument errors, thrown or passed to the callback', async () => {
  const conn = connected();
  const expected = driverError(-20002, "Invalid parameter for function 'exec[ute](sql[, params][, options][, callback])'");
  assert.deepStrictEqual(errorFields(() => conn.execInternal('SELECT 1 FROM DUMMY', [], {})), expected);
  assert.deepStrictEqual(errorFields(() => conn.execInternal('SELECT 1 FROM DUMMY', 5, {}, undefined)), expected);
  const err = await new Promise((resolve) => conn.execInternal(5, [], {}, (e) => resolve(e)));
  assert.deepStrictEqual({ code: err.code, message: err.message, sqlState: err.sqlState }, expected);
  conn.disconnect();
  assert.deepStrictEqual(errorFields(() => conn.exec('SELECT 1 FROM DUMMY')), driverError(-20001, 'Invalid Object'));
});

// Each call starts clean: nothing of the previous call's parameters, options
// or failure reaches the next, through every accepted argument form.
test('exec forms agree and a call keeps nothing of the one before', async () => {
  const conn = connected();
  const stmt = conn.prepare('SELECT ? AS a, ? AS b FROM DUMMY');
  const call = (target, ...args) => new Promise((resolve, reject) =>
    target.exec(...args, (err, rows) => (err ? reject(err) : resolve(rows))));
  const row = [{ a: 1, b: 'x' }];
  assert.deepStrictEqual(conn.exec('SELECT 1 AS a, \'x\' AS b FROM DUMMY'), row);
  assert.deepStrictEqual(await call(conn, 'SELECT 1 AS a, \'x\' AS b FROM DUMMY'), row);
  assert.deepStrictEqual(conn.exec('SELECT ? AS a, ? AS b FROM DUMMY', [1, 'x'], { rowsAsArray: true }), [[1, 'x']]);
  assert.deepStrictEqual(await call(conn, 'SELECT ? AS a, ? AS b FROM DUMMY', [1, 'x']), row);
  assert.deepStrictEqual(await call(stmt, [2, 'y'], { rowsAsArray: true }), [[2, 'y']]);
  await assert.rejects(call(stmt, [3]), { code: -20014 });
  assert.deepStrictEqual(stmt.exec([5, null]), [{ a: 5, b: null }]);
  const big = 'w'.repeat(100000);
  assert.deepStrictEqual(await call(stmt, [6, big]), [{ a: 6, b: big }]);
  assert.deepStrictEqual(await call(stmt, [7, 'v']), [{ a: 7, b: 'v' }]);
});

test('database errors carry the library code, message and SQLSTATE', () => {
  const conn = connected();
  conn.exec("CREATE TABLE u (k INTEGER PRIMARY KEY, v TEXT NOT NULL); INSERT INTO u VALUES (1, 'a')");
  for (const [sql, sqlState] of [["INSERT INTO u VALUES (1, 'b')", '23000'], ['INSERT INTO u VALUES (2, NULL)', '23000'],
    ['SELEC 1', '42000'], ['SELECT nope FROM u', '42S22'], ['CREATE TABLE u (x)', '42S01'], ['SELECT * FROM nowhere', '42S02']]) {
    const err = errorFields(() => conn.exec(sql));
    assert.strictEqual(err.sqlState, sqlState, sql);
    assert.ok(err.code > 0 && err.message.length > 0, sql);
  }
  assert.strictEqual(errorFields(() => conn.exec('SELECT ? FROM DUMMY', [{}])).message,
    'Can not bind parameter(0).');
});

test('a repeated text follows the table it reads through ALTER and DROP', () => {
  const conn = connected();
  conn.exec('CREATE TABLE g (a INTEGER)');
  assert.deepStrictEqual(conn.exec('SELECT * FROM g'), []);
  // Prepared before a change and never run since, it is prepared again.
  const unrun = conn.prepare('SELECT * FROM g');
  conn.exec('ALTER TABLE g ADD COLUMN c TEXT');
  unrun.drop();
  assert.deepStrictEqual(conn.prepare('SELECT * FROM g').getColumnInfo().map((c) => c.columnName), ['a', 'c']);
  conn.exec('DROP TABLE g');
  const gone = errorFields(() => conn.exec('SELECT * FROM g'));
  assert.match(gone.message, /no such table/);
  assert.strictEqual(gone.sqlState, '42S02');
});

// Fetch buffers of wide columns in large row sets are made for each call,
// small ones are kept between calls: both must read every row of every call.
test('repeated executes read the same rows with kept and unkept fetch buffers', () => {
  const conn = connected();
  conn.exec('CREATE TABLE w (id INTEGER, wide VARCHAR(8000), narrow VARCHAR(8))');
  const insert = conn.prepare('INSERT INTO w VALUES (?, ?, ?)');
  insert.execBatch(Array.from({ length: 300 }, (_, i) => [i, String(i).repeat(1 + (i % 50)), 'n' + i]));
  const expected = conn.exec('SELECT id, wide, narrow FROM w ORDER BY id');
  for (const rowSetSize of [1, 250, 1]) {
    conn.setRowSetSize(rowSetSize);
    const wide = conn.prepare('SELECT id, wide, narrow FROM w ORDER BY id');
    for (let i = 0; i < 2; i++) {
      assert.deepStrictEqual(conn.exec('SELECT id, wide, narrow FROM w ORDER BY id'), expected);
      assert.deepStrictEqual(wide.exec(), expected);
      assert.deepStrictEqual(conn.exec('SELECT id, narrow FROM w ORDER BY id'), expected.map(({ id, narrow }) => ({ id, narrow })));
    }
    wide.drop();
  }
});

test('a reused text starts over, serves two live result sets apart, and leaves with the connection', () => {
  for (const statementCacheSize of [undefined, 0, 1]) {
    const file = freshDatabase();
    const conn = open(Object.assign({ databaseName: file }, statementCacheSize === undefined ? {} : { statementCacheSize }));
    conn.exec('CREATE TABLE t (id INTEGER); INSERT INTO t VALUES (1), (2), (3)');
    const onFirstRow = (sql) => {
      const stmt = conn.prepare(sql);
      const rs = stmt.execQuery();
      rs.next();
      return { stmt, rs, value: rs.getValue(0) };
    };
    for (let round = 0; round < 3; round++) {
      for (const [sql, value] of [['SELECT id FROM t ORDER BY id', 1], ['SELECT count(*) AS n FROM t', 3]]) {
        const read = onFirstRow(sql);
        assert.strictEqual(read.value, value, `${sql}, cache ${statementCacheSize}`);
        read.stmt.drop();
      }
    }
    const [a, b] = [onFirstRow('SELECT id FROM t ORDER BY id'), onFirstRow('SELECT id FROM t ORDER BY id')];
    assert.ok(a.rs.next() && b.rs.next());
    assert.deepStrictEqual([a.value, b.value, a.rs.getValue(0), b.rs.getValue(0)], [1, 1, 2, 2]);
    // A table a rollback removed is gone for the text that read it.
    conn.setAutoCommit(false);
    conn.exec('CREATE TABLE r (a INTEGER)');
    conn.exec('SELECT a FROM r');
    conn.rollback();
    assert.throws(() => conn.exec('SELECT a FROM r'), { sqlState: '42S02' });
    conn.disconnect();
    // SQLite removes its write-ahead log only once no statement is left open.
    assert.strictEqual(fs.existsSync(`${file}-wal`), false);
  }
});

bothBackends('a failure in the middle of the rows fails the exec instead of returning the rows before it', (db) => {
  const conn = db.connect();
  const stmt = conn.prepare('WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 1000) ' +
    `SELECT x, ${db.sleepValue('CASE WHEN x = 500 THEN 5000 ELSE 0 END')} AS z FROM n`);
  stmt.setTimeout(1);
  for (const rowSetSize of [1, 64]) {
    conn.setRowSetSize(rowSetSize);
    for (const options of [BINARY, COLUMNAR]) {
      assert.throws(() => stmt.exec([], options), (err) => err.sqlState === 'HYT00', `row set ${rowSetSize}`);
    }
  }
});

bothBackends('statements after a query in one text run, and their failure is the exec\'s', (db) => {
  const conn = db.connect();
  conn.exec('CREATE TABLE m (v INTEGER PRIMARY KEY)');
  assert.deepStrictEqual(conn.exec('SELECT 1 AS a FROM DUMMY; INSERT INTO m VALUES (1); INSERT INTO m VALUES (2)'),
    [{ a: 1 }]);
  assert.deepStrictEqual(conn.exec('SELECT v FROM m ORDER BY v'), [{ v: 1 }, { v: 2 }]);
  assert.throws(() => conn.exec('SELECT 1 AS a FROM DUMMY; INSERT INTO m VALUES (2)'), (err) => err.code > 0);
});

bothBackends('named parameters bind by name', (db) => {
  const conn = db.connect();
  assert.deepStrictEqual(conn.exec('SELECT CAST(:b AS VARCHAR(5)) AS b, CAST(:a AS INTEGER) AS a FROM DUMMY',
    { a: 1, b: 'two', extra: 3 }),
    [{ b: 'two', a: 1 }]);
  assert.strictEqual(errorFields(() => conn.exec('SELECT :a AS a, :c AS c FROM DUMMY', { a: 1 })).code, -20007);
});

test('abort and a time-out end a query that never sleeps', async () => {
  const conn = connected();
  const endless = 'WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) AS c FROM n';
  const pending = new Promise((resolve) => conn.exec(endless, (e) => resolve(e)));
  await new Promise((resolve) => setTimeout(resolve, 200));
  conn.abort();
  assert.strictEqual((await pending).sqlState, 'HY008');
  const timed = conn.prepare(endless);
  timed.setTimeout(1);
  assert.throws(() => timed.exec(), (err) => err.sqlState === 'HYT00' && /timed out/.test(err.message));
});

bothBackends('disconnect fails the queued executes and lets the running one finish', async (db) => {
  const conn = db.connect();
  const results = [];
  const record = (name) => new Promise((resolve) =>
    conn.exec(name === 'running' ? db.sleep(300) : 'SELECT 1 AS x FROM DUMMY',
      (err, rows) => { results.push([name, err ? err.code : rows.length]); resolve(); }));
  const all = [record('running')];
  await new Promise((resolve) => setTimeout(resolve, 50));
  all.push(record('queued-1'), record('queued-2'));
  all.push(new Promise((resolve) => conn.disconnect(resolve)));
  await Promise.all(all);
  assert.deepStrictEqual(results, [['running', 1], ['queued-1', -20006], ['queued-2', -20006]]);
});

bothBackends('trace text reaches the callback unaltered, in chunks that end on characters, until switched off', (db) => {
  const conn = zelk.createConnection();
  const chunks = [];
  conn.onTrace('statements', (text) => chunks.push(text));
  conn.connect(db.params());
  // "SELECT '" is 8 bytes: the 3-byte character starts at byte 4095.
  const text = 'a'.repeat(4087) + '€' + 'b'.repeat(5000);
  conn.exec(`SELECT '${text}' AS t FROM DUMMY`);
  assert.ok(chunks.length > 1 && chunks.every((chunk) => !chunk.includes('\uFFFD')));
  assert.match(chunks.join(''), new RegExp(`SELECT '${text}' AS t FROM DUMMY -- \\d+ us\n`));
  conn.onTrace(null, null);
  chunks.length = 0;
  conn.exec('SELECT 2 AS t FROM DUMMY');
  assert.deepStrictEqual(chunks, []);
  conn.disconnect();
});

test('warnings are reported once', () => {
  const conn = connected();
  conn.exec("SELECT zkv_warning(1234, 'careful') AS w FROM DUMMY");
  assert.deepStrictEqual(conn.getWarnings(), [{ code: 1234, message: 'careful', sqlState: '01000' }]);
  assert.deepStrictEqual(conn.getWarnings(), []);
  conn.exec("SELECT zkv_warning(1, 'again') AS w FROM DUMMY");
  conn.getAutoCommit();
  assert.deepStrictEqual(conn.getWarnings(), []);
});

bothBackends('client information set before connect is kept and can be removed', (db) => {
  const conn = zelk.createConnection();
  conn.setClientInfo('APPLICATION', 'tests');
  conn.connect(db.params());
  assert.strictEqual(conn.getClientInfo('APPLICATION'), 'tests');
  if (db.name === 'postgres') {
    assert.deepStrictEqual(conn.exec("SELECT current_setting('application_name') AS a"), [{ a: 'tests' }]);
  }
  assert.strictEqual(conn.getClientInfo('MISSING'), null);
  conn.setClientInfo('APPLICATION', null);
  assert.strictEqual(conn.getClientInfo('APPLICATION'), null);
  conn.disconnect();
  assert.strictEqual(errorFields(() => conn.getClientInfo('APPLICATION')).code, -20006);
});

bothBackends('a large binary result is decoded in slices with the event loop running in between', async (db) => {
  const { decode, decodeAsync } = require('../../lib/decoder');
  const conn = db.connect();
  const buffer = conn.execInternal(
    "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 300000) SELECT x, 'r' || x AS s FROM n",
    [], {}, undefined);
  assert.ok(Buffer.isBuffer(buffer));
  let ticks = 0;
  let ticking = true;
  const tick = () => { ticks++; if (ticking) setImmediate(tick); };
  setImmediate(tick);
  const rows = await new Promise((resolve, reject) =>
    decodeAsync(buffer, {}, (err, r) => (err ? reject(err) : resolve(r))));
  ticking = false;
  assert.ok(ticks > 0);
  assert.deepStrictEqual(rows, decode(buffer, {}));
  const broken = await new Promise((resolve) => decodeAsync(buffer.subarray(0, 100), {}, resolve));
  assert.match(broken.message, /^Malformed result buffer:/);
});
