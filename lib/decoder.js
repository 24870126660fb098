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

function readHeader(buffer, view) {
  const size = buffer.length;
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

// Reads the name section (tag 5 only) and the table-name section (tag 1 or
// 5); returns the offset after them.
function readNames(state, columnCount) {
  const { buffer, view, end } = state;
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
  state.names = new Array(columnCount);
  state.tables = new Array(columnCount);
  for (let c = 0; c < columnCount; c++) {
    state.names[c] = readText(false);
  }
  for (let c = 0; c < columnCount; c++) {
    state.tables[c] = readText(true);
  }
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

// Decodes rowCount x columnCount items from state.pos into rows of the
// given shape.
function readRows(state, rowCount, columnCount, shape) {
  const { buffer, view, end } = state;
  let pos = state.pos;
  const rows = [];
  for (let r = 0; r < rowCount; r++) {
    const row = shape.newRow();
    for (let c = 0; c < columnCount; c++) {
      if (pos >= end) {
        throw truncated(pos);
      }
      const start = pos;
      const tag = buffer[pos++];
      let value;
      switch (tag) {
        case TAG_NULL:
          value = null;
          break;
        case TAG_BOOLEAN:
          if (pos + 1 > end) throw truncated(start);
          value = buffer[pos++] !== 0;
          break;
        case TAG_INT32:
          if (pos + 4 > end) throw truncated(start);
          value = view.getInt32(pos, true);
          pos += 4;
          break;
        case TAG_DOUBLE:
          if (pos + 8 > end) throw truncated(start);
          value = view.getFloat64(pos, true);
          pos += 8;
          break;
        case TAG_STRING:
        case TAG_BINARY: {
          if (pos + 4 > end) throw truncated(start);
          const length = view.getUint32(pos, true);
          pos += 4;
          if (length > end - pos) throw truncated(start);
          if (tag === TAG_STRING) {
            value = utf8Slice(buffer, pos, pos + length);
          } else {
            value = Buffer.allocUnsafe(length);
            buffer.copy(value, 0, pos, pos + length);
          }
          pos += length;
          break;
        }
        default:
          throw malformed('unknown tag ' + tag + ' at offset ' + start);
      }
      shape.put(row, c, value);
    }
    rows.push(row);
  }
  state.pos = pos;
  return rows;
}

function arrayShape(columnCount) {
  return {
    newRow: () => new Array(columnCount),
    put: (row, c, value) => { row[c] = value; },
  };
}

function objectShape(keys) {
  return {
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

// Returns the array of rows held in buffer; options: { rowsAsArray,
// nestTables }, as given to the execute that produced the buffer.
function decode(input, options) {
  const buffer = toBuffer(input);
  const view = new DataView(buffer.buffer, buffer.byteOffset, buffer.byteLength);
  const { rowCount, columnCount } = readHeader(buffer, view);
  const state = { buffer, view, end: buffer.length, pos: 0, names: null, tables: null };
  state.pos = readNames(state, columnCount);
  const opts = options || {};
  let shape;
  if (opts.rowsAsArray) {
    shape = arrayShape(columnCount);
  } else if (opts.nestTables) {
    shape = nestedShape(state.names, state.tables);
  } else {
    shape = objectShape(state.names);
  }
  const rows = readRows(state, rowCount, columnCount, shape);
  if (state.pos !== state.end) {
    throw malformed((state.end - state.pos) + ' bytes left after the last row');
  }
  return rows;
}

module.exports = { decode };
