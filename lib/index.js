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

// The row shape as the native side reads the options: names in any letter
// case, on only for a value whose text is "true" in any case (so 1 and
// "yes" leave it off). The decoder must shape rows the same way, since the
// native side has already written table names for nestTables.
function shapeOf(options) {
  const shape = { rowsAsArray: false, nestTables: false };
  if (options === null || (typeof options !== 'object' && typeof options !== 'function')) return shape;
  for (const name in options) {
    const value = options[name];
    const on = (typeof value === 'string' || typeof value === 'boolean') && String(value).toLowerCase() === 'true';
    const key = name.toLowerCase();
    if (key === 'rowsasarray') shape.rowsAsArray = on;
    else if (key === 'nesttables') shape.nestTables = on;
  }
  return shape;
}

// A Buffer from execInternal is the binary transport; rows are decoded here.
function shapeResult(result, shape) {
  return Buffer.isBuffer(result) ? decode(result, shape) : result;
}

// Rows of the binary transport are decoded in slices between which the
// event loop runs, so a large result never stalls the process.
function wrapCallback(callback, shape) {
  return function execCallback(err, result) {
    if (err) return callback(err);
    if (Buffer.isBuffer(result)) {
      return decodeAsync(result, shape, (decodeError, rows) =>
        (decodeError ? callback(decodeError) : callback(undefined, rows)));
    }
    return arguments.length > 1 ? callback(undefined, result) : callback(undefined);
  };
}

// The shape is read once the native call has accepted the options; the
// callback runs later, so filling it in afterwards is in time. Options that
// throw when read have already made the native call fail (its error is on
// its way), so a throw here must not report a second one.
function execWith(target, args, options, callback) {
  const shape = {};
  const result = target.execInternal(...args, callback ? wrapCallback(callback, shape) : undefined);
  try {
    Object.assign(shape, shapeOf(options));
  } catch (hostileOptions) {
    // The default shape stays.
  }
  return callback ? result : shapeResult(result, shape);
}

function connectionExec(sql) {
  const { params, options, callback } = splitExecArgs(Array.prototype.slice.call(arguments, 1));
  return execWith(this, [sql, params, options], options, callback);
}

function statementExec() {
  const { params, options, callback } = splitExecArgs(arguments);
  return execWith(this, [params, options], options, callback);
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
