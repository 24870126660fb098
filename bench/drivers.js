'use strict';
// One object per driver variant; each job resolves when its work is done.
// Every variant runs the same SQL on the same file.
const path = require('path');
const { SELECT_SQL, INSERT_SQL, POINT_SQL, TABLE_SQL } = require('./trials');

const ZELK_ROOT = path.join(__dirname, '..');
const INSERT_TABLE_SQL = TABLE_SQL.replace('bench (', 'bench_insert (');
const ZELK_CHUNK = 10000;

function promisify(fn) {
  return new Promise((resolve, reject) => fn((err, value) => (err ? reject(err) : resolve(value))));
}

// Deterministic primary keys spread over the table.
function pointKeys(count, rows) {
  const keys = new Array(count);
  let x = 12345;
  for (let i = 0; i < count; i++) {
    x = (Math.imul(x, 1103515245) + 12345) >>> 0;
    keys[i] = 1 + (x % rows);
  }
  return keys;
}

function betterSqlite3() {
  const Database = require('better-sqlite3');
  return {
    fetchObjects: async (file) => new Database(file, { readonly: true }).prepare(SELECT_SQL).all(),
    fetchArrays: async (file) => new Database(file, { readonly: true }).prepare(SELECT_SQL).raw().all(),
    insert: async (file, rows) => {
      const db = new Database(file);
      db.exec(INSERT_TABLE_SQL);
      const insert = db.prepare(INSERT_SQL);
      db.transaction(() => {
        for (const row of rows) insert.run(row);
      })();
      db.close();
    },
    pointQueries: async (file, keys) => {
      const select = new Database(file, { readonly: true }).prepare(POINT_SQL);
      let found = 0;
      for (const key of keys) found += select.get(key) !== undefined ? 1 : 0;
      return found;
    },
  };
}

function sqlite3Driver() {
  const sqlite3 = require('sqlite3');
  const open = (file) => new Promise((resolve, reject) => {
    const db = new sqlite3.Database(file, (err) => (err ? reject(err) : resolve(db)));
  });
  return {
    fetchObjects: async (file) => {
      const db = await open(file);
      return promisify((cb) => db.all(SELECT_SQL, cb));
    },
    insert: async (file, rows) => {
      const db = await open(file);
      await promisify((cb) => db.exec(INSERT_TABLE_SQL + '; BEGIN', cb));
      const insert = db.prepare(INSERT_SQL);
      for (let i = 0; i < rows.length - 1; i++) insert.run(rows[i]);
      await promisify((cb) => insert.run(rows[rows.length - 1], cb));
      await promisify((cb) => insert.finalize(cb));
      await promisify((cb) => db.exec('COMMIT', cb));
      await promisify((cb) => db.close(cb));
    },
    // Eight lookups in flight on the one connection the driver queues on.
    pointQueries: async (file, keys) => {
      const db = await open(file);
      const select = db.prepare(POINT_SQL);
      let next = 0;
      let found = 0;
      const lane = async () => {
        while (next < keys.length) {
          const row = await promisify((cb) => select.get(keys[next++], cb));
          found += row !== undefined ? 1 : 0;
        }
      };
      await Promise.all(Array.from({ length: 8 }, lane));
      return found;
    },
  };
}

function zelk(options) {
  const driver = require(ZELK_ROOT);
  const connect = (file) => {
    const conn = driver.createConnection();
    conn.connect('databaseName=' + file);
    if (options.rowSetSize) conn.setRowSetSize(options.rowSetSize);
    return conn;
  };
  const fetch = (file, extra) => {
    const conn = connect(file);
    return promisify((cb) => conn.exec(SELECT_SQL, [], { ...options.exec, ...extra }, cb));
  };
  return {
    fetchObjects: (file) => fetch(file, {}),
    fetchArrays: (file) => fetch(file, { rowsAsArray: true }),
    insert: async (file, rows) => {
      const conn = connect(file);
      conn.exec(INSERT_TABLE_SQL);
      conn.setAutoCommit(false);
      const insert = conn.prepare(INSERT_SQL);
      for (let i = 0; i < rows.length; i += ZELK_CHUNK) {
        await promisify((cb) => insert.execBatch(rows.slice(i, i + ZELK_CHUNK), cb));
      }
      await promisify((cb) => conn.commit(cb));
      conn.disconnect();
    },
    // Each connection works through its share of the keys one at a time.
    pointQueries: async (file, keys) => {
      const lanes = options.connections || 1;
      let next = 0;
      let found = 0;
      const lane = async () => {
        const select = connect(file).prepare(POINT_SQL);
        while (next < keys.length) {
          const rows = await promisify((cb) => select.exec([keys[next++]], cb));
          found += rows.length;
        }
      };
      await Promise.all(Array.from({ length: lanes }, lane));
      return found;
    },
  };
}

const variants = {
  'better-sqlite3': betterSqlite3,
  sqlite3: sqlite3Driver,
  'zelk-binary': () => zelk({ exec: {} }),
  'zelk-columnar': () => zelk({ exec: { fastInternalRows: false } }),
  'zelk-1-conn': () => zelk({ exec: {}, connections: 1 }),
  'zelk-8-conn': () => zelk({ exec: {}, connections: 8 }),
};

module.exports = { variants, pointKeys };
