'use strict';
// Random and mutated result buffers: the decoder returns the rows that were
// encoded or fails with its own error, never with another exception.
const test = require('node:test');
const assert = require('node:assert');
const { decode } = require('../../lib/decoder.js');
const { seededRandom, runSeed } = require('./random');
const { Writer } = require('./result-writer');

const ITERATIONS = Number(process.env.ZELK_FUZZ_ITERATIONS) || 20000;

// Writes a random value with w and returns it.
function randomValue(rnd, w) {
  switch (rnd.int(6)) {
    case 0: w.nul(); return null;
    case 1: { const v = rnd.chance(0.5); w.bool(v); return v; }
    case 2: { const v = rnd.int(4294967296) | 0; w.int(v); return v; }
    case 3: { const v = (rnd.next() - 0.5) * 1e12; w.dbl(v); return v; }
    case 4: { const v = rnd.bytes(rnd.int(12)).toString('hex'); w.str(v); return v; }
    default: { const v = rnd.bytes(rnd.int(12)); w.bin(v); return v; }
  }
}

// A well-formed buffer and the rows (as arrays) it holds.
function randomResult(rnd) {
  const w = new Writer();
  const columns = rnd.int(5);
  const rows = columns === 0 ? 0 : rnd.int(5);
  for (let c = 0; c < columns; c++) w.column('C' + c);
  for (let c = 0; c < columns; c++) w.table(rnd.chance(0.3) ? 'T' + rnd.int(2) : null);
  const expected = [];
  for (let r = 0; r < rows; r++) {
    expected.push(Array.from({ length: columns }, () => randomValue(rnd, w)));
    w.row();
  }
  return { buffer: w.finish(), expected };
}

function mutate(rnd, source) {
  let buffer = Buffer.from(source);
  const edits = 1 + rnd.int(4);
  for (let i = 0; i < edits; i++) {
    const kind = rnd.int(5);
    if (kind === 0 && buffer.length > 0) {
      buffer[rnd.int(buffer.length)] ^= 1 << rnd.int(8);
    } else if (kind === 1) {
      buffer = buffer.subarray(0, rnd.int(buffer.length + 1));
    } else if (kind === 2) {
      buffer = Buffer.concat([buffer, rnd.bytes(rnd.int(9))]);
    } else if (kind === 3 && buffer.length >= 16) {
      buffer.writeUInt32LE(rnd.pick([0, 1, 0xffffffff, 0x7fffffff, rnd.int(100)]), rnd.pick([4, 8, 12]));
    } else if (buffer.length > 0) {
      buffer[rnd.int(buffer.length)] = rnd.pick([0, 1, 5, 6, 7, 0xff]);
    }
  }
  // Half the mutants keep a consistent total size so the checks go deeper.
  if (rnd.chance(0.5) && buffer.length >= 16) {
    buffer.writeUInt32LE(buffer.length, 0);
    buffer.writeUInt32LE(0, 4);
  }
  return buffer;
}

function decodeOrMalformed(buffer, options) {
  try {
    return decode(buffer, options);
  } catch (err) {
    if (!(err instanceof Error) || !/^Malformed result buffer: /.test(err.message)) {
      throw new Error(`decoder threw ${err && err.name}: ${err && err.message}`);
    }
    return undefined;
  }
}

test('well-formed random results decode to the values encoded', () => {
  const seed = runSeed(1010);
  const rnd = seededRandom(seed);
  for (let i = 0; i < ITERATIONS / 4; i++) {
    const { buffer, expected } = randomResult(rnd);
    assert.deepStrictEqual(decode(buffer, { rowsAsArray: true }), expected, `seed ${seed} case ${i}`);
  }
});

test('mutated and random buffers decode or fail as malformed', () => {
  const seed = runSeed(2020);
  const rnd = seededRandom(seed);
  const shapes = [undefined, { rowsAsArray: true }, { nestTables: true }];
  let failures = 0;
  for (let i = 0; i < ITERATIONS; i++) {
    const buffer = rnd.chance(0.1) ? rnd.bytes(rnd.int(64)) : mutate(rnd, randomResult(rnd).buffer);
    const input = rnd.chance(0.1) ? new Uint8Array(buffer) : buffer;
    const rows = decodeOrMalformed(input, rnd.pick(shapes));
    if (rows === undefined) failures++;
    else assert.ok(Array.isArray(rows));
  }
  assert.ok(failures > 0 && failures < ITERATIONS, `seed ${seed}: ${failures} of ${ITERATIONS} malformed`);
});
