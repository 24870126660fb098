'use strict';
const assert = require('node:assert');
const crypto = require('crypto');
const { Readable, Writable } = require('stream');
const { pipeline } = require('stream/promises');
const zelk = require('zelk');
const zstreams = require('zelk/streams');
const { collect } = require('./helpers');
const { bothBackends } = require('./backends');

async function numbers(db, count) {
  const conn = await db.connectAsync();
  await conn.exec('CREATE TABLE n (x INTEGER)');
  const rows = Array.from({ length: count }, (_, i) => [i]);
  await (await conn.prepare('INSERT INTO n VALUES (?)')).execBatch(rows);
  const stmt = await conn.prepare('SELECT x FROM n ORDER BY x');
  return { conn, stmt };
}

// Chunks of uneven sizes, so that no boundary lines up with the read size.
function unevenChunks(data) {
  const chunks = [];
  for (let offset = 0, size = 1; offset < data.length; offset += size, size = (size * 7 + 3) % 70001 + 1) {
    chunks.push(data.subarray(offset, offset + size));
  }
  return chunks;
}

bothBackends('a row stream with a slow consumer stays within its highWaterMark', async (db) => {
  const { conn, stmt } = await numbers(db, 3000);
  const rs = await stmt.execQuery();
  const rows = rs.createReadStream({ highWaterMark: 8 });
  let maxBuffered = 0;
  const received = [];
  const slow = new Writable({
    objectMode: true,
    highWaterMark: 1,
    write(row, encoding, done) {
      maxBuffered = Math.max(maxBuffered, rows.readableLength);
      received.push(row.x);
      if (received.length % 100 === 0) setTimeout(done, 1);
      else setImmediate(done);
    },
  });
  await pipeline(rows, slow);
  assert.strictEqual(received.length, 3000);
  assert.ok(received.every((x, i) => x === i));
  assert.ok(maxBuffered <= 8, `buffered ${maxBuffered} rows`);
  assert.strictEqual(rs.isClosed(), true);
});

bothBackends('destroying a row stream early closes the result set and frees the statement', async (db) => {
  const { conn, stmt } = await numbers(db, 500);
  const rs = await stmt.execQuery();
  const rows = rs.createReadStream({ highWaterMark: 2, asArray: true });
  const first = [];
  for await (const row of rows) {
    first.push(row);
    if (first.length === 3) break;
  }
  assert.deepStrictEqual(first, [[0], [1], [2]]);
  await new Promise((resolve) => setImmediate(resolve));
  assert.strictEqual(rs.isClosed(), true);
  const again = await stmt.execQuery();
  assert.strictEqual(await again.next(), true);
});

bothBackends('a row stream reports a fetch error and closes the result set', async (db) => {
  const { conn, stmt } = await numbers(db, 10);
  const rs = await stmt.execQuery();
  const rows = rs.createReadStream();
  await rs.close();
  await assert.rejects(pipeline(rows, new Writable({ objectMode: true, write: (r, e, done) => done() })),
    (err) => err.code === -20015);
});

bothBackends('a large object streams in and out byte for byte', async (db) => {
  const conn = await db.connectAsync();
  await conn.exec(`CREATE TABLE lob (id INTEGER, data ${db.types.binary})`);
  const data = crypto.randomBytes(3 * 1024 * 1024 + 17);
  const insert = await conn.prepare('INSERT INTO lob VALUES (?, ?)');
  await insert.exec([1, { sendParameterData: true }]);
  await insert.sendParameterStream(1, Readable.from(unevenChunks(data)));

  const select = await conn.prepare('SELECT data FROM lob WHERE id = ?');
  const rs = await select.execQuery([1]);
  assert.strictEqual(await rs.next(), true);
  assert.strictEqual(rs.getValueLength(0), data.length);
  const out = Buffer.concat(await collect(rs.createDataStream(0, { chunkSize: 65521 })));
  assert.strictEqual(out.length, data.length);
  assert.ok(out.equals(data));
  const tail = Buffer.concat(await collect(rs.createDataStream(0, { offset: data.length - 5 })));
  assert.ok(tail.equals(data.subarray(data.length - 5)));
});

bothBackends('callback objects: a parameter Writable fed by pipe, an empty value, and a NULL value', async (db) => {
  const conn = db.connect();
  conn.exec(`CREATE TABLE lob (id INTEGER, data ${db.types.binary})`);
  const insert = conn.prepare('INSERT INTO lob VALUES (?, ?)');
  const text = Buffer.from('stream me '.repeat(5000));
  insert.exec([1, { sendParameterData: true }]);
  await pipeline(Readable.from(unevenChunks(text)), zstreams.createParameterStream(insert, 1));
  insert.exec([2, { sendParameterData: true }]);
  await pipeline(Readable.from([]), zstreams.createParameterStream(insert, 1));
  insert.exec([3, null]);

  const select = conn.prepare('SELECT data FROM lob ORDER BY id');
  const rs = select.execQuery();
  const values = [];
  while (rs.next()) values.push(Buffer.concat(await collect(zstreams.createDataStream(rs, 0, { chunkSize: 1000 }))));
  rs.close();
  assert.deepStrictEqual(values.map((v) => v.length), [text.length, 0, 0]);
  assert.ok(values[0].equals(text));
  assert.deepStrictEqual(conn.exec('SELECT id FROM lob WHERE data IS NULL'), [{ id: 3 }]);
});

bothBackends('streaming into a parameter that was not bound for it fails with the driver error', async (db) => {
  const conn = await db.connectAsync();
  await conn.exec(`CREATE TABLE lob (id INTEGER, data ${db.types.binary})`);
  const insert = await conn.prepare('INSERT INTO lob VALUES (?, ?)');
  await insert.exec([1, Buffer.from('plain')]);
  const err = await insert.sendParameterStream(1, Readable.from([Buffer.from('x')])).catch((e) => e);
  assert.strictEqual(err.code, -20003);
  assert.strictEqual(err.message, 'The statement has not been executed with {sendParameterData: true} at index 1');
  assert.throws(() => zstreams.createDataStream(insert.native, 0, { chunkSize: 0 }), RangeError);
});
