'use strict';
const { native, install } = require('./native');
const { decode, decodeAsync } = require('./decoder');
const { connectParams } = require('./target');

// Splits (sql[, params][, options][, callback]) as scripts write it.
function splitExecArgs(args) {
  const list = Array.prototype.slice.call(args);
  const callback = typeof list[list.length - 1] === 'function' ? list.pop() : undefined;
  return { params: list[0], options: list[1], callback };
}

// A Buffer from execInternal is the binary transport; rows are decoded here
// in the shape the native side read from the options and marked on it.
function shapeOf(transport) {
  return { rowsAsArray: transport.rowsAsArray, nestTables: transport.nestTables };
}

function shapeResult(result) {
  return Buffer.isBuffer(result) ? decode(result, shapeOf(result)) : result;
}

// Rows of the binary transport are decoded in slices between which the
// event loop runs, so a large result never stalls the process.
function wrapCallback(callback) {
  return function execCallback(err, result) {
    if (err) return callback(err);
    if (Buffer.isBuffer(result)) {
      return decodeAsync(result, shapeOf(result), (decodeError, rows) =>
        (decodeError ? callback(decodeError) : callback(undefined, rows)));
    }
    return arguments.length > 1 ? callback(undefined, result) : callback(undefined);
  };
}

function execWith(target, args, callback) {
  const result = target.execInternal(...args, callback ? wrapCallback(callback) : undefined);
  return callback ? result : shapeResult(result);
}

function connectionExec(sql) {
  const { params, options, callback } = splitExecArgs(Array.prototype.slice.call(arguments, 1));
  return execWith(this, [sql, params, options], callback);
}

function statementExec() {
  const { params, options, callback } = splitExecArgs(arguments);
  return execWith(this, [params, options], callback);
}

// The first argument, unless it is the callback, is the connect target.
function withTarget(args) {
  const list = Array.prototype.slice.call(args);
  if (list.length > 0 && typeof list[0] !== 'function') list[0] = connectParams(list[0]);
  return list;
}

const nativeConnect = native.Connection.prototype.connect;

// A target that cannot be read fails like the native argument checks: to
// the callback after connect has returned, else thrown.
function connectToTarget() {
  const callback = arguments[arguments.length - 1];
  let args;
  try {
    args = withTarget(arguments);
  } catch (err) {
    if (typeof callback !== 'function') throw err;
    process.nextTick(callback, err);
    return undefined;
  }
  return nativeConnect.apply(this, args);
}

function createConnection() {
  return native.createConnection(...withTarget(arguments));
}

function addConnectionMethods(connection) {
  // connect is read-only on the prototype, so the override is defined, not assigned.
  Object.defineProperty(connection, 'connect', { value: connectToTarget, writable: true, configurable: true });
  connection.exec = connectionExec;
  connection.execute = connectionExec;
}

function addStatementMethods(statement) {
  statement.exec = statementExec;
  statement.execute = statementExec;
}

install(addConnectionMethods, addStatementMethods);

module.exports = {
  createConnection,
  createClient: createConnection,
  getDriverVersion: native.getDriverVersion,
  setConnectionPoolLimit: native.setConnectionPoolLimit,
  Connection: native.Connection,
  Statement: native.Statement,
  ResultSet: native.ResultSet,
};
