'use strict';
const assert = require('node:assert');
const { errorFields, settle } = require('./helpers');
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
  const notExecuted = { code: -20003, message: 'The statement has not been executed yet.', sqlState: 'HY000' };
  assert.deepStrictEqual(errorFields(() => insert.getParameterValue(0)), notExecuted);
  assert.deepStrictEqual(errorFields(() => insert.sendParameterData(1, Buffer.from('x'))), notExecuted);
  assert.deepStrictEqual(errorFields(() => insert.exec([4, { sendParameterData: false }])),
    { code: -20007, message: 'Can not bind parameter(1).', sqlState: 'HY000' });
  insert.exec([4, { sendParameterData: true }]);
  assert.deepStrictEqual(errorFields(() => insert.sendParameterData(0, Buffer.from('x'))), {
    code: -20003,
    message: 'The statement has not been executed with {sendParameterData: true} at index 0',
    sqlState: 'HY000',
  });
  assert.deepStrictEqual(errorFields(() => insert.sendParameterData(5, null)),
    { code: -20003, message: 'Invalid parameter index.', sqlState: 'HY000' });
  assert.deepStrictEqual(errorFields(() => insert.sendParameterData(1, 'text')), {
    code: -20002,
    message: "Invalid parameter 1 for function 'sendParameterData(columnIndex, buffer[, callback])': " +
      'expected undefined|null|buffer, received string.',
    sqlState: 'HY000',
  });
  insert.sendParameterData(1, null);
  const arg = (message) => ({ code: -20002, message, sqlState: 'HY000' });
  assert.deepStrictEqual(errorFields(() => insert.getData(0, -1, Buffer.alloc(4), 0, 1)), arg('Invalid dataOffset.'));
  assert.deepStrictEqual(errorFields(() => insert.getData(0, 0, Buffer.alloc(4), -1, 1)), arg('Invalid bufferOffset.'));
  assert.deepStrictEqual(errorFields(() => insert.getData(0, 0, Buffer.alloc(4), 0, -1)), arg('Invalid length.'));
  assert.deepStrictEqual(errorFields(() => insert.getData(0, 0, Buffer.alloc(15), 8, 8)),
    arg('getData buffer is not large enough to copy length bytes to bufferOffset.'));
  assert.strictEqual(insert.getParameterValue(0), 4);
});
