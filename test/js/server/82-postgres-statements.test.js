'use strict';
// Server statements kept per session for their text: reuse, and what ends it.
const test = require('node:test');
const assert = require('node:assert');

const { serverSkip: skip, connectServer: connect } = require('../backends');

// The session's server statements whose text contains the fragment.
function statementsLike(conn, fragment) {
  return conn.exec('SELECT statement FROM pg_prepared_statements WHERE strpos(statement, ?) > 0 ORDER BY name',
    [fragment]).length;
}

test('executing a text again reuses its server statement; DDL, SET and DISCARD end the reuse', { skip }, () => {
  const conn = connect();
  conn.exec('CREATE TEMP TABLE kept (a int)');
  conn.exec('INSERT INTO kept VALUES (1), (2)');
  const select = 'SELECT * FROM kept WHERE a = ?';
  for (let i = 0; i < 3; i++) assert.deepStrictEqual(conn.exec(select, [1]), [{ a: 1 }]);
  const prepared = conn.prepare(select);
  assert.deepStrictEqual(prepared.exec([2]), [{ a: 2 }]);
  prepared.drop();
  assert.strictEqual(statementsLike(conn, 'FROM kept WHERE'), 1);

  conn.exec('ALTER TABLE kept ADD COLUMN b int DEFAULT 5');
  assert.deepStrictEqual(conn.exec(select, [2]), [{ a: 2, b: 5 }]);
  assert.strictEqual(statementsLike(conn, 'FROM kept WHERE'), 1, 'the statement of the old columns is deallocated');

  // A rollback brings the old columns back.
  conn.setAutoCommit(false);
  conn.exec('ALTER TABLE kept ADD COLUMN c int DEFAULT 6');
  assert.deepStrictEqual(conn.exec(select, [2]), [{ a: 2, b: 5, c: 6 }]);
  conn.rollback();
  assert.deepStrictEqual(conn.exec(select, [2]), [{ a: 2, b: 5 }]);
  conn.setAutoCommit(true);

  conn.exec("SET search_path = pg_temp, public");
  assert.deepStrictEqual(conn.exec(select, [2]), [{ a: 2, b: 5 }]);
  conn.exec('DISCARD PLANS');
  conn.exec('DEALLOCATE ALL');
  assert.deepStrictEqual(conn.exec(select, [1]), [{ a: 1, b: 5 }]);
  conn.exec('SELECT 1 FROM DUMMY');
  assert.strictEqual(statementsLike(conn, 'FROM kept WHERE'), 1);
});

test('a kept statement whose table another session changed is prepared again outside a transaction', { skip }, () => {
  const table = `kept_${process.pid}`;
  const conn = connect();
  const other = connect();
  conn.exec(`CREATE TABLE ${table} (a int)`);
  try {
    conn.exec(`INSERT INTO ${table} VALUES (1)`);
    const select = `SELECT * FROM ${table} WHERE a = ?`;
    assert.deepStrictEqual(conn.exec(select, [1]), [{ a: 1 }]);
    other.exec(`ALTER TABLE ${table} ADD COLUMN b int DEFAULT 7`);
    assert.deepStrictEqual(conn.exec(select, [1]), [{ a: 1, b: 7 }]);

    // Inside a transaction the failed statement has already ended it.
    other.exec(`ALTER TABLE ${table} ADD COLUMN c int DEFAULT 8`);
    conn.setAutoCommit(false);
    assert.throws(() => conn.exec(select, [1]), (err) => err.sqlState === '0A000' && /result type/.test(err.message));
    conn.rollback();
    assert.deepStrictEqual(conn.exec(select, [1]), [{ a: 1, b: 7, c: 8 }]);
    conn.commit();
  } finally {
    conn.setAutoCommit(true);
    other.exec(`DROP TABLE ${table}`);
    conn.disconnect();
    other.disconnect();
  }
});

test('the least recently used texts give up their server statements', { skip }, () => {
  const conn = connect();
  for (let i = 0; i < 150; i++) assert.deepStrictEqual(conn.exec(`SELECT ${i} + ? AS v FROM DUMMY`, [1]), [{ v: i + 1 }]);
  conn.exec('SELECT 1 FROM DUMMY');
  const kept = conn.exec('SELECT count(*)::int AS n FROM pg_prepared_statements')[0].n;
  assert.ok(kept <= 101, `${kept} server statements kept`);
  assert.deepStrictEqual(conn.exec('SELECT 0 + ? AS v FROM DUMMY', [5]), [{ v: 5 }]);
});
