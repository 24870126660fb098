'use strict';

const test = require('node:test');
const assert = require('node:assert');
const { decode } = require('../../lib/decoder.js');
const { Writer } = require('./result-writer');

function sample() {
  const w = new Writer();
  w.column('ID').column('NAME').column('DATA').column('OK').column('PRICE');
  w.table().table().table().table().table();
  w.int(-7).str('Grüße 👋').bin(Buffer.from([0, 255, 10])).bool(true).dbl(2.5).row();
  w.int(2147483647).str('').nul().bool(false).dbl(-9007199254740991).row();
  w.nul().nul().bin(Buffer.alloc(0)).nul().nul().row();
  return w.finish();
}

function assertMalformed(buffer, pattern, options) {
  assert.throws(() => decode(buffer, options), (err) => {
    assert.ok(err instanceof Error);
    assert.match(err.message, /^Malformed result buffer: /);
    if (pattern) assert.match(err.message, pattern);
    return true;
  });
}

test('binary values are copies, independent of the result buffer', () => {
  const buffer = sample();
  const rows = decode(buffer);
  buffer.fill(0);
  assert.deepStrictEqual(rows[0].DATA, Buffer.from([0, 255, 10]));
});

test('rowsAsArray gives arrays in column order and ignores nesting', () => {
  const expected = [[-7, 'Grüße 👋', Buffer.from([0, 255, 10]), true, 2.5]];
  assert.deepStrictEqual(decode(sample(), { rowsAsArray: true })[0], expected[0]);
  const w = new Writer().column('ID').column('ID').table('T1').table('T2');
  w.int(1).int(2).row();
  assert.deepStrictEqual(decode(w.finish(), { rowsAsArray: true, nestTables: true }), [[1, 2]]);
});

test('any column name becomes an own property holding its value, whatever its characters', () => {
  const names = ['__proto__', 'a"b', 'c\\', '}); throw 1; ({', 'line\u2028sep', '7', '', 'constructor', 'x y'];
  const w = new Writer();
  for (const name of names) w.column(name);
  for (let i = 0; i < names.length; i++) w.nul();
  for (let r = 0; r < 2; r++) {
    for (let i = 0; i < names.length; i++) w.int(r * 100 + i);
    w.row();
  }
  const rows = decode(w.finish(), {});
  for (const [r, row] of rows.entries()) {
    assert.strictEqual(Object.getPrototypeOf(row), Object.prototype);
    names.forEach((name, i) => {
      assert.ok(Object.prototype.hasOwnProperty.call(row, name), name);
      assert.strictEqual(row[name], r * 100 + i);
    });
    assert.strictEqual(Object.keys(row).length, names.length);
  }
});

test('results of many different column sets all decode with their own keys', () => {
  for (let set = 0; set < 700; set++) {
    const w = new Writer().column('k' + set).column('v');
    w.nul().nul();
    w.int(set).str('s' + set).row();
    assert.deepStrictEqual(decode(w.finish(), {}), [{ ['k' + set]: set, v: 's' + set }]);
    assert.deepStrictEqual(decode(w.finish(), { rowsAsArray: true }), [[set, 's' + set]]);
  }
});

test('nestTables groups columns under their tables in order of first appearance', () => {
  const w = new Writer().column('ID').column('X').column('ID').column('NAME');
  w.table('T1').table(null).table('T2').table('T1');
  w.int(1).str('x').int(2).str('n').row();
  w.int(3).nul().int(4).nul().row();
  const buffer = w.finish();
  const rows = decode(buffer, { nestTables: true });
  assert.deepStrictEqual(Object.keys(rows[0]), ['T1', 'X', 'T2']);
  assert.deepStrictEqual(rows, [
    { T1: { ID: 1, NAME: 'n' }, X: 'x', T2: { ID: 2 } },
    { T1: { ID: 3, NAME: null }, X: null, T2: { ID: 4 } },
  ]);
  assert.notStrictEqual(rows[0].T1, rows[1].T1);
  // Without the option the table section is not used.
  assert.deepStrictEqual(decode(buffer, {})[0], { ID: 2, X: 'x', NAME: 'n' });
});

test('malformed headers and counts are rejected', () => {
  assertMalformed(Buffer.alloc(10), /shorter than the 16-byte header/);
  assertMalformed('text', /expected a Buffer/);
  assertMalformed(null, /expected a Buffer/);

  const good = sample();
  const wrongSize = Buffer.from(good);
  wrongSize.writeUInt32LE(good.length + 1, 0);
  assertMalformed(wrongSize, /total size/);
  const highWord = Buffer.from(good);
  highWord.writeUInt32LE(1, 4);
  assertMalformed(highWord, /total size/);

  const manyColumns = Buffer.from(good);
  manyColumns.writeUInt32LE(0xffffffff, 12);
  assertMalformed(manyColumns, /columns do not fit/);
  const manyRows = Buffer.from(good);
  manyRows.writeUInt32LE(0xffffffff, 8);
  assertMalformed(manyRows, /rows of 5 columns do not fit/);

  const rowsWithoutColumns = Buffer.alloc(16);
  rowsWithoutColumns.writeUInt32LE(16, 0);
  rowsWithoutColumns.writeUInt32LE(3, 8);
  assertMalformed(rowsWithoutColumns, /rows of 0 columns/);
});

test('malformed items are rejected: unknown tag, truncation, wrong section tags, trailing bytes', () => {
  const unknown = new Writer().column('A').table(null).bytes([9]).row().finish();
  assertMalformed(unknown, /unknown tag 9 at offset 23/);

  const longString = new Writer().column('A').table(null).bytes([5, 200, 0, 0, 0, 65]).row().finish();
  assertMalformed(longString, /runs past the end/);
  const shortInt = new Writer().column('A').table(null).bytes([3, 1, 2]).row().finish();
  assertMalformed(shortInt, /runs past the end/);
  const shortDouble = new Writer().column('A').table(null).bytes([4, 0, 0, 0, 0, 0, 0, 0]).row().finish();
  assertMalformed(shortDouble, /runs past the end/);

  const nameNotString = new Writer().bytes([3, 0, 0, 0, 0, 1]);
  nameNotString.columns = 1;
  assertMalformed(nameNotString.finish(), /expected a column name/);
  const tableTag = new Writer().column('A').bytes([3]).finish();
  assertMalformed(tableTag, /expected a table name/);

  const trailing = new Writer().column('A').table(null).int(1).row().nul().finish();
  assertMalformed(trailing, /1 bytes left after the last row/);
  const missingRow = new Writer().column('A').table(null).int(1).row().finish();
  missingRow.writeUInt32LE(2, 8);
  assertMalformed(missingRow, /runs past the end/);
});
