'use strict';
const assert = require('node:assert');
const { errorFields, driverError, settle } = require('./helpers');
const { bothBackends } = require('./backends');

function connected(db) {
  const conn = db.connect();
  conn.exec(`create table lobs (id integer, data ${db.types.binary})`);
  return conn;
}

bothBackends('chunks queued at once are applied in call order', (db, t, done) => {
  const conn = connected(db);
  const insert = conn.prepare('insert into lobs values (?, ?)');
  insert.exec([2, { sendParameterData: 'TRUE' }]);
  const parts = ['alpha ', 'beta ', 'gamma'];
  let finished = 0;
  for (const part of parts) insert.sendParameterData(1, Buffer.from(part), (err) => {
    assert.strictEqual(err, undefined);
    finished += 1;
  });
  insert.sendParameterData(1, undefined, (err) => {
    assert.strictEqual(err, undefined);
    assert.strictEqual(finished, 3);
    assert.deepStrictEqual(conn.exec('select data from lobs where id = 2'), [{ data: Buffer.from('alpha beta gamma') }]);
    conn.disconnect(done);
  });
});

bothBackends('chunks queued behind one that finds the connection gone fail promptly', (db, t, done) => {
  const conn = connected(db);
  const insert = conn.prepare('insert into lobs values (?, ?)');
  insert.exec([3, { sendParameterData: true }]);
  // Holds the connection's queue so that the chunks are still waiting when
  // the disconnect marks the connection.
  conn.exec(db.sleep(200), () => {});
  const errors = [];
  for (let i = 0; i < 4; i++) insert.sendParameterData(1, Buffer.from('x'), (err) => errors.push(err && err.code));
  conn.disconnect((err) => settle(done, () => {
    assert.strictEqual(err, undefined);
    assert.deepStrictEqual(errors, [-20006, -20006, -20006, -20006]);
  }));
});

bothBackends('parameter data argument and state errors', (db) => {
  const conn = connected(db);
  const insert = conn.prepare('insert into lobs values (?, ?)');
  const notExecuted = driverError(-20003, 'The statement has not been executed yet.');
  assert.deepStrictEqual(errorFields(() => insert.getParameterValue(0)), notExecuted);
  assert.deepStrictEqual(errorFields(() => insert.sendParameterData(1, Buffer.from('x'))), notExecuted);
  assert.deepStrictEqual(errorFields(() => insert.exec([4, { sendParameterData: false }])),
    driverError(-20007, 'Can not bind parameter(1).'));
  insert.exec([4, { sendParameterData: true }]);
  assert.deepStrictEqual(errorFields(() => insert.sendParameterData(0, Buffer.from('x'))),
    driverError(-20003, 'The statement has not been executed with {sendParameterData: true} at index 0'));
  assert.deepStrictEqual(errorFields(() => insert.sendParameterData(5, null)),
    driverError(-20003, 'Invalid parameter index.'));
  assert.deepStrictEqual(errorFields(() => insert.sendParameterData(1, 'text')),
    driverError(-20002, "Invalid parameter 1 for function 'sendParameterData(columnIndex, buffer[, callback])': " +
      'expected undefined|null|buffer, received string.'));
  insert.sendParameterData(1, null);
  const arg = (message) => driverError(-20002, message);
  assert.deepStrictEqual(errorFields(() => insert.getData(0, -1, Buffer.alloc(4), 0, 1)), arg('Invalid dataOffset.'));
  assert.deepStrictEqual(errorFields(() => insert.getData(0, 0, Buffer.alloc(4), -1, 1)), arg('Invalid bufferOffset.'));
  assert.deepStrictEqual(errorFields(() => insert.getData(0, 0, Buffer.alloc(4), 0, -1)), arg('Invalid length.'));
  assert.deepStrictEqual(errorFields(() => insert.getData(0, 0, Buffer.alloc(15), 8, 8)),
    arg('getData buffer is not large enough to copy length bytes to bufferOffset.'));
  assert.strictEqual(insert.getParameterValue(0), 4);
});
