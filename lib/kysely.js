'use strict';
// Kysely dialects over a zelk pool, one per backend. Each query borrows a
// pool connection; a transaction keeps its connection from begin to end.
const {
  CompiledQuery, PostgresAdapter, PostgresIntrospector, PostgresQueryCompiler, SelectQueryNode, SqliteAdapter,
  SqliteIntrospector, SqliteQueryCompiler,
} = require('kysely');
const { createPool } = require('./promises');
const { isConnectionLoss } = require('./errors');

const DEFAULT_CHUNK = 100;

function bigintOrUndefined(value) {
  return typeof value === 'number' || typeof value === 'bigint' ? BigInt(value) : undefined;
}

class ZelkKyselyConnection {
  constructor(connection) {
    this.connection = connection;
    this.lost = false;
  }

  async executeQuery(compiledQuery) {
    const { sql, parameters, query } = compiledQuery;
    const { rows, changes, lastInsertRowid } = await this.connection.query(sql, parameters).catch((err) => {
      this.lost = this.lost || isConnectionLoss(err, this.connection);
      throw err;
    });
    if (SelectQueryNode.is(query)) return { rows: rows || [] };
    return { rows: rows || [], numAffectedRows: BigInt(changes), insertId: bigintOrUndefined(lastInsertRowid) };
  }

  // Rows come from the server or the file as they are read, chunkSize at a time.
  async* streamQuery(compiledQuery, chunkSize) {
    const size = chunkSize > 0 ? chunkSize : DEFAULT_CHUNK;
    let chunk = [];
    for await (const row of this.connection.iterate(compiledQuery.sql, compiledQuery.parameters)) {
      chunk.push(row);
      if (chunk.length >= size) {
        yield { rows: chunk };
        chunk = [];
      }
    }
    if (chunk.length > 0) yield { rows: chunk };
  }
}

class ZelkKyselyDriver {
  constructor(config, beginSql) {
    this.config = config;
    this.beginSql = beginSql;
    this.pool = null;
  }

  async init() {
    this.pool = this.config.pool || createPool(this.config.params, this.config.poolOptions);
  }

  async acquireConnection() {
    return new ZelkKyselyConnection(await this.pool.acquire());
  }

  async beginTransaction(connection, settings) {
    await connection.executeQuery(CompiledQuery.raw(this.beginSql(settings)));
  }

  async commitTransaction(connection) {
    await connection.executeQuery(CompiledQuery.raw('commit'));
  }

  async rollbackTransaction(connection) {
    await connection.executeQuery(CompiledQuery.raw('rollback'));
  }

  async savepoint(connection, name) {
    await connection.executeQuery(CompiledQuery.raw(`savepoint ${name}`));
  }

  async rollbackToSavepoint(connection, name) {
    await connection.executeQuery(CompiledQuery.raw(`rollback to savepoint ${name}`));
  }

  async releaseSavepoint(connection, name) {
    await connection.executeQuery(CompiledQuery.raw(`release savepoint ${name}`));
  }

  // A connection whose session was lost is closed instead of kept.
  async releaseConnection(connection) {
    connection.connection.release(connection.lost);
  }

  // A pool handed in belongs to the caller, who ends it.
  async destroy() {
    if (!this.config.pool && this.pool) await this.pool.end();
  }
}

// config: { pool } (a zelk pool) or { params, poolOptions }; for the embedded
// database also transactionMode: 'deferred' | 'immediate' | 'exclusive'.
class ZelkSqliteDialect {
  constructor(config) {
    this.config = config || {};
  }

  createDriver() {
    const mode = this.config.transactionMode || 'deferred';
    return new ZelkKyselyDriver(this.config, () => `begin ${mode}`);
  }

  createQueryCompiler() {
    return new SqliteQueryCompiler();
  }

  createAdapter() {
    return new SqliteAdapter();
  }

  createIntrospector(db) {
    return new SqliteIntrospector(db);
  }
}

function postgresBegin(settings) {
  let sql = 'start transaction';
  if (settings && settings.isolationLevel) sql += ` isolation level ${settings.isolationLevel}`;
  if (settings && settings.accessMode) sql += ` ${settings.accessMode}`;
  return sql;
}

class ZelkPostgresDialect {
  constructor(config) {
    this.config = config || {};
  }

  createDriver() {
    return new ZelkKyselyDriver(this.config, postgresBegin);
  }

  createQueryCompiler() {
    return new PostgresQueryCompiler();
  }

  createAdapter() {
    return new PostgresAdapter();
  }

  createIntrospector(db) {
    return new PostgresIntrospector(db);
  }
}

module.exports = { ZelkSqliteDialect, ZelkPostgresDialect };
