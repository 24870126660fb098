'use strict';
// Promise forms of the connection, statement and result set. Each method is
// built on the native callback form, so the work stays on the module's
// worker threads; rejections are the driver's own Error objects with the
// stack of the caller instead of the completion pipe's.
const { promisify } = require('util');
const pipeline = promisify(require('stream').pipeline);
const zelk = require('./index');
const streams = require('./streams');

const INTERRUPT_RETRY_MS = 10;

// One promise operation of a connection (or of its statements and result
// sets). Native jobs of a connection run one after another in call order,
// so the oldest unsettled operation is the one the library is running.
class Operation {
  constructor(queue, interrupt) {
    this.queue = queue;
    this.interrupt = interrupt;
    this.abortRequested = false;
    this.settled = false;
    this.timer = null;
    this.signal = null;
    this.onAbort = null;
  }

  watch(signal) {
    this.signal = signal;
    this.onAbort = () => {
      this.abortRequested = true;
      this.queue.interruptIfRunning(this);
    };
    signal.addEventListener('abort', this.onAbort, { once: true });
  }

  // The abort can reach the library just before the job's call starts, when
  // it is lost; repeating it until the job settles closes that gap.
  interruptRepeatedly() {
    if (this.settled) return;
    this.interrupt();
    this.timer = setTimeout(() => {
      this.timer = null;
      this.interruptRepeatedly();
    }, INTERRUPT_RETRY_MS);
    this.timer.unref();
  }

  settle() {
    this.settled = true;
    if (this.timer) clearTimeout(this.timer);
    if (this.signal) this.signal.removeEventListener('abort', this.onAbort);
  }
}

class OperationQueue {
  constructor() {
    this.pending = [];
  }

  begin(interrupt) {
    const operation = new Operation(this, interrupt);
    this.pending.push(operation);
    return operation;
  }

  end(operation) {
    operation.settle();
    const index = this.pending.indexOf(operation);
    if (index >= 0) this.pending.splice(index, 1);
    if (this.pending.length > 0) this.interruptIfRunning(this.pending[0]);
  }

  interruptIfRunning(operation) {
    if (operation.settled || !operation.abortRequested || operation.timer) return;
    if (this.pending[0] === operation) operation.interruptRepeatedly();
  }
}

// Captures the caller's stack, above the public method `fn`.
function callSite(fn) {
  const holder = {};
  Error.captureStackTrace(holder, fn);
  return holder.stack;
}

function withCallSite(err, site) {
  if (err instanceof Error && site) {
    const frames = site.slice(site.indexOf('\n'));
    err.stack = `${err.name}: ${err.message}${frames}`;
  }
  return err;
}

function abortedBeforeStart(signal) {
  const reason = signal.reason;
  if (reason instanceof Error) return reason;
  const err = new Error('The operation was aborted');
  err.name = 'AbortError';
  err.code = 'ABORT_ERR';
  err.cause = reason;
  return err;
}

function signalOf(options) {
  const signal = options && options.signal;
  if (signal === undefined || signal === null) return null;
  if (typeof signal.aborted !== 'boolean' || typeof signal.addEventListener !== 'function') {
    throw new TypeError('options.signal must be an AbortSignal');
  }
  return signal;
}

// The native options parser sees only its own keys.
function nativeOptions(options) {
  if (options === null || typeof options !== 'object' || !('signal' in options)) return options;
  const copy = Object.assign({}, options);
  delete copy.signal;
  return copy;
}

// Runs target[method](...args, callback) as a promise. The operation is
// registered with the connection's queue, which tells when it is the one
// running, so that an abort never interrupts someone else's statement.
function run(owner, site, target, method, args, options) {
  let signal;
  try {
    signal = signalOf(options);
  } catch (err) {
    return Promise.reject(withCallSite(err, site));
  }
  if (signal && signal.aborted) return Promise.reject(withCallSite(abortedBeforeStart(signal), site));
  const operation = owner.operations.begin(signal ? () => owner.interrupt() : null);
  return new Promise((resolve, reject) => {
    const finish = (err, value) => {
      owner.operations.end(operation);
      if (err) reject(withCallSite(err, site));
      else resolve(value);
    };
    if (signal) operation.watch(signal);
    try {
      target[method](...args, finish);
    } catch (err) {
      finish(err);
    }
  });
}

