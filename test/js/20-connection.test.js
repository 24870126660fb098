'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const zelk = require('../..');
const { buildDir, freshDatabase, runIsolated, errorFields, driverError, open } = require('./helpers');
const { bothBackends } = require('./backends');

bothBackends('connecting a connected connection fails with -20004', (db) => {
  assert.deepStrictEqual(errorFields(() => db.connect().connect()), driverError(-20004, 'Already Connected'));
});

bothBackends('currentSchema is set at connect, even a schema that does not exist yet, which SET SCHEMA refuses', (db) => {
  const named = db.name === 'sqlite' ? db.connect({ currentSchema: 'temp' }) : db.connect();
  assert.match(named.exec('SELECT current_schema() AS s FROM DUMMY')[0].s, db.name === 'sqlite' ? /^temp$/ : /^zt_/);
  named.disconnect();
  const early = db.connect({ currentSchema: 'no_such_schema_zkv' });
  assert.deepStrictEqual(early.exec('SELECT 1 AS x FROM DUMMY'), [{ x: 1 }]);
  assert.throws(() => early.exec('SET SCHEMA no_such_schema_zkv'),
    { message: 'Invalid schema name: no_such_schema_zkv', sqlState: '3F000' });
});

test('callbacks are error-first and never called before the method returns', async () => {
  const conn = zelk.createConnection({ databaseName: freshDatabase() });
  let returned = false;
  const args = await new Promise((resolve) => {
    conn.connect(function () { resolve({ returned, args: Array.from(arguments) }); });
    returned = true;
  });
  assert.strictEqual(args.returned, true);
  assert.deepStrictEqual(args.args, [undefined]);

  returned = false;
  const argErr = await new Promise((resolve) => {
    assert.strictEqual(conn.commit(5, (e) => resolve({ returned, e })), undefined);
    returned = true;
  });
  assert.strictEqual(argErr.returned, true);
  assert.strictEqual(argErr.e.code, -20002);
  assert.strictEqual(argErr.e.message, "Invalid parameter 0 for function 'commit([callback])': " +
    'expected function, received number.');

  const twice = await new Promise((resolve) => conn.disconnect(function () { resolve(Array.from(arguments)); }));
  assert.deepStrictEqual(twice, [undefined]);
  const again = await new Promise((resolve) => conn.disconnect(function () { resolve(Array.from(arguments)); }));
  assert.deepStrictEqual(again, [undefined]);
});

test('work on a connection that is not connected fails with -20006', async () => {
  const conn = zelk.createConnection();
  for (const method of ['commit', 'rollback', 'abort']) {
    assert.deepStrictEqual(errorFields(() => conn[method]()), driverError(-20006, 'No Connection Available'));
    const args = await new Promise((resolve) => conn[method](function () { resolve(Array.from(arguments)); }));
    assert.strictEqual(args.length, 1);
    assert.strictEqual(args[0].code, -20006);
  }
});

test('a failed connect leaves the connection reusable', () => {
  const conn = zelk.createConnection();
  const err = errorFields(() => conn.connect('ServerNode=db.example:30015'));
  assert.strictEqual(err.sqlState, '08001');
  assert.strictEqual(conn.state(), 'disconnected');
  conn.connect({ databaseName: freshDatabase() });
  assert.strictEqual(conn.state(), 'connected');
  conn.disconnect();
});

test('auto-commit flag and row-set size', () => {
  const conn = zelk.createConnection();
  assert.strictEqual(conn.getAutoCommit(), true);
  conn.setAutoCommit('off');
  assert.strictEqual(conn.getAutoCommit(), false);
  conn.setAutoCommit('ON');
  assert.strictEqual(conn.getAutoCommit(), true);
  for (const bad of [0, -5]) {
    assert.deepStrictEqual(errorFields(() => conn.setRowSetSize(bad)), driverError(-20002, 'Invalid row set size.'));
  }
  assert.strictEqual(conn.setRowSetSize(500), undefined);
});

bothBackends('auto-commit off before connect is applied at connect', (db) => {
  const conn = zelk.createConnection(db.params());
  conn.setAutoCommit(false);
  conn.connect();
  conn.exec('CREATE TABLE t (a INTEGER)');
  conn.commit();
  conn.exec('INSERT INTO t VALUES (1)');
  conn.rollback();
  assert.deepStrictEqual(conn.exec('SELECT COUNT(*) AS n FROM t'), [{ n: 0 }]);
  conn.exec('INSERT INTO t VALUES (2)');
  conn.commit();
  conn.disconnect();
  const other = db.connect();
  assert.deepStrictEqual(other.exec('SELECT a FROM t'), [{ a: 2 }]);
});

