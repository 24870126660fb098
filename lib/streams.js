'use strict';
// Streams and async iteration over the callback objects of the native module.
// Every database call here goes through the callback form, so fetching and
// large-object I/O stay on the module's worker threads.
const { Readable, Writable, pipeline } = require('stream');
const { decode } = require('./decoder');

const DEFAULT_CHUNK_SIZE = 64 * 1024;
const FIRST_BATCH_ROWS = 1;
const MAX_BATCH_ROWS = 512;

// Rows read ahead with fetchRows, one worker round trip per batch. Batches
// start small, so a loop that stops early reads little, and grow to
// hundreds of rows for a long one.
class RowBatches {
  constructor(options) {
    this.decodeOptions = { rowsAsArray: Boolean(options && options.asArray) };
    this.size = FIRST_BATCH_ROWS;
    this.rows = [];
    this.index = 0;
    this.ended = false;
  }

  get buffered() {
    return this.rows.length - this.index;
  }

  // Decodes one batch (an empty array when the result has no columns); a
  // batch shorter than asked for was the last.
  take(transport) {
    const rows = Array.isArray(transport) ? transport : decode(transport, this.decodeOptions);
    this.ended = rows.length < this.size;
    this.size = Math.min(this.size * 4, MAX_BATCH_ROWS);
    this.rows = rows;
    this.index = 0;
    return rows;
  }

  shift() {
    const row = this.rows[this.index];
    this.rows[this.index++] = undefined;
    return row;
  }

  // callback(err) once the next batch is buffered.
  fetch(resultSet, callback) {
    resultSet.fetchRows(this.size, (err, transport) => {
      if (err) return callback(err);
      try {
        this.take(transport);
      } catch (decodeError) {
        return callback(decodeError);
      }
      return callback(null);
    });
  }
}

function closeResultSet(resultSet, callback) {
  if (resultSet.isClosed()) return process.nextTick(callback, null);
  return resultSet.close((err) => callback(err || null));
}

function promisify(fn) {
  return new Promise((resolve, reject) => fn((err, value) => (err ? reject(err) : resolve(value))));
}

// An async generator of rows; its finally closes the result set, so a
// `break` or a throw in the loop body releases it too.
async function* iterateRows(resultSet, options) {
  const batches = new RowBatches(options);
  let failed = true;
  try {
    do {
      await promisify((cb) => batches.fetch(resultSet, cb));
      while (batches.buffered > 0) yield batches.shift();
    } while (!batches.ended);
    failed = false;
  } finally {
    const closing = promisify((cb) => closeResultSet(resultSet, cb));
    if (failed) await closing.catch(() => {});
    else await closing;
  }
}

// Rows in object mode, fetched in batches. Rows are pushed only while
// Readable's buffer is below highWaterMark, which is the back-pressure; the
// rest of a batch waits for the next _read.
class RowReadable extends Readable {
  constructor(resultSet, options) {
    const opts = options || {};
    super({ objectMode: true, highWaterMark: opts.highWaterMark });
    this.resultSet = resultSet;
    this.batches = new RowBatches(opts);
    this.fetching = false;
  }

  _read() {
    if (this.fetching) return;
    while (this.batches.buffered > 0) {
      if (!this.push(this.batches.shift())) return;
    }
    if (this.batches.ended) {
      this.finish();
      return;
    }
    this.fetching = true;
    this.batches.fetch(this.resultSet, (err) => {
      this.fetching = false;
      if (this.destroyed) return;
      if (err) return this.destroy(err);
      return this._read();
    });
  }

  finish() {
    this.fetching = true;
    closeResultSet(this.resultSet, (closeErr) => {
      if (this.destroyed) return;
      if (closeErr) return this.destroy(closeErr);
      return this.push(null);
    });
  }

  _destroy(err, callback) {
    closeResultSet(this.resultSet, (closeErr) => callback(err || closeErr));
  }
}

function checkChunkSize(chunkSize) {
  const size = chunkSize === undefined ? DEFAULT_CHUNK_SIZE : chunkSize;
  if (!Number.isInteger(size) || size < 1 || size > 0x7fffffff) {
    throw new RangeError('chunkSize must be an integer from 1 to 2147483647');
  }
  return size;
}

// The bytes of one large value, read with getData(index, offset, ...) from a
// result set's current row or from a statement's output parameter. Each
// chunk gets a buffer of its own, because the consumer may still hold the last.
class DataReadable extends Readable {
  constructor(source, index, options) {
    const opts = options || {};
    super({ highWaterMark: opts.highWaterMark });
    this.source = source;
    this.index = index;
    this.chunkSize = checkChunkSize(opts.chunkSize);
    this.offset = opts.offset || 0;
  }

  _read() {
    const buffer = Buffer.allocUnsafe(this.chunkSize);
    this.source.getData(this.index, this.offset, buffer, 0, this.chunkSize, (err, count) => {
      if (this.destroyed) return;
      if (err) return this.destroy(err);
      if (!count) return this.push(null);
      this.offset += count;
      return this.push(count === buffer.length ? buffer : buffer.subarray(0, count));
    });
  }
}

// Feeds a parameter bound with {sendParameterData: true}: every chunk goes
// to sendParameterData, and the end of the stream ends the parameter (null),
// which is when the client library runs the statement once all such
// parameters are complete.
class ParameterWritable extends Writable {
  constructor(statement, index, options) {
    super({ highWaterMark: (options && options.highWaterMark) || undefined });
    this.statement = statement;
    this.index = index;
  }

  _write(chunk, encoding, callback) {
    if (chunk.length === 0) return callback();
    return this.statement.sendParameterData(this.index, chunk, (err) => callback(err || null));
  }

  _final(callback) {
    this.statement.sendParameterData(this.index, null, (err) => callback(err || null));
  }
}

function createRowStream(resultSet, options) {
  return new RowReadable(resultSet, options);
}

function createDataStream(source, index, options) {
  return new DataReadable(source, index, options);
}

function createParameterStream(statement, index, options) {
  return new ParameterWritable(statement, index, options);
}

function sendParameterStream(statement, index, readable, callback) {
  return pipeline(readable, new ParameterWritable(statement, index), (err) => callback(err || null));
}

module.exports = {
  RowBatches,
  iterateRows,
  createRowStream,
  createDataStream,
  createParameterStream,
  sendParameterStream,
  RowReadable,
  DataReadable,
  ParameterWritable,
};
