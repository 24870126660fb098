'use strict';
const { native, install } = require('./native');
const { decode } = require('./decoder');

// Splits (sql[, params][, options][, callback]) as scripts write it.
function splitExecArgs(args) {
  const list = Array.prototype.slice.call(args);
  const callback = typeof list[list.length - 1] === 'function' ? list.pop() : undefined;
  return { params: list[0], options: list[1], callback };
}

function optionsOf(options) {
  return options !== null && typeof options === 'object' ? options : {};
}

// A Buffer from execInternal is the binary transport; rows are decoded here.
function shapeResult(result, options) {
  return Buffer.isBuffer(result) ? decode(result, optionsOf(options)) : result;
}

function wrapCallback(callback, options) {
  return function execCallback(err, result) {
    if (err) return callback(err);
    let rows;
    try {
      rows = shapeResult(result, options);
    } catch (decodeError) {
      return callback(decodeError);
    }
    return arguments.length > 1 ? callback(undefined, rows) : callback(undefined);
  };
}

function connectionExec(sql) {
  const { params, options, callback } = splitExecArgs(Array.prototype.slice.call(arguments, 1));
  if (callback) {
    return this.execInternal(sql, params, options, wrapCallback(callback, options));
  }
  return shapeResult(this.execInternal(sql, params, options, undefined), options);
}

function statementExec() {
  const { params, options, callback } = splitExecArgs(arguments);
  if (callback) {
    return this.execInternal(params, options, wrapCallback(callback, options));
  }
  return shapeResult(this.execInternal(params, options, undefined), options);
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
