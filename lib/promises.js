'use strict';
// Promise forms of the connection, statement and result set. Each method is
// built on the native callback form, so the work stays on the module's
// worker threads; rejections are the driver's own Error objects with the
// stack of the caller instead of the completion pipe's.
const { promisify } = require('util');
const pipeline = promisify(require('stream').pipeline);
const zelk = require('./index');
const streams = require('./streams');
const { atCaller } = require('./errors');
const transactions = require('./transaction');
const { createPool, Pool } = require('./pool');
const { namesServer } = require('./target');

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
    this.idleWaiters = [];
  }

  // Settles when no operation is pending.
  idle() {
    if (this.pending.length === 0) return Promise.resolve();
    return new Promise((resolve) => this.idleWaiters.push(resolve));
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
    if (this.pending.length > 0) {
      this.interruptIfRunning(this.pending[0]);
      return;
    }
    const waiters = this.idleWaiters;
    this.idleWaiters = [];
    for (const resolve of waiters) resolve();
  }

  interruptIfRunning(operation) {
    if (operation.settled || !operation.abortRequested || operation.timer) return;
    if (this.pending[0] === operation) operation.interruptRepeatedly();
  }
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
// Awaited here, so that a rejection can be pointed at the script's call.
async function run(owner, target, method, args, options) {
  try {
    return await completion(owner, target, method, args, options);
  } catch (err) {
    throw atCaller(err);
  }
}

