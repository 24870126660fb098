'use strict';
const assert = require('node:assert');
const { errorFields, driverError } = require('./helpers');
const { bothBackends } = require('./backends');

function seeded(db, rows) {
  const conn = db.connect();
  conn.exec(`create table t (id integer, name varchar(20), score ${db.types.double}, data ${db.types.binary})`);
  const insert = conn.prepare('insert into t values (?, ?, ?, ?)');
  insert.execBatch(rows);
  insert.drop();
  return conn;
}

const ROWS = [
  [1, 'one', 1.5, Buffer.from([1, 2, 3])],
  [2, null, -2, null],
  [3, 'three', 0, Buffer.alloc(0)],
];
const CLOSED = driverError(-20015, 'ResultSet is closed');

bothBackends('walking with next gives the rows of exec, as objects and as arrays', (db) => {
  const conn = seeded(db, ROWS);
  const stmt = conn.prepare('select id, name, score, data from t order by id');
  const expected = stmt.exec();
  const rs = stmt.execQuery();
  assert.strictEqual(rs.getColumnCount(), 4);
  assert.strictEqual(rs.getColumnName(1), 'name');
  assert.deepStrictEqual(rs.getColumnInfo().map((c) => c.columnName), ['id', 'name', 'score', 'data']);
  const walked = [];
  while (rs.next()) {
    const row = rs.getValues();
    assert.deepStrictEqual(rs.getValues({ asArray: true }), Object.values(row));
    assert.strictEqual(rs.getValue(0), row.id);
    assert.strictEqual(rs.isNull(1), row.name === null);
    walked.push(row);
  }
  assert.deepStrictEqual(walked, expected);
  assert.strictEqual(rs.next(), false);
  rs.close();
  const noColumns = conn.prepare('delete from t where id = 99').execQuery();
  assert.strictEqual(noColumns.getColumnCount(), 0);
  assert.strictEqual(noColumns.next(), false);
});

bothBackends('nextResult walks several results', (db) => {
  const conn = seeded(db, ROWS);
  const rs = conn.prepare('select id from t order by id; select name, score from t where id = 3; select 9 as z')
    .execQuery();
  const results = [];
  do {
    const rows = [];
    while (rs.next()) rows.push(rs.getValues());
    results.push(rows);
  } while (rs.nextResult());
  assert.deepStrictEqual(results, [[{ id: 1 }, { id: 2 }, { id: 3 }], [{ name: 'three', score: 0 }], [{ z: 9 }]]);
  assert.strictEqual(rs.hasNextResult(), false);
});

bothBackends('a result set read in part survives other statements on its connection', (db) => {
  const conn = db.connect();
  const rs = conn.prepare('WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 50000) SELECT x FROM n')
    .execQuery();
  let sum = 0;
  for (let k = 0; k < 10 && rs.next(); k++) sum += rs.getValue(0);
  conn.exec('CREATE TABLE side (a INTEGER)');
  conn.exec('INSERT INTO side VALUES (1)');
  while (rs.next()) sum += rs.getValue(0);
  assert.strictEqual(sum, 50000 * 50001 / 2);
  rs.close();
  assert.deepStrictEqual(conn.exec('SELECT count(*) AS n FROM side'), [{ n: 1 }]);
});

bothBackends('execQuery while a result set is open fails with -20020 until it is closed', (db) => {
  const conn = seeded(db, ROWS);
  const stmt = conn.prepare('select id from t');
  const rs = stmt.execQuery();
  assert.deepStrictEqual(errorFields(() => stmt.execQuery()),
    driverError(-20020, 'There is already an open ResultSet associated with this Statement which must be closed first.'));
  rs.close();
  assert.strictEqual(rs.isClosed(), true);
  for (const call of [() => rs.next(), () => rs.getValues(), () => rs.getValue(0), () => rs.getColumnCount()]) {
    assert.deepStrictEqual(errorFields(call), CLOSED);
  }
  assert.strictEqual(rs.getColumnName(0), undefined);
  const again = stmt.execQuery();
  assert.ok(again.next());
});

bothBackends('getData checks its length and target size and copies to the offset', (db) => {
  const conn = seeded(db, ROWS);
  const rs = conn.prepare('select id, data from t where id = 1').execQuery();
  rs.next();
  const arg = (message) => driverError(-20002, message);
  assert.deepStrictEqual(errorFields(() => rs.getData(1, 0, Buffer.alloc(4), 0, 0)), arg('Invalid length.'));
  assert.deepStrictEqual(errorFields(() => rs.getData(1, 0, Buffer.alloc(15), 8, 8)),
    arg('getData buffer is not large enough to copy length bytes to bufferOffset.'));
  const target = Buffer.alloc(16);
  assert.strictEqual(rs.getData(1, 0, target, 8, 8), 3);
  assert.deepStrictEqual([...target.subarray(8, 11)], [1, 2, 3]);
  assert.strictEqual(rs.getValueLength(1), 3);
});

bothBackends('bound one-row fetch gives the same values and delivers callbacks asynchronously', (db, t, done) => {
  const conn = db.connect({ _resultSetCanBind: true });
  conn.exec('create table t (id integer, name varchar(20))');
  conn.exec("insert into t values (1, 'a'), (2, 'b'), (2, null)");
  const rs = conn.prepare("select id, name, id as id from t order by id, coalesce(name, '')").execQuery();
  const rows = [];
  while (rs.next()) rows.push(rs.getValues());
  assert.deepStrictEqual(rows, [{ id: 1, name: 'a', 'id:2': 1 }, { id: 2, name: null, 'id:2': 2 },
    { id: 2, name: 'b', 'id:2': 2 }]);
  const rs2 = conn.prepare('select name from t where id = 1').execQuery();
  rs2.next();
  let returned = false;
  rs2.getValue(0, (err, value) => {
    assert.ok(returned, 'not called before getValue returned');
    assert.strictEqual(value, 'a');
    conn.disconnect(done);
  });
  returned = true;
});
