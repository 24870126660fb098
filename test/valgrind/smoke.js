'use strict';
// A short tour of the driver for the memcheck run: connect, execute with
// parameters, batches, result sets, data in pieces in and out, teardown.
const zelk = require('../..');

const conn = zelk.createConnection();
conn.connect('');
conn.exec('CREATE TABLE T (ID INTEGER, S VARCHAR(40), D DOUBLE, B BLOB)');
conn.exec('INSERT INTO T VALUES (?, ?, ?, ?)', [1, 'one', 1.5, Buffer.from('abc')]);
conn.prepare('INSERT INTO T VALUES (?, ?, ?, NULL)').execBatch([[2, 'two', 2.5], [3, null, null]]);
const lob = conn.prepare('INSERT INTO T VALUES (?, ?, ?, ?)');
lob.exec([4, 'lob', 0, { sendParameterData: true }]);
lob.sendParameterData(3, Buffer.alloc(100000, 7), (err) => {
  if (err) throw err;
  lob.sendParameterData(3, null, (end) => {
    if (end) throw end;
    const rows = conn.exec('SELECT ID, S, D, B FROM T ORDER BY ID');
    const rs = conn.prepare('SELECT B FROM T WHERE ID = 4').execQuery();
    rs.next();
    const back = Buffer.alloc(100000);
    rs.getData(0, 0, back, 0, back.length);
    rs.close();
    conn.exec('SELECT * FROM T', { rowsAsArray: true }, (e, arrays) => {
      if (e) throw e;
      lob.drop();
      conn.disconnect(() => console.log(JSON.stringify({ rows: rows.length, arrays: arrays.length,
        lob: back.every((b) => b === 7) })));
    });
  });
});