bothBackends('jobs of one connection run in order while two connections overlap', async (db) => {
  const a = db.connect();
  const b = db.connect();
  const order = [];
  const run = (conn, sql, name) => new Promise((resolve, reject) => {
    conn.exec(sql, (err) => {
      if (err) return reject(err);
      order.push(name);
      resolve();
    });
  });
  await Promise.all([
    run(a, db.sleep(600), 'a-slow'),
    run(a, 'SELECT 1 AS x', 'a-quick'),
    run(b, 'SELECT 1 AS x', 'b-quick'),
  ]);
  assert.ok(order.indexOf('a-slow') < order.indexOf('a-quick'), order.join());
  assert.ok(order.indexOf('b-quick') < order.indexOf('a-slow'), order.join());
});

test('a temporary worker is added while every worker is blocked', () => {
  const out = runIsolated(`
    const zelk = require('.');
    const order = [];
    const a = zelk.createConnection(); a.connect('');
    const b = zelk.createConnection(); b.connect('');
    a.exec('SELECT zkv_sleep(4000) AS s', () => { order.push('blocked'); a.disconnect(); });
    b.exec('SELECT 1 AS x', () => { order.push('waiting'); b.disconnect(); });
    process.on('exit', () => console.log(JSON.stringify(order)));`, { ZKV_NODEJS_THREADPOOL_SIZE: '1' });
  assert.deepStrictEqual(out, ['waiting', 'blocked']);
});

test('with OLDTHREADPOOL the runtime pool delivers the same callbacks', () => {
  const out = runIsolated(`
    const zelk = require('.');
    const conn = zelk.createConnection('OLDTHREADPOOL=TRUE');
    conn.connect((err) => {
      conn.exec('SELECT 1 AS x', (err2, rows) => {
        conn.disconnect(() => console.log(JSON.stringify({ err: err || err2 || null, rows })));
      });
    });`);
  assert.deepStrictEqual(out, { err: null, rows: [{ x: 1 }] });
});

test('the open-connection limit holds under concurrent connects', () => {
  const out = runIsolated(`
    const zelk = require('.');
    const conns = [1, 2, 3, 4, 5].map(() => zelk.createConnection());
    const results = [];
    let pending = conns.length;
    conns.forEach((c) => c.connect('', (err) => {
      results.push(err ? err.code + ' ' + err.message : 'ok');
      if (--pending === 0) {
        const winner = conns.find((x) => x.state() === 'connected');
        const loser = conns.find((x) => x.state() !== 'connected');
        winner.disconnect(() => loser.connect('', (err) => {
          results.push(err ? err.code : 'ok-after');
          conns.forEach((x) => x.disconnect());
          console.log(JSON.stringify({ results: results.sort(), open: winner.getOpenConnectionCount() }));
        }));
      }
    }));`, { ZKV_NODEJS_MAX_OPEN_CONNECTIONS: '2' });
  assert.deepStrictEqual(out.results, Array(3).fill('-20023 Too many connections').concat('ok', 'ok', 'ok-after'));
});

test('connect with a number adopts a connection opened elsewhere; a made-up number fails cleanly', () => {
  const helper = require(path.join(buildDir, 'external_connection.node'));
  const file = freshDatabase();
  const handle = helper.open(path.join(buildDir, 'libdbcapiZKV.so'), `databaseName=${file}`);
  helper.execute(handle, 'CREATE TABLE shared (v INTEGER)');
  helper.execute(handle, 'INSERT INTO shared VALUES (42)');
  const conn = open(handle);
  assert.deepStrictEqual(conn.exec('SELECT v FROM shared'), [{ v: 42 }]);
  conn.disconnect();
  assert.strictEqual(helper.execute(handle, 'INSERT INTO shared VALUES (43)'), true);
  helper.close(handle);

  const stray = zelk.createConnection();
  const err = errorFields(() => stray.connect(123456789));
  assert.ok(err.message.length > 0);
  assert.strictEqual(stray.state(), 'disconnected');
});

test('a callback that throws neither loses later callbacks nor keeps the process alive', () => {
  const out = runIsolated(`
    const zelk = require('.');
    const seen = [];
    process.on('uncaughtException', (e) => seen.push(e.message));
    const c = zelk.createConnection(); c.connect('');
    c.exec('SELECT 1 AS x FROM DUMMY', () => { throw new Error('boom'); });
    c.exec('SELECT 2 AS x FROM DUMMY', (e, rows) => { seen.push(rows[0].x); c.disconnect(); });
    process.on('exit', () => console.log(JSON.stringify(seen)));`);
  assert.deepStrictEqual(out, ['boom', 2]);
});

