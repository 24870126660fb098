'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { errorFields, driverError, connected } = require('./helpers');
const { bothBackends } = require('./backends');

function withTable(db, sql) {
  const conn = db.connect();
  conn.exec(sql);
  return conn;
}

const INVALID_ARGS = (message) => driverError(-20002, message);
const DROPPED = driverError(-20016, 'Statement is dropped');

bothBackends('positional and named parameters, re-executed with new values', (db) => {
  const conn = withTable(db, 'create table t (id integer, name varchar(20))');
  const insert = conn.prepare('insert into t values (?, ?)');
  assert.strictEqual(insert.isValid(), true);
  assert.strictEqual(insert.exec([1, 'one']), 1);
  assert.strictEqual(insert.exec([2, 'two']), 1);
  const named = conn.prepare('insert into t (id, name) values (:id, :name)');
  assert.strictEqual(named.execute({ name: 'three', id: 3 }), 1);
  const query = conn.prepare('select name from t where id = ?');
  assert.deepStrictEqual(query.exec([2]), [{ name: 'two' }]);
  assert.deepStrictEqual(query.exec([3]), [{ name: 'three' }]);
  assert.deepStrictEqual(query.exec([9], { rowsAsArray: true }), []);
  assert.strictEqual(query.functionCode(), 5);
  assert.deepStrictEqual(query.getColumnInfo().map((c) => c.columnName), ['name']);
  assert.strictEqual(query.getParameterInfo().length, 1);
});

bothBackends('argument and parameter errors', (db) => {
  const conn = withTable(db, 'create table t (id integer)');
  const stmt = conn.prepare('insert into t values (?)');
  assert.deepStrictEqual(errorFields(() => stmt.execInternal([1], undefined)),
    INVALID_ARGS("Invalid parameter for function 'exec[ute]([params][, options][, callback])'"));
  assert.deepStrictEqual(errorFields(() => stmt.exec()), INVALID_ARGS('No binding parameter(s)'));
  assert.deepStrictEqual(errorFields(() => stmt.exec([])), driverError(-20014, 'Not enough parameters for the SQL statement'));
  assert.deepStrictEqual(errorFields(() => stmt.exec([1, 2])), driverError(-20013, 'Too many parameters for the SQL statement'));
  assert.throws(() => conn.prepare(5), /Invalid parameter 0 for function 'prepare\(sql, \[callback\]\)'/);
  assert.throws(() => conn.prepare('select * from missing'));
});

bothBackends('execInternal with an array of arrays runs as a batch; row status follows', (db, t, done) => {
  const conn = withTable(db, 'create table t (id integer primary key, name varchar(10))');
  const insert = conn.prepare('insert into t values (?, ?)');
  assert.strictEqual(insert.exec([[1, 'a'], [2, null], [3, 'c']]), 3);
  assert.deepStrictEqual(insert.getRowStatus(), [1, 1, 1]);
  assert.strictEqual(insert.exec([4, 'd']), 1);
  assert.strictEqual(insert.getRowStatus(), undefined);
  const single = conn.prepare('select ? as a');
  assert.throws(() => single.exec([[1], 2]), (err) => err.code === -20007);
  assert.deepStrictEqual(conn.exec('select count(*) as n from t'), [{ n: 4 }]);
  // Execute options, meaningless for a batch, do not turn it into an error.
  assert.strictEqual(insert.exec([[6, 'f'], [7, 'g']], { rowsAsArray: true }), 2);
  insert.exec([[8, 'h']], {}, (err, count) => {
    assert.deepStrictEqual([err, count], [undefined, 1]);
    conn.disconnect(done);
  });
});

bothBackends('batch values of every kind read back as they were inserted', (db) => {
  const conn = withTable(db, `create table v (k integer, i integer, b bigint, d ${db.types.double}, s varchar(300),
    y ${db.types.binary})`);
  const rows = [
    [1, 2147483647, '9223372036854775807', -0.5, 'é€😀', Buffer.from([0, 255])],
    [2, null, null, null, null, null],
    [3, -2147483648, '-9223372036854775808', 1e300, 'x'.repeat(300), Buffer.alloc(0)],
    [4, 0, '12', 0, '', Buffer.alloc(70000, 1)],
  ];
  assert.strictEqual(conn.prepare('insert into v values (?, ?, ?, ?, ?, ?)').execBatch(rows), 4);
  // BIGINT values within 2^53 come back as numbers.
  const expected = rows.map((row) => (row[0] === 4 ? [4, 0, 12, 0, '', row[5]] : row));
  assert.deepStrictEqual(conn.exec('select * from v order by k', [], { rowsAsArray: true }), expected);
});