function completion(owner, target, method, args, options) {
  const signal = signalOf(options);
  if (signal && signal.aborted) throw abortedBeforeStart(signal);
  const queue = owner.operations;
  const operation = queue.begin(signal ? () => owner.interrupt() : null);
  return new Promise((resolve, reject) => {
    const finish = (err, value) => {
      queue.end(operation);
      if (err) reject(err);
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
    // connect, disconnect, commit and rollback wait for a running transaction.
    promised: { clearPool: ['clearPool', 0] },
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
      return run(this, this.native, nativeName, nativeArgs);
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
    return run(this, this.native, 'getValues', args);
  }

  // Rows from the current position, read in batches. options.signal
  // interrupts the fetch that is running; the finally closes the result set
  // on every exit.
  async* rows(options) {
    const batches = new streams.RowBatches(options);
    let failed = true;
    try {
      do {
        const transport = await run(this, this.native, 'fetchRows', [batches.size], options);
        for (const row of batches.take(transport)) yield row;
      } while (!batches.ended);
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


// What the SQL itself tells about its result: a SELECT has rows and no
// inserted row id; only a write (possibly behind WITH) moves the row id.
function isSelect(sql) {
  return typeof sql === 'string' && /^\s*select\b/i.test(sql);
}

function isWrite(sql) {
  return typeof sql === 'string' && /^\s*(?:insert|replace|update|delete|with)\b/i.test(sql);
}

function firstValue(row) {
  if (Array.isArray(row)) return row[0];
  for (const key in row) return row[key];
  return undefined;
}

const LAST_ROWID_SQL = 'SELECT last_insert_rowid() AS id';

// Runs the statement and shapes { rows, changes, lastInsertRowid }. The
// embedded database's row id is read by a second statement queued right
// behind the first, so nothing of the connection runs in between (a native
// row id would save the second call). The server's comes from RETURNING.
async function outcome(connection, start, sql) {
  // Known after connect: no await, so nothing can slip in before `start`.
  const { backend } = connection.base.info || await connection.describe();
  const result = start();
  const rowid = backend === 'sqlite' && isWrite(sql) ? connection.call('exec', [LAST_ROWID_SQL]) : null;
  const [value, rowidRows] = await Promise.all([result, rowid]);
  const rows = Array.isArray(value) ? value : undefined;
  let lastInsertRowid;
  if (rowidRows) lastInsertRowid = rowidRows[0].id;
  else if (rows && rows.length > 0 && !isSelect(sql)) lastInsertRowid = firstValue(rows[rows.length - 1]);
  const changes = typeof value === 'number' ? value : rows && !isSelect(sql) ? rows.length : 0;
  return { rows, changes, lastInsertRowid };
}

function firstRow(value) {
  return Array.isArray(value) ? value[0] : undefined;
}

function allRows(value) {
  return Array.isArray(value) ? value : [];
}

class Statement {
  constructor(nativeStatement, connection, sql) {
    this.native = nativeStatement;
    this.connection = connection;
    this.operations = connection.operations;
    this.sql = sql;
  }

  interrupt() {
    this.connection.interrupt();
  }

  exec(params, options) {
    const args = [params, nativeOptions(options)];
    return this.connection.ordered(() => run(this, this.native, 'exec', args, options));
  }

  execute(params, options) {
    return this.exec(params, options);
  }

  query(params, options) {
    const args = [params, nativeOptions(options)];
    return this.connection.ordered(() => outcome(this.connection,
      () => run(this, this.native, 'exec', args, options), this.sql));
  }

  async run(params, options) {
    const { changes, lastInsertRowid } = await this.query(params, options);
    return { changes, lastInsertRowid };
  }

  async get(params, options) {
    return firstRow(await this.exec(params, options));
  }

  async all(params, options) {
    return allRows(await this.exec(params, options));
  }

  async execQuery(params, options) {
    const args = params === undefined ? [] : [params];
    const nativeResultSet = await this.connection.ordered(() => run(this, this.native, 'execQuery', args, options));
    return new ResultSet(nativeResultSet, this);
  }

  executeQuery(params, options) {
    return this.execQuery(params, options);
  }

  execBatch(rows, options) {
    return this.connection.ordered(() => run(this, this.native, 'execBatch', [rows], options));
  }

  executeBatch(rows, options) {
    return this.execBatch(rows, options);
  }

  createParameterStream(paramIndex, options) {
    return streams.createParameterStream(this.native, paramIndex, options);
  }

  async sendParameterStream(paramIndex, readable) {
    try {
      await pipeline(readable, streams.createParameterStream(this.native, paramIndex));
    } catch (err) {
      throw atCaller(err);
    }
  }

  createDataStream(paramIndex, options) {
    return streams.createDataStream(this.native, paramIndex, options);
  }
}


// Which database a connection reaches: the embedded one answers the first
// probe, the server the second.
const VERSION_PROBES = {
  sqlite: 'SELECT sqlite_version() AS v',
  postgresql: "SELECT current_setting('server_version') AS v",
};

// Asks the backend the connect target points at first, so that a server
// normally sees no failed probe; the other is the fallback.
async function probeBackend(connection, serverFirst) {
  const order = serverFirst ? ['postgresql', 'sqlite'] : ['sqlite', 'postgresql'];
  try {
    const [row] = await connection.call('exec', [VERSION_PROBES[order[0]]]);
    return { backend: order[0], serverVersion: row.v };
  } catch (otherBackend) {
    const [row] = await connection.call('exec', [VERSION_PROBES[order[1]]]);
    return { backend: order[1], serverVersion: row.v };
  }
}

class Connection {
  constructor(nativeConnection) {
    this.native = nativeConnection;
    this.operations = new OperationQueue();
    // A transaction's view (tx) inherits these; `base` is the connection
    // itself, `claim` the transaction the view belongs to.
    this.base = this;
    this.claim = null;
    this.owner = null;
    this.info = null;
    this.targetsServer = false;
  }

  get backend() {
    return this.base.info ? this.base.info.backend : undefined;
  }

  get serverVersion() {
    return this.base.info ? this.base.info.serverVersion : undefined;
  }

  // Runs `start` once no transaction but this view's own owns the connection.
  ordered(start) {
    return transactions.mayRun(this) ? start() : this.afterTurn(start);
  }

  async afterTurn(start) {
    await transactions.waitTurn(this);
    return start();
  }

  // A native method as a promise, past any transaction's ownership: for the
  // layer's own statements.
  call(method, args) {
    return run(this, this.native, method, args);
  }

  sql(text) {
    return this.call('exec', [text]);
  }

  // { backend, serverVersion }, probed once per session.
  async describe() {
    const base = this.base;
    if (!base.info) base.info = await probeBackend(this, base.targetsServer);
    return base.info;
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

  async connect(params) {
    this.base.info = null;
    this.base.targetsServer = namesServer(params);
    await run(this, this.native, 'connect', [params]);
    await this.describe();
  }

  disconnect() {
    return this.ordered(() => run(this, this.native, 'disconnect', []));
  }

  close() {
    return this.ordered(() => run(this, this.native, 'disconnect', []));
  }

  end() {
    return this.ordered(() => run(this, this.native, 'disconnect', []));
  }

  commit() {
    return this.ordered(() => run(this, this.native, 'commit', []));
  }

  rollback() {
    return this.ordered(() => run(this, this.native, 'rollback', []));
  }

  // Not queued behind this connection's work: it runs beside it.
  async abort() {
    try {
      await new Promise((resolve, reject) => this.native.abort((err) => (err ? reject(err) : resolve())));
    } catch (err) {
      throw atCaller(err);
    }
  }

  exec(sql, params, options) {
    const args = [sql, params, nativeOptions(options)];
    return this.ordered(() => run(this, this.native, 'exec', args, options));
  }

  execute(sql, params, options) {
    return this.exec(sql, params, options);
  }

  // { rows, changes, lastInsertRowid }: rows when the statement returned any.
  query(sql, params, options) {
    const args = [sql, params, nativeOptions(options)];
    return this.ordered(() => outcome(this, () => run(this, this.native, 'exec', args, options), sql));
  }

  async run(sql, params, options) {
    const { changes, lastInsertRowid } = await this.query(sql, params, options);
    return { changes, lastInsertRowid };
  }

  async get(sql, params, options) {
    return firstRow(await this.exec(sql, params, options));
  }

  async all(sql, params, options) {
    return allRows(await this.exec(sql, params, options));
  }

  async prepare(sql) {
    const nativeStatement = await this.ordered(() => run(this, this.native, 'prepare', [sql]));
    return new Statement(nativeStatement, this, sql);
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

  // fn(tx) in a transaction that owns the connection; nested, a savepoint.
  transaction(fn, options) {
    return transactions.transaction(this, fn, options);
  }
}


for (const [name, Class] of Object.entries({ ResultSet, Statement, Connection })) addMethods(Class, METHODS[name]);

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
  createPool: (params, options) => createPool(connect, params, options),
  getDriverVersion: zelk.getDriverVersion,
  setConnectionPoolLimit: zelk.setConnectionPoolLimit,
  Connection,
  Statement,
  ResultSet,
  Pool,
};
