'use strict';
// Hostile text reaches the database as data: parameters, client information,
// schema names and connection properties never become SQL or new properties.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const zelk = require('../..');
const { freshDatabase, tmpDir, open: openTarget } = require('./helpers');

const HOSTILE = [
  "'; DROP TABLE T; --",
  "' OR '1'='1",
  '"; DELETE FROM T; --',
  'x\u0000y',
  '?, ?); DROP TABLE T; --',
  ':name',
  '{}};=;\'"',
  'Ω😀\\\'',
];

const open = (file) => openTarget({ databaseName: file || freshDatabase() });

test('hostile parameter strings are stored and matched as data', () => {
  const conn = open();
  conn.exec('CREATE TABLE T (ID INTEGER, V VARCHAR(100))');
  HOSTILE.forEach((text, i) => conn.exec('INSERT INTO T VALUES (?, ?)', [i, text]));
  const stmt = conn.prepare('SELECT ID FROM T WHERE V = ?');
  HOSTILE.forEach((text, i) => assert.deepStrictEqual(stmt.exec([text]), [{ ID: i }], JSON.stringify(text)));
  assert.deepStrictEqual(conn.exec('SELECT V FROM T ORDER BY ID').map((r) => r.V), HOSTILE);
  conn.prepare('UPDATE T SET V = ? WHERE ID = ?').execBatch(HOSTILE.map((text, i) => [text + text, i]));
  assert.deepStrictEqual(conn.exec('SELECT V FROM T ORDER BY ID').map((r) => r.V), HOSTILE.map((t) => t + t));
});

test('hostile client information keys and values read back unchanged', () => {
  const conn = open();
  conn.exec('CREATE TABLE T (ID INTEGER)');
  for (const text of HOSTILE.filter((t) => !t.includes('\u0000'))) {
    conn.setClientInfo(text, text);
    assert.strictEqual(conn.getClientInfo(text), text);
  }
  assert.deepStrictEqual(conn.exec('SELECT COUNT(*) AS N FROM T'), [{ N: 0 }]);
});

test('a hostile schema name is quoted as one identifier', () => {
  const file = freshDatabase();
  const setup = open(file);
  setup.exec('CREATE TABLE T (ID INTEGER)');
  setup.disconnect();
  for (const schema of ['x"; DROP TABLE T; --', 'main"; DROP TABLE T; --', 'a" "b']) {
    for (const POOLING of ['FALSE', 'TRUE']) {
      const conn = zelk.createConnection();
      try {
        conn.connect({ databaseName: file, CURRENTSCHEMA: schema, POOLING });
      } catch (err) {
        assert.strictEqual(typeof err.sqlState, 'string');
      }
      // A pooled disconnect sets the schema again to restore the handle, and fails.
      if (conn.state() === 'connected' && POOLING === 'TRUE') assert.throws(() => conn.disconnect());
      if (conn.state() === 'connected') conn.disconnect();
    }
  }
  const check = open(file);
  assert.deepStrictEqual(check.exec('SELECT COUNT(*) AS N FROM T'), [{ N: 0 }]);
});

test('property values with ";", "=", quotes and braces cannot add another property', () => {
  const target = freshDatabase();
  const evil = path.join(tmpDir, 'injected.db');
  const values = [`x;databaseName=${evil}`, `{x};databaseName=${evil}`, `'x';databaseName=${evil}`,
    `"x";databaseName=${evil}`, `x}";'{;databaseName=${evil}`, `=;databaseName=${evil};`];
  for (const value of values) {
    const conn = openTarget({ databaseName: target, CLIENT: value });
    conn.exec('CREATE TABLE IF NOT EXISTS T (ID INTEGER)');
    conn.disconnect();
    assert.ok(!fs.existsSync(evil), `object form: ${value}`);
    // String form: the value enclosed as a script would write it.
    const enclosed = value.includes('}') ? `"${value.replace(/"/g, '')}"` : `{${value}}`;
    const text = `databaseName=${target};CLIENT=${enclosed}`;
    const other = openTarget(text);
    other.exec('CREATE TABLE IF NOT EXISTS T (ID INTEGER)');
    other.disconnect();
    assert.ok(!fs.existsSync(evil), `string form: ${text}`);
  }
});