bothBackends('a long batch failing past its first thousand rows reports each row and changes nothing', (db) => {
  const conn = withTable(db, 'create table k (id integer primary key, v varchar(10))');
  conn.exec("insert into k values (5, 'old')");
  const insert = conn.prepare('insert into k values (?, ?)');
  const rows = Array.from({ length: 1500 }, (_, i) => [i === 1100 ? 5 : 100 + i, 'new']);
  assert.throws(() => insert.execBatch(rows), (err) => /^Batch row 1100 failed/.test(err.message));
  const status = insert.getRowStatus();
  assert.deepStrictEqual([status.length, status.slice(0, 1100).every((s) => s === 1)], [1500, true]);
  assert.ok(status.slice(1100).every((s) => s === -3));
  assert.deepStrictEqual(conn.exec('select count(*) as n from k'), [{ n: 1 }]);
  assert.strictEqual(insert.execBatch(rows.slice(0, 1100)), 1100);
});

bothBackends('batch rows must agree in shape and type', (db, t, done) => {
  const conn = withTable(db, 'create table t (a integer, b varchar(10))');
  const insert = conn.prepare('insert into t values (?, ?)');
  const shape = INVALID_ARGS("Invalid parameter 1 for function 'exec[ute]Batch([params][, callback])': " +
    'expected an array of arrays with same length.');
  const mixed = (index) => INVALID_ARGS(`Invalid parameter: 'parameter (${index})' contains different types.`);
  for (const [rows, expected] of [[[], shape], [[[1, 'a'], [2]], shape], [[[1, 'a'], 'x'], shape],
    [[[1, 'a'], [null, 'b'], [2, 3]], mixed(1)], [[['x', 'a'], [2, 3]], mixed(0)],
    // The column reported is that of the last row that mismatched.
    [[[1, 'a'], ['x', 2], [3, 4]], mixed(1)], [[[1, 'a'], [2, 3], ['x', 'b']], mixed(0)]]) {
    assert.deepStrictEqual(errorFields(() => insert.execBatch(rows)), expected, JSON.stringify(rows));
  }
  assert.strictEqual(insert.execBatch([[null, null], [1, 'b']]), 2);
  assert.deepStrictEqual(conn.exec("select a, b from t order by coalesce(b, '')"),
    [{ a: null, b: null }, { a: 1, b: 'b' }]);
  insert.execBatch([[1, 'a'], [2]], (err) => {
    assert.deepStrictEqual({ code: err.code, message: err.message, sqlState: err.sqlState }, shape);
    conn.disconnect(done);
  });
});

bothBackends('drop twice, and every handle getter refuses a dropped statement', (db) => {
  const conn = db.connect();
  const stmt = conn.prepare('select 1 as x');
  stmt.exec();
  stmt.drop();
  assert.strictEqual(stmt.isValid(), false);
  assert.strictEqual(stmt.drop(), undefined);
  for (const getter of ['functionCode', 'getColumnInfo', 'getPrintLines', 'getRowStatus', 'getServerCPUTime',
    'getServerMemoryUsage', 'getServerProcessingTime', 'getPacketSize', 'getStatementHash', 'getParameterInfo']) {
    assert.deepStrictEqual(errorFields(() => stmt[getter]()), DROPPED, getter);
  }
  assert.deepStrictEqual(errorFields(() => stmt.exec()), DROPPED);
  assert.deepStrictEqual(errorFields(() => stmt.execQuery()), DROPPED);
});

test('packet size and time-out ranges', () => {
  const conn = connected();
  const stmt = conn.prepare('select 1 as x');
  const packet = INVALID_ARGS(
    'Invalid PacketSize: the packet size should be greater than 0 and less than 2147483647.');
  assert.strictEqual(stmt.setPacketSize(0), undefined);
  stmt.setPacketSize(2147483647);
  stmt.setPacketSize(65536);
  assert.strictEqual(stmt.getPacketSize(), 65536);
  assert.deepStrictEqual(errorFields(() => stmt.setPacketSize(-1)), packet);
  assert.deepStrictEqual(errorFields(() => stmt.setPacketSize(2147483648)), packet);
  assert.deepStrictEqual(errorFields(() => stmt.setTimeout(-1)), INVALID_ARGS('Invalid timeout.'));
  assert.deepStrictEqual(errorFields(() => stmt.setTimeout('5')),
    INVALID_ARGS("Invalid parameter 0 for function 'setTimeout(timeout)': expected number, received string."));
  assert.strictEqual(stmt.setTimeout(0), undefined);
  const counted = conn.prepare('WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n LIMIT 200000) SELECT i FROM n');
  const rs = counted.execQuery();
  while (rs.next());
  assert.ok(rs.getServerProcessingTime() > 0 && rs.getServerCPUTime() > 0 && counted.getServerMemoryUsage() > 0);
  assert.match(counted.getStatementHash(), /^[0-9a-f]{32}$/);
  assert.notStrictEqual(counted.getStatementHash(), stmt.getStatementHash());
  assert.strictEqual(counted.getPacketSize(), 131072);
});

