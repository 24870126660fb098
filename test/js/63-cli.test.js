'use strict';
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, tmpDir, freshDatabase } = require('./helpers');
const { splitStatements, formatCsv } = require('../../bin/zelk-sql');

const CLI = path.join(root, 'bin', 'zelk-sql.js');

function zelkSql(args, input) {
  const run = spawnSync(process.execPath, [CLI, ...args], { cwd: tmpDir, input: input || '', encoding: 'utf8' });
  return { status: run.status, stdout: run.stdout, stderr: run.stderr };
}

test('zelk-sql creates, inserts and selects on a fresh database file, printing a table', () => {
  const db = freshDatabase();
  const created = zelkSql(['--database', db, "CREATE TABLE t (id INTEGER, name VARCHAR(20)); INSERT INTO t VALUES (1, 'one'), (20, 'twenty')"]);
  assert.strictEqual(created.status, 0, created.stderr);
  assert.match(created.stderr, /\(2 rows affected, [\d.]+ ms\)/);
  assert.ok(fs.existsSync(db));

  const selected = zelkSql(['-d', db, 'SELECT id, name, NULL AS note FROM t ORDER BY id']);
  assert.strictEqual(selected.status, 0, selected.stderr);
  assert.strictEqual(selected.stdout, [
    'id | name   | note',
    '---+--------+-----',
    ' 1 | one    | NULL',
    '20 | twenty | NULL',
    '',
  ].join('\n'));
  assert.match(selected.stderr, /^\(2 rows, [\d.]+ ms\)$/m);
});

test('zelk-sql prints JSON and CSV on request, and an empty result keeps its columns', () => {
  const db = freshDatabase();
  zelkSql(['-d', db, "CREATE TABLE t (id INTEGER, name VARCHAR(20)); INSERT INTO t VALUES (1, 'a,\"b')"]);
  const json = zelkSql(['-d', db, '--json', '--no-timing', 'SELECT id, name FROM t']);
  assert.strictEqual(json.status, 0, json.stderr);
  assert.deepStrictEqual(JSON.parse(json.stdout), [{ id: 1, name: 'a,"b' }]);
  assert.strictEqual(json.stderr, '');
  const csv = zelkSql(['-c', `databaseName=${db}`, '--format', 'csv', 'SELECT id, name FROM t']);
  assert.strictEqual(csv.stdout, 'id,name\r\n1,"a,""b"\n');
  const empty = zelkSql(['-d', db, 'SELECT id, name FROM t WHERE id < 0']);
  assert.strictEqual(empty.stdout, 'id | name\n---+-----\n');
});

test('a syntax error gives a clear message and a non-zero exit status, and stops the script', () => {
  const db = freshDatabase();
  const run = zelkSql(['-d', db, 'CREATE TABLE t (id INTEGER); SELEKT 1; INSERT INTO t VALUES (1)']);
  assert.strictEqual(run.status, 1);
  assert.match(run.stderr, /^Error \d+ \(SQLSTATE 42000\): near "SELEKT": syntax error$/m);
  const after = zelkSql(['-d', db, '--json', 'SELECT COUNT(*) AS n FROM t']);
  assert.deepStrictEqual(JSON.parse(after.stdout), [{ n: 0 }]);

  const usage = zelkSql(['--format', 'xml', 'SELECT 1']);
  assert.strictEqual(usage.status, 2);
  assert.match(usage.stderr, /unknown format "xml"/);
});

test('zelk-sql reads a script from a file or from standard input; the default is in memory', () => {
  const script = path.join(tmpDir, `script-${process.pid}.sql`);
  fs.writeFileSync(script, "-- a comment; not a statement\nCREATE TABLE t (s VARCHAR(9));\nINSERT INTO t VALUES ('x;y');\n/* ; */ SELECT s FROM t;\n");
  const fromFile = zelkSql(['-f', script, '--json']);
  assert.strictEqual(fromFile.status, 0, fromFile.stderr);
  assert.deepStrictEqual(JSON.parse(fromFile.stdout), [{ s: 'x;y' }]);
  const fromStdin = zelkSql(['--csv'], "SELECT 'in' AS via FROM DUMMY;\nSELECT 2 AS two FROM DUMMY");
  assert.strictEqual(fromStdin.stdout, 'via\r\nin\ntwo\r\n2\n');
});

test('statements split at semicolons outside quotes and comments', () => {
  assert.deepStrictEqual(splitStatements("SELECT ';' FROM a; SELECT \"x;\" -- ;\n; /* ; */ tail"), {
    statements: ["SELECT ';' FROM a", ' SELECT "x;" -- ;\n'],
    rest: ' /* ; */ tail',
  });
  assert.deepStrictEqual(splitStatements("SELECT 'open; quote"), { statements: [], rest: "SELECT 'open; quote" });
  assert.strictEqual(formatCsv(['a', 'b'], [[null, Buffer.from([1, 255])]]), 'a,b\r\n,01ff');
});
