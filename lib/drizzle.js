'use strict';
// Drizzle over a zelk pool through drizzle-orm's proxy drivers. A query
// outside a transaction borrows a pool connection for its one call; a
// transaction runs on one connection (the pool's transaction, so savepoints
// nest), and the proxy callback finds that connection in the async context.
const { AsyncLocalStorage } = require('async_hooks');
const { TransactionRollbackError } = require('drizzle-orm');
const sqliteProxy = require('drizzle-orm/sqlite-proxy');
const pgProxy = require('drizzle-orm/pg-proxy');
const { createPool } = require('./promises');

const AS_ARRAYS = { rowsAsArray: true };

function poolOf(target) {
  if (target && typeof target.acquire === 'function') return target;
  return createPool(target && target.params, target && target.poolOptions);
}

// Where a statement runs: the transaction's connection, else the pool.
function runner(pool, current) {
  return current.getStore() || pool;
}

// The proxies' own transactions send begin/commit through the callback,
// which would reach different pool connections; these replace them.
function withTransactions(db, pool, current, optionsOf) {
  const transaction = (fn, config) => {
    const tx = Object.create(db);
    tx.rollback = () => {
      throw new TransactionRollbackError();
    };
    tx.transaction = transaction;
    const inner = current.getStore();
    const run = (connection) => current.run(connection, () => fn(tx));
    return inner ? inner.transaction(run) : pool.transaction(run, optionsOf(config));
  };
  db.transaction = transaction;
  db.$pool = pool;
  return db;
}

// target: a zelk pool, or { params, poolOptions } to make one. config is
// drizzle's (schema, logger, casing).
function drizzleSqlite(target, config) {
  const pool = poolOf(target);
  const current = new AsyncLocalStorage();
  const db = sqliteProxy.drizzle(async (sql, params, method) => {
    const on = runner(pool, current);
    if (method === 'run') return Object.assign({ rows: [] }, await on.run(sql, params));
    const rows = await on.all(sql, params, AS_ARRAYS);
    return { rows: method === 'get' ? rows[0] : rows };
  }, config || {});
  return withTransactions(db, pool, current, (c) => (c && c.behavior ? { mode: c.behavior } : undefined));
}

function drizzlePostgres(target, config) {
  const pool = poolOf(target);
  const current = new AsyncLocalStorage();
  const db = pgProxy.drizzle(async (sql, params, method) => {
    const on = runner(pool, current);
    const rows = await on.all(sql, params, method === 'all' ? AS_ARRAYS : undefined);
    return { rows };
  }, config || {});
  return withTransactions(db, pool, current, (c) => (c && c.isolationLevel ? { isolationLevel: c.isolationLevel } : undefined));
}

module.exports = { drizzleSqlite, drizzlePostgres };
