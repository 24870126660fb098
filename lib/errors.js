'use strict';
// Errors raised by the JavaScript layer carry the same fields as the native
// ones (code, message, sqlState), and every promise rejection carries the
// stack of the script's call instead of the completion's.

const INVALID_ARGUMENT = -20002;
const NO_CONNECTION = -20006;
// Not a native code: the layer's own, kept apart from the native range.
const OWNED_BY_TRANSACTION = -20100;

function driverError(code, message, sqlState, ErrorClass) {
  const err = new (ErrorClass || Error)(message);
  err.code = code;
  err.sqlState = sqlState || 'HY000';
  return err;
}

function argumentError(message) {
  return driverError(INVALID_ARGUMENT, message, 'HY000', TypeError);
}

// Captures the caller's stack, above the public method `fn`. The frames are
// only formatted when a rejection reads them: most calls succeed, and the
// formatting costs more than the capture.
function callSite(fn) {
  const holder = {};
  Error.captureStackTrace(holder, fn);
  return holder;
}

function withCallSite(err, site) {
  if (err instanceof Error && site) {
    const stack = site.stack;
    const frames = stack.slice(stack.indexOf('\n'));
    err.stack = `${err.name}: ${err.message}${frames}`;
  }
  return err;
}

// A lost session: the server's connection-exception class, or a native
// connection that no longer counts itself connected.
function isConnectionLoss(err, connection) {
  if (err && typeof err.sqlState === 'string' && err.sqlState.startsWith('08')) return true;
  try {
    return connection.state() !== 'connected';
  } catch (stateError) {
    return true;
  }
}

module.exports = {
  INVALID_ARGUMENT,
  NO_CONNECTION,
  OWNED_BY_TRANSACTION,
  driverError,
  argumentError,
  callSite,
  withCallSite,
  isConnectionLoss,
};
