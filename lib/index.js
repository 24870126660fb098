'use strict';
const { native, install } = require('./native');
const { decode, decodeAsync, decodeArea, resultArea } = require('./decoder');
const { connectParams } = require('./target');

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
    if (result === resultArea) return deliverArea(callback);
    if (Buffer.isBuffer(result)) {
      return decodeAsync(result, shapeOf(result), (decodeError, rows) =>
        (decodeError ? callback(decodeError) : callback(undefined, rows)));
    }
    return arguments.length > 1 ? callback(undefined, result) : callback(undefined);
  };
}

// A result in resultArea is decoded before anything else can run.
function deliverArea(callback) {
  let rows;
  try {
    rows = decodeArea();
  } catch (err) {
    return callback(err);
  }
  return callback(undefined, rows);
}

function nativeCallback(callback) {
  return callback ? wrapCallback(callback) : undefined;
}

// A small plain result comes back in resultArea, to the callback if any.
function execResult(result, callback) {
  if (callback) return result;
  return result === resultArea ? decodeArea() : shapeResult(result);
}

// (sql[, params][, options][, callback]) as scripts write it, read in place:
// copying and spreading the arguments cost more than some native calls.
// count: the arguments after sql; last: the final one.
function trailingCallback(count, last) {
  return count > 0 && typeof last === 'function' ? last : undefined;
}

// The argument at position (0 params, 1 options) unless the callback took it.
function given(value, position, count, callback) {
  return position < (callback ? count - 1 : count) ? value : undefined;
}

function connectionExec(sql, params, options) {
  const count = arguments.length - 1;
  const callback = trailingCallback(count, arguments[count]);
  const result = this.execInternal(sql, given(params, 0, count, callback), given(options, 1, count, callback),
    nativeCallback(callback), resultArea);
  return execResult(result, callback);
}

function statementExec(params, options) {
  const count = arguments.length;
  const callback = trailingCallback(count, arguments[count - 1]);
  const result = this.execInternal(given(params, 0, count, callback), given(options, 1, count, callback),
    nativeCallback(callback), resultArea);
  return execResult(result, callback);
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
