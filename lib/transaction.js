'use strict';
// Transactions of a promise connection. A running transaction owns its
// connection: calls made outside it wait until it has ended, so nothing
// unrelated is committed or rolled back with it. The transaction's own calls
// go through `tx`, a view of the connection (Object.create of it) that
// carries the claim. A call on the bare connection from the transaction's own
// code would wait for itself; it is refused instead, which is why that code
// runs in an async context of its own.
const { AsyncLocalStorage } = require('async_hooks');
const { argumentError, driverError, atCaller, OWNED_BY_TRANSACTION } = require('./errors');

const transactionCode = new AsyncLocalStorage();

const SQLITE_BEGIN = { deferred: 'BEGIN DEFERRED', immediate: 'BEGIN IMMEDIATE', exclusive: 'BEGIN EXCLUSIVE' };
const ISOLATION_LEVELS = ['read uncommitted', 'read committed', 'repeatable read', 'serializable'];

function checkOptions(options) {
  if (options === undefined || options === null) return {};
  if (typeof options !== 'object') throw argumentError('transaction(fn, options): options must be an object');
  const { mode, isolationLevel } = options;
  if (mode !== undefined && !Object.prototype.hasOwnProperty.call(SQLITE_BEGIN, mode)) {
    throw argumentError(`transaction(fn, options): mode must be 'deferred', 'immediate' or 'exclusive'`);
  }
  if (isolationLevel !== undefined && !ISOLATION_LEVELS.includes(String(isolationLevel).toLowerCase())) {
    throw argumentError(`transaction(fn, options): isolationLevel must be one of ${ISOLATION_LEVELS.join(', ')}`);
  }
  return { mode, isolationLevel };
}

// The embedded database always runs serializable and ignores the level; the
// server has no database-wide write lock and ignores the mode.
function beginStatement(backend, { mode, isolationLevel }) {
  if (backend === 'sqlite') return SQLITE_BEGIN[mode || 'deferred'];
  return isolationLevel ? `BEGIN ISOLATION LEVEL ${isolationLevel.toUpperCase()}` : 'BEGIN';
}

function ownedError() {
  return driverError(OWNED_BY_TRANSACTION,
    'The connection belongs to the running transaction: inside it, use the transaction\'s connection (tx)',
    '25000');
}

// Whether `connection` may run now: no transaction but its own owns it.
function mayRun(connection) {
  const owner = connection.base.owner;
  return owner === null || owner === connection.claim;
}

// Settles once `connection` may run; the owner's own code would wait for itself.
async function waitTurn(connection) {
  while (!mayRun(connection)) {
    const owner = connection.base.owner;
    if (transactionCode.getStore() === owner) throw atCaller(ownedError());
    await owner.done;
  }
}

function claim(base) {
  let end;
  const done = new Promise((resolve) => { end = resolve; });
  base.owner = { done, end, savepoints: 0 };
  return base.owner;
}

// fn's result after onSuccess; fn's error after onFailure, whose own failure
// rides along as err.rollbackError.
async function settle(tx, fn, onSuccess, onFailure) {
  let result;
  try {
    result = await fn(tx);
  } catch (err) {
    try {
      await onFailure();
    } catch (rollbackError) {
      if (err !== null && typeof err === 'object') err.rollbackError = rollbackError;
    }
    throw err;
  }
  await onSuccess();
  return result;
}

async function outermost(tx, fn, begin) {
  const native = tx.native;
  const previousAutoCommit = native.getAutoCommit();
  native.setAutoCommit(false);
  try {
    // With auto-commit already off, the transaction that is open goes on.
    if (previousAutoCommit) await tx.sql(begin);
    return await settle(tx, fn, () => tx.call('commit', []), () => tx.call('rollback', []));
  } finally {
    restoreAutoCommit(native, previousAutoCommit);
  }
}

// A connection lost inside the transaction cannot take the mode back.
function restoreAutoCommit(native, flag) {
  if (native.state() !== 'connected') return;
  native.setAutoCommit(flag);
}

async function savepoint(tx, fn) {
  const name = `zelk_savepoint_${++tx.claim.savepoints}`;
  const release = () => tx.sql(`RELEASE SAVEPOINT ${name}`);
  const rollback = async () => {
    await tx.sql(`ROLLBACK TO SAVEPOINT ${name}`);
    await release();
  };
  await tx.sql(`SAVEPOINT ${name}`);
  return settle(tx, fn, release, rollback);
}

async function transaction(connection, fn, options) {
  if (typeof fn !== 'function') throw atCaller(argumentError('transaction(fn): fn must be a function'));
  let settings;
  try {
    settings = checkOptions(options);
  } catch (err) {
    throw atCaller(err);
  }
  if (connection.claim !== null && connection.base.owner === connection.claim) return savepoint(connection, fn);
  // Claimed in this same turn when free, so no call made after this one runs first.
  if (!mayRun(connection)) await waitTurn(connection);
  const base = connection.base;
  const owner = claim(base);
  try {
    // Calls made before the transaction finish outside it.
    await base.operations.idle();
    const tx = Object.create(base);
    tx.claim = owner;
    const { backend } = await tx.describe();
    return await transactionCode.run(owner, () => outermost(tx, fn, beginStatement(backend, settings)));
  } finally {
    base.owner = null;
    owner.end();
  }
}

module.exports = { transaction, mayRun, waitTurn };
