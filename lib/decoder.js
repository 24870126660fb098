'use strict';

// Decodes the binary result buffer of an execute with fastInternalRows into
// the same rows the native columnar path builds.
//
// Layout (little-endian): u64 total size, u32 row count, u32 column count,
// then one name item per column (already renamed for duplicates), one
// table-name item per column (null unless nesting), then the row items.
// Item: a tag byte and its payload (see TAG_*).
//
// Binary values are returned as copies, so a row never keeps the whole
// result buffer alive and rows never share memory with each other.

const TAG_NULL = 1;
const TAG_BOOLEAN = 2;
const TAG_INT32 = 3;
const TAG_DOUBLE = 4;
const TAG_STRING = 5;
const TAG_BINARY = 6;

const HEADER_SIZE = 16;
const MIN_NAME_ITEM = 5;
const MIN_TABLE_ITEM = 1;

function malformed(reason) {
  return new Error('Malformed result buffer: ' + reason);
}

function truncated(offset) {
  return malformed('item at offset ' + offset + ' runs past the end');
}

const utf8Slice = typeof Buffer.prototype.utf8Slice === 'function'
  ? (buffer, start, end) => buffer.utf8Slice(start, end)
  : (buffer, start, end) => buffer.toString('utf8', start, end);

function toBuffer(input) {
  if (Buffer.isBuffer(input)) {
    return input;
  }
  if (input instanceof Uint8Array) {
    return Buffer.from(input.buffer, input.byteOffset, input.byteLength);
  }
  throw malformed('expected a Buffer, got ' + (input === null ? 'null' : typeof input));
}

function readHeader(view, size) {
  if (size < HEADER_SIZE) {
    throw malformed(size + ' bytes is shorter than the ' + HEADER_SIZE + '-byte header');
  }
  const total = view.getUint32(4, true) * 4294967296 + view.getUint32(0, true);
  if (total !== size) {
    throw malformed('header gives a total size of ' + total + ' bytes, the buffer has ' + size);
  }
  const rowCount = view.getUint32(8, true);
  const columnCount = view.getUint32(12, true);
  const room = size - HEADER_SIZE;
  const nameRoom = columnCount * (MIN_NAME_ITEM + MIN_TABLE_ITEM);
  if (nameRoom > room) {
    throw malformed(columnCount + ' columns do not fit in ' + room + ' bytes');
  }
  if (columnCount === 0 ? rowCount !== 0 : rowCount * columnCount > room - nameRoom) {
    throw malformed(rowCount + ' rows of ' + columnCount + ' columns do not fit in ' + room + ' bytes');
  }
  return { rowCount, columnCount };
}

// Walks the name section (tag 5 only) and the table-name section (tag 1 or
// 5), checking every item, into state.names and state.tables. Returns the
// offset after the sections.
function walkNames(state, columnCount) {
  const { buffer, view, end, names, tables } = state;
  let pos = HEADER_SIZE;
  const readText = (allowNull) => {
    const start = pos;
    if (pos >= end) {
      throw truncated(start);
    }
    const tag = buffer[pos++];
    if (tag === TAG_NULL && allowNull) {
      return null;
    }
    if (tag !== TAG_STRING) {
      throw malformed('expected a ' + (allowNull ? 'table' : 'column') + ' name at offset ' + start +
                      ', found tag ' + tag);
    }
    if (pos + 4 > end) {
      throw truncated(start);
    }
    const length = view.getUint32(pos, true);
    pos += 4;
    if (length > end - pos) {
      throw truncated(start);
    }
    pos += length;
    return utf8Slice(buffer, pos - length, pos);
  };
  for (let c = 0; c < columnCount; c++) {
    names[c] = readText(false);
  }
  for (let c = 0; c < columnCount; c++) {
    tables[c] = readText(true);
  }
  return pos;
}

// The name sections of the last decode: point queries bring the same names
// call after call, and comparing bytes costs less than decoding texts.
let lastNames = { bytes: new Uint8Array(0), names: [], tables: [] };

function sameBytes(buffer, from, to, bytes) {
  if (to - from !== bytes.length) return false;
  for (let i = 0; i < bytes.length; i++) {
    if (buffer[from + i] !== bytes[i]) return false;
  }
  return true;
}

// Reads both name sections into state; returns the offset after them.
// Sections byte for byte the same as the last ones parse the same, so they
// are not walked again.
function readNames(state, columnCount) {
  const known = HEADER_SIZE + lastNames.bytes.length;
  if (lastNames.names.length === columnCount && known <= state.end &&
      sameBytes(state.buffer, HEADER_SIZE, known, lastNames.bytes)) {
    state.names = lastNames.names;
    state.tables = lastNames.tables;
    return known;
  }
  state.names = new Array(columnCount);
  state.tables = new Array(columnCount);
  const pos = walkNames(state, columnCount);
  lastNames = { bytes: Uint8Array.prototype.slice.call(state.buffer, HEADER_SIZE, pos), names: state.names,
    tables: state.tables };
  return pos;
}

