'use strict';
// Errors raised by the JavaScript layer carry the same fields as the native
// ones (code, message, sqlState), and every promise rejection carries the
// stack of the script's call instead of the completion's.
const path = require('path');

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

// Points a rejection at the script's call, from an async function of this
// layer right after the await that failed: V8's async stack trace then
// reaches the script's awaiting frames, so calls that succeed capture
// nothing. The layer's own frames are left out, and an error is pointed
// once, at the innermost call that failed.
const LAYER_DIR = __dirname + path.sep;
const LAYER_FRAMES = 20;
const pointed = new WeakSet();

function atCaller(err) {
  if (!(err instanceof Error) || pointed.has(err) || !Object.isExtensible(err)) return err;
  pointed.add(err);
  const limit = Error.stackTraceLimit;
  if (typeof limit !== 'number') return err;
  Error.stackTraceLimit = limit + LAYER_FRAMES;
  try {
    Error.captureStackTrace(err, atCaller);
    err.stack = withoutLayerFrames(err.stack, limit);
  } finally {
    Error.stackTraceLimit = limit;
  }
  return err;
}

// A frame right below one of the layer's that is no script line (the
// microtask runner, a Promise.all of the layer) is the layer's too.
function withoutLayerFrames(stack, limit) {
  const lines = stack.split('\n');
  const firstFrame = lines.findIndex((line) => /^\s+at /.test(line));
  if (firstFrame < 0) return stack;
  const kept = [];
  let belowLayer = false;
  for (const frame of lines.slice(firstFrame)) {
    if (frame.includes(LAYER_DIR)) belowLayer = true;
    else if (!(belowLayer && !isScriptFrame(frame))) {
      belowLayer = false;
      kept.push(frame);
    }
  }
  if (kept.length === 0) return stack;
  return lines.slice(0, firstFrame).concat(kept.slice(0, limit)).join('\n');
}

function isScriptFrame(frame) {
  return /:\d+:\d+\)?$/.test(frame) && !/\(?node:internal\//.test(frame);
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
  atCaller,
  isConnectionLoss,
};
