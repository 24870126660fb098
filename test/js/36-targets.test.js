'use strict';
// The database a script names is the one that opens, result sets let go of
// what they hold, and a writer waits for another.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const zelk = require('../..');
const { freshDatabase, errorFields, driverError, open } = require('./helpers');
const { serverSkip } = require('./backends');

test('property values that are not text, numbers or booleans are refused, naming the property', () => {
  const file = freshDatabase();
  const throwing = { toString() { throw new Error('no text'); } };
  const values = [new URL(`file://${file}`), Buffer.from(file), new String(file), throwing, null, undefined, {}];
  for (const value of values) {
    const err = errorFields(() => zelk.createConnection().connect({ databaseName: value }));
    assert.strictEqual(err.code, -20002);
    assert.match(err.message, /^Connection property "databaseName" must be a string, number or boolean, not /);
    assert.strictEqual(err.sqlState, 'HY000');
  }
  assert.throws(() => zelk.createConnection({ hosts: 7 }), /"hosts" must be an array of host objects or a/);
  assert.throws(() => zelk.createConnection({ ca: 42 }), /"ca" must be a string, a Buffer or an array of them/);
  assert.strictEqual(fs.existsSync(file), false);
});

test('property names nothing reads are refused, in objects and in strings, in any case', async () => {
  for (const target of [{ filename: 'x.db' }, { databse: 'x.db' }, 'hostname=db1;port=5', 'databse=x.db']) {
    const name = typeof target === 'string' ? target.split('=')[0] : Object.keys(target)[0];
    assert.deepStrictEqual(errorFields(() => zelk.createConnection().connect(target)),
      driverError(-20002, `Unknown connection property "${name}"`));
    assert.throws(() => zelk.createConnection(target), { message: `Unknown connection property "${name}"` });
  }
  const err = await new Promise((resolve) => zelk.createConnection().connect({ Filename: 'x' }, resolve));
  assert.strictEqual(err.message, 'Unknown connection property "Filename"');
  assert.throws(() => zelk.createConnection('databaseName=x.db;junk'),
    { code: -20002, message: 'Connection string text from position 18 on is not a name=value pair' });
  const known = { DATABASENAME: freshDatabase(), Pooling: 'false', isolationLevel: 1, CURRENTSCHEMA: 'main',
    locale: 'en', client: 'c', fastInternalRows: true, _resultSetCanBind: false, maxPoolSize: 2,
    connectionLifetime: 5, poolingCheck: false, resultSetArrayLimitMB: 10, connectTimeout: 100,
    readonly: false, fileMustExist: false };
  const conn = zelk.createConnection(known);
  conn.connect();
  assert.deepStrictEqual(conn.exec('SELECT 1 AS x FROM DUMMY'), [{ x: 1 }]);
  conn.disconnect();
});

test('a connection string may name the server with host, port, user, password and database, hosts a string', { skip: serverSkip },
  () => {
    const env = process.env;
    const conn = zelk.createConnection();
    conn.connect(`host=${env.ZELK_PG_HOST};port=${env.ZELK_PG_PORT};user=${env.ZELK_PG_USER};` +
      `password=${env.ZELK_PG_PASSWORD};database=${env.ZELK_PG_DATABASE}`);
    assert.deepStrictEqual(conn.exec('SELECT current_database() AS db, current_user AS who'),
      [{ db: env.ZELK_PG_DATABASE, who: env.ZELK_PG_USER }]);
    conn.disconnect();
    conn.connect({ hosts: `${env.ZELK_PG_HOST}:${env.ZELK_PG_PORT}`, user: env.ZELK_PG_USER,
      password: env.ZELK_PG_PASSWORD, database: env.ZELK_PG_DATABASE });
    assert.deepStrictEqual(conn.exec('SELECT current_database() AS db'), [{ db: env.ZELK_PG_DATABASE }]);
    conn.disconnect();
  });

test('readonly and fileMustExist open only an existing database, and readonly refuses writes', () => {
  const missing = freshDatabase();
  for (const flag of ['fileMustExist', 'readonly']) {
    const err = errorFields(() => zelk.createConnection().connect({ databaseName: missing, [flag]: true }));
    assert.strictEqual(err.sqlState, '08001');
    assert.match(err.message, /Cannot open database/);
    assert.strictEqual(fs.existsSync(missing), false);
  }
  const file = freshDatabase();
  const writer = open({ databaseName: file });
  writer.exec('CREATE TABLE t (v INTEGER)');
  writer.exec('INSERT INTO t VALUES (1)');
  writer.disconnect();
  const reader = open(`databaseName=${file};readonly=true`);
  assert.deepStrictEqual(reader.exec('SELECT v FROM t'), [{ v: 1 }]);
  assert.throws(() => reader.exec('INSERT INTO t VALUES (2)'), /readonly/);
  reader.disconnect();
  const existing = open({ databaseName: file, fileMustExist: 'yes' });
  existing.exec('INSERT INTO t VALUES (2)');
  assert.strictEqual(existing.exec('SELECT count(*) AS n FROM t')[0].n, 2);
});

function twoConnections() {
  const file = freshDatabase();
  const [a, b] = [zelk.createConnection(), zelk.createConnection()];
  a.connect({ databaseName: file });
  b.connect({ databaseName: file });
  a.exec('CREATE TABLE t (v INTEGER)');
  a.exec('INSERT INTO t VALUES (1), (2), (3)');
  return [a, b];
}

test('a closed result set lets others\' commits show at once, and an abort leaves nothing failing', async () => {
  const [a, b] = twoConnections();
  const rs = b.prepare('SELECT v FROM t').execQuery();
  assert.strictEqual(rs.next(), true);
  const pending = new Promise((resolve) => b.exec('SELECT zkv_sleep(20000) AS s FROM DUMMY', resolve));
  await new Promise((resolve) => setTimeout(resolve, 100));
  b.abort();
  assert.strictEqual((await pending).sqlState, 'HY008');
  assert.deepStrictEqual(b.exec('SELECT 1 AS x FROM DUMMY'), [{ x: 1 }]);
  a.exec('CREATE TABLE later (v INTEGER)');
  a.exec('INSERT INTO t VALUES (4)');
  rs.close();
  assert.strictEqual(b.exec('SELECT count(*) AS n FROM t')[0].n, 4);
  assert.deepStrictEqual(b.exec('SELECT v FROM later'), []);
  a.disconnect();
  b.disconnect();
});

test('a write that waits out the busy time-out behind another writer fails with 40001', () => {
  const [a, b] = twoConnections();
  a.exec('BEGIN IMMEDIATE');
  a.exec('INSERT INTO t VALUES (4)');
  const start = Date.now();
  assert.throws(() => b.exec('INSERT INTO t VALUES (5)'), { sqlState: '40001' });
  assert.ok(Date.now() - start >= 4000, `gave up after ${Date.now() - start} ms`);
  a.exec('COMMIT');
  a.disconnect();
  b.disconnect();
});