// The per-column index of its table object (-1: on the row itself), and
// the table names in order of first appearance.
function nestingOf(tables) {
  const tableOf = new Array(tables.length);
  const tableKeys = [];
  for (let c = 0; c < tables.length; c++) {
    const table = tables[c];
    if (table === null || table === '') {
      tableOf[c] = -1;
      continue;
    }
    let index = tableKeys.indexOf(table);
    if (index < 0) {
      index = tableKeys.push(table) - 1;
    }
    tableOf[c] = index;
  }
  return { tableOf, tableKeys };
}

// Reads one item after another; one instance per decode keeps every call
// site monomorphic.
class ItemReader {
  constructor(buffer, view, end, pos) {
    this.buffer = buffer;
    this.view = view;
    this.end = end;
    this.pos = pos;
  }

  value() {
    const buffer = this.buffer;
    const end = this.end;
    const start = this.pos;
    if (start >= end) {
      throw truncated(start);
    }
    const tag = buffer[start];
    switch (tag) {
      case TAG_NULL:
        this.pos = start + 1;
        return null;
      case TAG_BOOLEAN:
        if (start + 2 > end) throw truncated(start);
        this.pos = start + 2;
        return buffer[start + 1] !== 0;
      case TAG_INT32:
        if (start + 5 > end) throw truncated(start);
        this.pos = start + 5;
        return this.view.getInt32(start + 1, true);
      case TAG_DOUBLE:
        if (start + 9 > end) throw truncated(start);
        this.pos = start + 9;
        return this.view.getFloat64(start + 1, true);
      case TAG_STRING:
      case TAG_BINARY:
        return this.bytes(tag, start);
      default:
        throw malformed('unknown tag ' + tag + ' at offset ' + start);
    }
  }

  bytes(tag, start) {
    const buffer = this.buffer;
    if (start + 5 > this.end) throw truncated(start);
    const length = this.view.getUint32(start + 1, true);
    const from = start + 5;
    if (length > this.end - from) throw truncated(start);
    const to = from + length;
    this.pos = to;
    if (tag === TAG_STRING) {
      return utf8Slice(buffer, from, to);
    }
    const value = Buffer.allocUnsafe(length);
    buffer.copy(value, 0, from, to);
    return value;
  }
}

// A row factory compiled for the column keys: an object or array literal
// gets its final shape at once, instead of one transition per column.
// Keys are embedded as JSON string literals; "__proto__" must be computed
// so that it becomes an own property, as an assignment would make it.
function literalKey(key) {
  return key === '__proto__' ? '["__proto__"]' : JSON.stringify(key);
}

const MAX_LITERAL_COLUMNS = 1000;

// Compiled factories are kept by their source, since the same query shape
// comes back again and again (point queries decode one row at a time).
const MAX_CACHED_SHAPES = 512;
const shapeCache = new Map();

function compiledShape(body) {
  let make = shapeCache.get(body);
  if (make === undefined) {
    if (shapeCache.size >= MAX_CACHED_SHAPES) {
      shapeCache.clear();
    }
    // eslint-disable-next-line no-new-func
    make = new Function('reader', 'return ' + body + ';');
    shapeCache.set(body, make);
  }
  return make;
}

function objectFactory(keys) {
  if (keys.length > MAX_LITERAL_COLUMNS || new Set(keys).size !== keys.length) {
    return null;
  }
  return compiledShape('{' + keys.map((k) => literalKey(k) + ': reader.value()').join(', ') + '}');
}

function arrayFactory(columnCount) {
  if (columnCount > MAX_LITERAL_COLUMNS) {
    return null;
  }
  return compiledShape('[' + new Array(columnCount).fill('reader.value()').join(', ') + ']');
}

// Decodes rows [from, to) of a decode job; the job's reader carries the
// position from one range to the next.
function readRows(job, from, to) {
  const { reader, rows, columnCount, shape } = job;
  const make = shape.make;
  if (make !== null && columnCount > 0) {
    for (let r = from; r < to; r++) {
      rows[r] = make(reader);
    }
    return;
  }
  for (let r = from; r < to; r++) {
    const row = shape.newRow();
    for (let c = 0; c < columnCount; c++) {
      shape.put(row, c, reader.value());
    }
    rows[r] = row;
  }
}

function arrayShape(columnCount) {
  return {
    make: arrayFactory(columnCount),
    newRow: () => new Array(columnCount),
    put: (row, c, value) => { row[c] = value; },
  };
}

function objectShape(keys) {
  return {
    make: objectFactory(keys),
    newRow: () => ({}),
    put: (row, c, value) => { row[keys[c]] = value; },
  };
}

