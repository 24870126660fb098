'use strict';
// Knex clients over zelk promise connections, one per backend. Knex keeps
// its own pool of them (tarn); each query runs on the connection it lends.
const { once } = require('events');
const { isConnectionLoss } = require('./errors');
const Client_BetterSQLite3 = require('knex/lib/dialects/better-sqlite3');
const Client_PG = require('knex/lib/dialects/postgres');

// Knex hides the password (not enumerable) and names the file `filename`;
// the connect reads enumerable keys.
function connectParams(settings) {
  const params = Object.assign({}, settings);
  if (settings.password !== undefined) params.password = settings.password;
  if (params.filename !== undefined) {
    params.databaseName = params.filename;
    delete params.filename;
  }
  return params;
}

const zelkMethods = {
  _driver() {
    return require('./promises');
  },

  async acquireRawConnection() {
    return this.driver.connect(connectParams(this.connectionSettings));
  },

  async destroyRawConnection(connection) {
    await connection.close();
  },

  validateConnection(connection) {
    return !connection.zelkLost && connection.state() === 'connected';
  },

  // Knex's pool asks validateConnection before lending a connection again.
  async zelkQuery(connection, sql, bindings) {
    try {
      return await connection.query(sql, this.zelkBindings(bindings));
    } catch (err) {
      if (isConnectionLoss(err, connection)) connection.zelkLost = true;
      throw err;
    }
  },

  // Rows reach the stream as they are read; a full stream pauses the reading.
  async _stream(connection, obj, stream) {
    if (!obj.sql) throw new Error('The query is empty');
    try {
      for await (const row of connection.iterate(obj.sql, this.zelkBindings(obj.bindings))) {
        if (!stream.write(row)) await once(stream, 'drain');
      }
      stream.end();
    } catch (err) {
      stream.emit('error', err);
      throw err;
    }
  },
};

class ZelkSqliteClient extends Client_BetterSQLite3 {
  zelkBindings(bindings) {
    return this._formatBindings(bindings);
  }

  async _query(connection, obj) {
    if (!obj.sql) throw new Error('The query is empty');
    const { rows, changes, lastInsertRowid } = await this.zelkQuery(connection, obj.sql, obj.bindings);
    obj.response = rows || { changes, lastInsertRowid };
    obj.context = { lastID: lastInsertRowid, changes };
    return obj;
  }
}

const WRITES = /^\s*(insert|update|delete)\b/i;

function commandOf(sql, rows) {
  if (rows && !WRITES.test(sql)) return 'SELECT';
  const word = /^\s*(\w+)/.exec(sql);
  return word ? word[1].toUpperCase() : '';
}

class ZelkPostgresClient extends Client_PG {
  zelkBindings(bindings) {
    return bindings || [];
  }

  async acquireRawConnection() {
    const connection = await this.driver.connect(connectParams(this.connectionSettings));
    if (!this.version) this.version = /^[\d.]+/.exec(connection.serverVersion)[0];
    if (this.searchPath) {
      const schemas = [].concat(this.searchPath).map((name) => `"${String(name).replace(/"/g, '""')}"`);
      await connection.exec(`set search_path to ${schemas.join(',')}`);
    }
    return connection;
  }

  async _query(connection, obj) {
    if (!obj.sql) throw new Error('The query is empty');
    const { rows, changes } = await this.zelkQuery(connection, obj.sql, obj.bindings);
    obj.response = { command: commandOf(obj.sql, rows), rows: rows || [], rowCount: changes };
    return obj;
  }
}

for (const Client of [ZelkSqliteClient, ZelkPostgresClient]) {
  for (const [name, fn] of Object.entries(zelkMethods)) {
    if (!Object.prototype.hasOwnProperty.call(Client.prototype, name)) Client.prototype[name] = fn;
  }
}
ZelkSqliteClient.prototype.driverName = 'zelk';
ZelkPostgresClient.prototype.driverName = 'zelk';

module.exports = { ZelkSqliteClient, ZelkPostgresClient };