// Each wrapper's plain native methods, in one table: `forwarded` run as they
// are; `promised` (name: [native name, argument count]) become promises.
// Methods that do more than that are written out in the classes.
const METHODS = {
  ResultSet: {
    forwarded: [
      'isClosed', 'getRowCount', 'getColumnCount', 'getColumnName', 'getColumnInfo', 'getValueLength',
      'hasNextResult', 'getServerCPUTime', 'getServerMemoryUsage', 'getServerProcessingTime', 'isNull',
    ],
    promised: {
      close: ['close', 0], next: ['next', 0], nextResult: ['nextResult', 0], getValue: ['getValue', 1],
      getData: ['getData', 5],
    },
  },
  Statement: {
    forwarded: [
      'isValid', 'getParameterInfo', 'getParameterLength', 'isParameterNull', 'functionCode', 'getColumnInfo',
      'getPrintLines', 'getRowStatus', 'getServerCPUTime', 'getServerMemoryUsage', 'getServerProcessingTime',
      'setPacketSize', 'getPacketSize', 'getStatementHash', 'setTimeout',
    ],
    promised: {
      drop: ['drop', 0], getParameterValue: ['getParameterValue', 1],
      sendParameterData: ['sendParameterData', 2], getData: ['getData', 5],
    },
  },
  Connection: {
    forwarded: [
      'getAutoCommit', 'setAutoCommit', 'getClientInfo', 'setClientInfo', 'onTrace', 'setRowSetSize', 'state',
      'getPooledConnectionCount', 'getOpenConnectionCount', 'getWarnings',
    ],
    promised: {
      connect: ['connect', 1], disconnect: ['disconnect', 0], close: ['disconnect', 0], end: ['disconnect', 0],
      commit: ['commit', 0], rollback: ['rollback', 0], clearPool: ['clearPool', 0],
    },
  },
};

function addMethods(Class, { forwarded, promised }) {
  for (const name of forwarded) {
    Class.prototype[name] = function forwardedMethod(...args) {
      return this.native[name](...args);
    };
  }
  for (const [name, [nativeName, count]] of Object.entries(promised)) {
    Class.prototype[name] = function promisedMethod(...args) {
      const nativeArgs = Array.from({ length: count }, (unused, i) => args[i]);
      return run(this, callSite(promisedMethod), this.native, nativeName, nativeArgs);
    };
  }
}

class ResultSet {
  constructor(nativeResultSet, statement) {
    this.native = nativeResultSet;
    this.statement = statement;
    this.operations = statement.operations;
  }

  interrupt() {
    this.statement.interrupt();
  }

  getValues(options) {
    const args = options === undefined ? [] : [options];
    return run(this, callSite(this.getValues), this.native, 'getValues', args);
  }

  // Rows from the current position. options.signal interrupts the fetch
  // that is running; the finally closes the result set on every exit.
  async* rows(options) {
    const site = callSite(this.rows);
    const valuesOptions = { asArray: Boolean(options && options.asArray) };
    let failed = true;
    try {
      while (await run(this, site, this.native, 'next', [], options)) {
        yield await run(this, site, this.native, 'getValues', [valuesOptions], options);
      }
      failed = false;
    } finally {
      const closing = this.isClosed() ? Promise.resolve() : this.close();
      if (failed) await closing.catch(() => {});
      else await closing;
    }
  }

  [Symbol.asyncIterator]() {
    return this.rows()[Symbol.asyncIterator]();
  }

  createReadStream(options) {
    return streams.createRowStream(this.native, options);
  }

  createDataStream(colIndex, options) {
    return streams.createDataStream(this.native, colIndex, options);
  }
}


class Statement {
  constructor(nativeStatement, connection) {
    this.native = nativeStatement;
    this.connection = connection;
    this.operations = connection.operations;
  }

  interrupt() {
    this.connection.interrupt();
  }

  exec(params, options) {
    const site = callSite(this.exec);
    const args = [params, nativeOptions(options)];
    return run(this, site, this.native, 'exec', args, options);
  }

  execute(params, options) {
    return this.exec(params, options);
  }