test('a parameter object becomes the connection string used as the pool key', () => {
  const file = freshDatabase();
  const conn = open({ USER: 'a', databaseName: file, POOLING: 'yes', key: ['k1', 'k2'], cert: 'c', ca: 'X' });
  conn.disconnect();
  assert.strictEqual(conn.getPooledConnectionCount(`uid=a;POOLING=YES;databaseName=${file};sslTrustStore=X;` +
    'sslKeyStore=k1\nk2\nc;ENCRYPT=true;CHARSET=UTF-8;SCROLLABLERESULT=0'), 1);
  // connect() without parameters keeps the completed string: same key, the parked handle is taken.
  conn.connect();
  assert.strictEqual(conn.getPooledConnectionCount(), 0);
  conn.disconnect();
  const caOnly = open({ ca: 'X', pooling: 'TRUE', databasename: file });
  caOnly.disconnect();
  assert.strictEqual(caOnly.getPooledConnectionCount(`pooling=TRUE;databaseName=${file};sslTrustStore=X;` +
    'ENCRYPT=true;sslKeyStore=;CHARSET=UTF-8;SCROLLABLERESULT=0'), 1);
  // A later POOLING=FALSE does not switch pooling off again.
  conn.connect(`databaseName=${file};POOLING=FALSE`);
  conn.disconnect();
  assert.strictEqual(conn.clearPool(), 3);
});

test('host keys make the server node, with port or instance number, after a hosts list', () => {
  const serverNode = (params) => /^Connection failed \(ServerNode ([^)]*)\)/.exec(
    errorFields(() => zelk.createConnection().connect(params)).message)[1];
  assert.strictEqual(serverNode({ HOST: '127.0.0.1', PORT: 1 }), '127.0.0.1:1');
  assert.strictEqual(serverNode({ host: '127.0.0.1', instanceNumber: '07' }), '127.0.0.1:30715');
  assert.strictEqual(serverNode({ host: '::1', instanceNumber: '07', database: 'X' }), '[::1]:30713');
  assert.strictEqual(serverNode({ hosts: [{ HOST: '127.0.0.1', port: 1 }, 5, { port: 2 }, { host: '::1', port: 2 }] }),
    '127.0.0.1:1,[::1]:2');
  // Of two ServerNode properties the library keeps the later: host and port come after the hosts list.
  assert.strictEqual(serverNode({ host: '127.0.0.1', port: 3, hosts: [{ host: '127.0.0.1', port: 1 }] }),
    '127.0.0.1:3');
});

test('argument type errors name the expected and the received type', () => {
  const conn = zelk.createConnection();
  const connect = 'connect(conn_params[, callback])';
  const invalid = (index, fn, types) => `Invalid parameter ${index} for function '${fn}': ${types}.`;
  const cases = [
    [() => conn.connect(true), invalid(0, connect, 'expected string|object, received boolean')],
    [() => conn.connect('', 5), invalid(1, connect, 'expected function, received number')],
    [() => conn.setAutoCommit('maybe'), invalid(0, 'setAutoCommit(flag)', 'expected boolean, received string')],
    [() => conn.setRowSetSize(Buffer.from('x')), /received buffer\.$/],
    [() => conn.setRowSetSize([1]), /received array\.$/],
    [() => conn.getClientInfo(null), /expected string, received null\.$/],
  ];
  for (const [call, expected] of cases) {
    const { code, message } = errorFields(call);
    assert.strictEqual(code, -20002, message);
    if (typeof expected === 'string') assert.strictEqual(message, expected);
    else assert.match(message, expected);
  }
});

test('ZKV_NODEJS_FAST_INTERNAL_ROWS sets the default that a connection property overrides', () => {
  const binary = (env) => runIsolated(`
    const zelk = require('.');
    const binaryResult = (conn) => {
      conn.connect();
      return Buffer.isBuffer(conn.execInternal('SELECT 1 AS x', undefined, undefined, undefined));
    };
    console.log(JSON.stringify([binaryResult(zelk.createConnection('')),
      binaryResult(zelk.createConnection('fastInternalRows=yes'))]));`, env);
  delete process.env.ZKV_NODEJS_FAST_INTERNAL_ROWS;
  assert.deepStrictEqual(binary({}), [true, true]);
  assert.deepStrictEqual(binary({ ZKV_NODEJS_FAST_INTERNAL_ROWS: '0' }), [false, true]);
  assert.deepStrictEqual(binary({ ZKV_NODEJS_FAST_INTERNAL_ROWS: '' }), [true, true]);
});
