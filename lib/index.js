'use strict';
const { native, install } = require('./native');
const { decode, decodeAsync } = require('./decoder');

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

function addConnectionMethods(connection) {
  connection.exec = connectionExec;
  connection.execute = connectionExec;
}

function addStatementMethods(statement) {
  statement.exec = statementExec;
  statement.execute = statementExec;
}

install(addConnectionMethods, addStatementMethods);

module.exports = {
  createConnection: native.createConnection,
  createClient: native.createClient,
  getDriverVersion: native.getDriverVersion,
  setConnectionPoolLimit: native.setConnectionPoolLimit,
  Connection: native.Connection,
  Statement: native.Statement,
  ResultSet: native.ResultSet,
};