  async execQuery(params, options) {
    const site = callSite(this.execQuery);
    const args = params === undefined ? [] : [params];
    const nativeResultSet = await run(this, site, this.native, 'execQuery', args, options);
    return new ResultSet(nativeResultSet, this);
  }

  executeQuery(params, options) {
    return this.execQuery(params, options);
  }

  execBatch(rows, options) {
    return run(this, callSite(this.execBatch), this.native, 'execBatch', [rows], options);
  }

  executeBatch(rows, options) {
    return this.execBatch(rows, options);
  }

  createParameterStream(paramIndex, options) {
    return streams.createParameterStream(this.native, paramIndex, options);
  }

  async sendParameterStream(paramIndex, readable) {
    const site = callSite(this.sendParameterStream);
    try {
      await pipeline(readable, streams.createParameterStream(this.native, paramIndex));
    } catch (err) {
      throw withCallSite(err, site);
    }
  }

  createDataStream(paramIndex, options) {
    return streams.createDataStream(this.native, paramIndex, options);
  }
}


class Connection {
  constructor(nativeConnection) {
    this.native = nativeConnection;
    this.operations = new OperationQueue();
    this.transactionActive = false;
  }

  // Synchronous on purpose: the native abort takes no lock and interrupts
  // the call that is running on this connection right now.
  interrupt() {
    try {
      this.native.abort();
    } catch (err) {
      // Not connected: nothing runs that could be interrupted.
    }
  }

  // Not queued behind this connection's work: it runs beside it.
  abort() {
    const site = callSite(this.abort);
    return new Promise((resolve, reject) => {
      const finish = (err) => (err ? reject(withCallSite(err, site)) : resolve());
      try {
        this.native.abort(finish);
      } catch (err) {
        finish(err);
      }
    });
  }

  exec(sql, params, options) {
    const site = callSite(this.exec);
    const args = [sql, params, nativeOptions(options)];
    return run(this, site, this.native, 'exec', args, options);
  }

  execute(sql, params, options) {
    return this.exec(sql, params, options);
  }

  async prepare(sql) {
    const nativeStatement = await run(this, callSite(this.prepare), this.native, 'prepare', [sql]);
    return new Statement(nativeStatement, this);
  }

  // Rows of a query one at a time; the statement is dropped when the loop ends.
  async* iterate(sql, params, options) {
    const statement = await this.prepare(sql);
    try {
      const resultSet = await statement.execQuery(params, options);
      yield* resultSet.rows(options);
    } finally {
      await statement.drop();
    }
  }

  async transaction(fn) {
    const site = callSite(this.transaction);
    if (typeof fn !== 'function') throw new TypeError('transaction(fn): fn must be a function');
    if (this.transactionActive) {
      throw withCallSite(new Error('A transaction is already running on this connection'), site);
    }
    const previousAutoCommit = this.native.getAutoCommit();
    this.transactionActive = true;
    try {
      this.native.setAutoCommit(false);
      return await this.runTransaction(fn);
    } finally {
      this.transactionActive = false;
      restoreAutoCommit(this.native, previousAutoCommit);
    }
  }

  async runTransaction(fn) {
    let result;
    try {
      result = await fn(this);
    } catch (err) {
      try {
        await this.rollback();
      } catch (rollbackError) {
        if (err !== null && typeof err === 'object') err.rollbackError = rollbackError;
      }
      throw err;
    }
    await this.commit();
    return result;
  }
}


for (const [name, Class] of Object.entries({ ResultSet, Statement, Connection })) addMethods(Class, METHODS[name]);

// A connection lost inside the transaction cannot take the mode back.
function restoreAutoCommit(nativeConnection, flag) {
  if (nativeConnection.state() !== 'connected') return;
  nativeConnection.setAutoCommit(flag);
}

function createConnection(...args) {
  return new Connection(zelk.createConnection(...args));
}

async function connect(params) {
  const connection = createConnection();
  await connection.connect(params);
  return connection;
}

module.exports = {
  createConnection,
  createClient: createConnection,
  connect,
  getDriverVersion: zelk.getDriverVersion,
  setConnectionPoolLimit: zelk.setConnectionPoolLimit,
  Connection,
  Statement,
  ResultSet,
};