// Table objects are made when a row first meets one of their columns, in
// the same order as the native path makes them.
function nestedShape(keys, tables) {
  const { tableOf, tableKeys } = nestingOf(tables);
  const current = new Array(tableKeys.length);
  return {
    make: null,
    newRow: () => {
      current.fill(undefined);
      return {};
    },
    put: (row, c, value) => {
      const t = tableOf[c];
      if (t < 0) {
        row[keys[c]] = value;
        return;
      }
      let target = current[t];
      if (target === undefined) {
        target = current[t] = {};
        row[tableKeys[t]] = target;
      }
      target[keys[c]] = value;
    },
  };
}

function newShape(opts, state, columnCount) {
  if (opts.rowsAsArray) {
    return arrayShape(columnCount);
  }
  if (opts.nestTables) {
    return nestedShape(state.names, state.tables);
  }
  return objectShape(state.names);
}

function sameNames(a, b) {
  if (a.length !== b.length) return false;
  for (let i = 0; i < a.length; i++) {
    if (a[i] !== b[i]) return false;
  }
  return true;
}

// The shape of the last plain decode is kept: point queries and batches of
// one iteration decode the same columns again and again. Nested shapes hold
// per-row state and are always made anew.
let lastShape = null;

function shapeFor(options, state, columnCount) {
  const opts = options || {};
  if (opts.nestTables && !opts.rowsAsArray) {
    return newShape(opts, state, columnCount);
  }
  const asArray = Boolean(opts.rowsAsArray);
  if (lastShape !== null && lastShape.asArray === asArray && sameNames(lastShape.names, state.names)) {
    return lastShape.shape;
  }
  const shape = newShape(opts, state, columnCount);
  lastShape = { asArray, names: state.names, shape };
  return shape;
}

function bufferDecode(input, options) {
  const buffer = toBuffer(input);
  const view = new DataView(buffer.buffer, buffer.byteOffset, buffer.byteLength);
  return startDecode(buffer, view, buffer.length, options);
}

// Checks the header and reads the name sections of the first size bytes;
// the rows are read later, at once or in slices.
function startDecode(buffer, view, size, options) {
  const { rowCount, columnCount } = readHeader(view, size);
  const state = { buffer, view, end: size, pos: 0, names: null, tables: null };
  state.pos = readNames(state, columnCount);
  return {
    reader: new ItemReader(buffer, view, state.end, state.pos),
    rows: null,
    rowCount,
    columnCount,
    shape: shapeFor(options, state, columnCount),
  };
}

// Sized once: the header's row count has been checked against the buffer.
function allocateRows(job) {
  job.rows = new Array(job.rowCount);
}

function finishDecode(job) {
  const { reader } = job;
  if (reader.pos !== reader.end) {
    throw malformed((reader.end - reader.pos) + ' bytes left after the last row');
  }
  return job.rows;
}

// Returns the array of rows held in buffer; options: { rowsAsArray,
// nestTables }, as given to the execute that produced the buffer.
function decode(input, options) {
  return decodeAll(bufferDecode(input, options));
}

function decodeAll(job) {
  allocateRows(job);
  readRows(job, 0, job.rowCount);
  return finishDecode(job);
}

// The area execInternal copies a small plain result into (its argument after
// the callback); the call, or its callback, then gets the area and decodes it
// at once with decodeArea: a Buffer per call costs more than the rest of a
// point query's result. Values never share its memory, so the next call can
// reuse it.
const resultArea = new ArrayBuffer(4096);
const areaBytes = Buffer.from(resultArea);
const areaView = new DataView(resultArea);

function decodeArea() {
  const size = Math.min(areaView.getUint32(0, true), resultArea.byteLength);
  return decodeAll(startDecode(areaBytes, areaView, size, undefined));
}

const SLICE_ROWS = 2048;
const SLICE_MILLISECONDS = 8;

// Decodes in slices of a few milliseconds with the event loop running
// before and between them, so a large result does not stall timers and I/O; callback(err, rows).
function decodeAsync(input, options, callback) {
  let job;
  try {
    job = bufferDecode(input, options);
  } catch (err) {
    callback(err);
    return;
  }
  let next = 0;
  const step = () => {
    let rows;
    try {
      const deadline = Date.now() + SLICE_MILLISECONDS;
      while (next < job.rowCount && Date.now() < deadline) {
        const to = Math.min(job.rowCount, next + SLICE_ROWS);
        readRows(job, next, to);
        next = to;
      }
      if (next < job.rowCount) {
        setImmediate(step);
        return;
      }
      rows = finishDecode(job);
    } catch (err) {
      callback(err);
      return;
    }
    callback(undefined, rows);
  };
  // A small result is delivered at once, in the order the calls were made.
  // A larger one starts in loop turns of its own, since the completion that
  // delivered it has taken this one: first its row array (a large one takes
  // milliseconds to allocate), then the slices.
  if (job.rowCount <= SLICE_ROWS) {
    allocateRows(job);
    step();
    return;
  }
  setImmediate(() => {
    allocateRows(job);
    setImmediate(step);
  });
}

module.exports = { decode, decodeAsync, decodeArea, resultArea };