test('print lines and parameter getters', () => {
  const conn = connected();
  const stmt = conn.prepare("select zkv_print('first') as a, zkv_print(?) as b");
  assert.deepStrictEqual(errorFields(() => stmt.getParameterLength(0)),
    driverError(-20003, 'The statement has not been executed yet.'));
  assert.deepStrictEqual(conn.prepare('select :a, @b, $c, ?').getParameterInfo()
    .map((p) => [p.name, p.direction, p.nativeTypeName]), ['a', 'b', 'c', undefined].map((name) => [name, 1, 'NVARCHAR']));
  const long = 'x'.repeat(3000);
  stmt.exec([long]);
  assert.deepStrictEqual(stmt.getPrintLines(), ['first', long]);
  assert.deepStrictEqual(stmt.getPrintLines(), []);
  assert.strictEqual(stmt.getParameterLength(0), 3000);
  assert.strictEqual(stmt.isParameterNull(0), false);
  assert.deepStrictEqual(errorFields(() => stmt.isParameterNull(1)),
    driverError(-20003, 'Invalid parameter index.'));
  stmt.exec([null]);
  assert.strictEqual(stmt.isParameterNull(0), true);
  const warn = conn.prepare("select zkv_warning(7, 'w') as w");
  warn.exec();
  assert.strictEqual(warn.isValid(), true);
  assert.deepStrictEqual(conn.getWarnings(), [], 'any statement method empties the warnings');
});

bothBackends('a prepare overtaken by a disconnect, or by a disconnect and a new connect, reports -20029', async (db) => {
  const conn = db.connect();
  const pause = (ms) => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);
  for (const reconnect of [true, false]) {
    const outcome = new Promise((resolve) => conn.prepare('select 1 as x', (err, stmt) => resolve({ err, stmt })));
    // The prepare's work finishes before the disconnect marks the connection;
    // its completion can only run after this function yields.
    pause(200);
    let ended;
    if (reconnect) {
      conn.disconnect();
      // Both works finish before any completion runs: the prepare's completion
      // then finds the connection connected again, to a new session.
      ended = new Promise((resolve) => conn.connect(resolve));
      pause(300);
    } else {
      ended = new Promise((resolve) => conn.disconnect(resolve));
    }
    const { err, stmt } = await outcome;
    assert.strictEqual(await ended, undefined);
    assert.deepStrictEqual([err.code, err.message, stmt],
      [-20029, 'The connection has been disconnected and cannot be used further', undefined]);
    if (reconnect) assert.deepStrictEqual(conn.exec('SELECT 2 AS y FROM DUMMY'), [{ y: 2 }]);
  }
});

bothBackends('repeated executes follow the columns: schema changes and columns typed by their value', (db) => {
  const conn = withTable(db, 'create table t (id integer, name varchar(20))');
  conn.exec("insert into t values (1, 'one')");
  const sql = 'select * from t where id = ?';
  assert.deepStrictEqual(conn.prepare(sql).exec([1]), [{ id: 1, name: 'one' }]);
  assert.deepStrictEqual(conn.exec(sql, [1]), [{ id: 1, name: 'one' }]);
  conn.exec('alter table t add column extra integer');
  assert.deepStrictEqual(conn.prepare(sql).exec([1]), [{ id: 1, name: 'one', extra: null }]);
  assert.deepStrictEqual(conn.exec(sql, [1]), [{ id: 1, name: 'one', extra: null }]);
  conn.exec('drop table t');
  conn.exec('create table t (id integer, name integer)');
  conn.exec('insert into t values (1, 42)');
  assert.deepStrictEqual(conn.prepare(sql).exec([1]), [{ id: 1, name: 42 }]);
  assert.deepStrictEqual(conn.exec(sql, [1]), [{ id: 1, name: 42 }]);
  if (db.name === 'sqlite') {
    const byValue = conn.prepare('select ? as v');
    assert.deepStrictEqual([1, 'text', 2.5, null].map((v) => byValue.exec([v])[0].v), [1, 'text', 2.5, null]);
  }
});
