'use strict';
// Cases whose behaviour is the same embedded and against the server are
// declared once with bothBackends() and run on each backend, every run in a
// namespace of its own: a fresh database file, or a fresh server schema.
const test = require('node:test');
const zelk = require('../..');
const zp = require('../../lib/promises');
const { freshDatabase, open, tracked, disconnectOpened } = require('./helpers');

const env = process.env;
const serverSkip = env.ZELK_PG_HOST && env.ZELK_PG_PORT && env.ZELK_PG_USER && env.ZELK_PG_DATABASE
  ? false
  : 'no PostgreSQL server: set ZELK_PG_HOST, ZELK_PG_PORT, ZELK_PG_USER, ZELK_PG_PASSWORD and ' +
    'ZELK_PG_DATABASE (eval "$(scripts/pg-test-server.sh start)")';

function serverParams(extra) {
  return Object.assign({
    host: env.ZELK_PG_HOST,
    port: env.ZELK_PG_PORT,
    user: env.ZELK_PG_USER,
    password: env.ZELK_PG_PASSWORD,
    database: env.ZELK_PG_DATABASE,
  }, extra || {});
}

function connectServer(extra) {
  return open(serverParams(extra));
}

let schemaCount = 0;

const sqlite = {
  name: 'sqlite',
  skip: false,
  types: { double: 'DOUBLE', binary: 'BLOB' },
  sleepValue: (ms) => `zkv_sleep(${ms})`,
  open() {
    const databaseName = freshDatabase();
    return {
      params: (extra) => Object.assign({ databaseName }, extra),
      connStr: (extra) => `databaseName=${databaseName}${extra || ''}`,
      close() {},
    };
  },
};

// Who else holds a lock, and doing what: a cleanup that timed out says so.
function lockHolders(admin) {
  return admin.exec(`SELECT a.pid, a.state, a.backend_type, a.xact_start, a.query, l.mode, l.relation::regclass::text AS rel
    FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid
    WHERE l.granted AND l.locktype = 'relation' AND a.pid <> pg_backend_pid()`);
}

const postgres = {
  name: 'postgres',
  skip: serverSkip,
  types: { double: 'DOUBLE PRECISION', binary: 'BYTEA' },
  sleepValue: (ms) => `(SELECT NULL::int FROM pg_sleep((${ms}) / 1000.0))`,
  params: serverParams,
  open() {
    schemaCount += 1;
    const schema = `zt_${process.pid}_${schemaCount}`;
    const admin = zelk.createConnection();
    admin.connect(serverParams());
    admin.exec(`CREATE SCHEMA ${schema}`);
    admin.disconnect();
    return {
      params: (extra) => serverParams(Object.assign({ currentSchema: schema }, extra)),
      connStr: (extra) => `ServerNode=${env.ZELK_PG_HOST}:${env.ZELK_PG_PORT};UID=${env.ZELK_PG_USER};` +
        `PWD=${env.ZELK_PG_PASSWORD};databaseName=${env.ZELK_PG_DATABASE};CURRENTSCHEMA=${schema}${extra || ''}`,
      close() {
        admin.connect(serverParams());
        // A session a failed case left in a transaction must not hang the run.
        admin.exec("SET lock_timeout = '5s'");
        try {
          admin.exec(`DROP SCHEMA ${schema} CASCADE`);
        } catch (err) {
          err.message += `; lock holders: ${JSON.stringify(lockHolders(admin))}`;
          throw err;
        } finally {
          admin.disconnect();
        }
      },
    };
  },
};

// Registers one test per backend. fn(db, t[, done]): db.params(extra) gives the
// connection parameters of the case's namespace, db.connect(extra) a
// connected connection to it and db.connectAsync(extra) a promise one, both
// disconnected after the case if it left them connected, db.connStr(extra) the
// parameters as a connection string, db.types the dialect's type names,
// db.sleepValue(ms) an expression that waits (ms may be an SQL expression) and
// is NULL, db.sleep(ms) a query of it.
function bothBackends(title, fn) {
  for (const backend of [sqlite, postgres]) {
    test(`${title} [${backend.name}]`, { skip: backend.skip }, async (t) => {
      const space = backend.open();
      const db = {
        name: backend.name,
        types: backend.types,
        sleepValue: backend.sleepValue,
        sleep: (ms) => `SELECT ${backend.sleepValue(ms)} AS s FROM DUMMY`,
        params: space.params,
        connStr: space.connStr,
        connect: (extra) => open(space.params(extra)),
        connectAsync: async (extra) => tracked(await zp.connect(space.params(extra))),
      };
      let failure;
      try {
        if (fn.length < 3) await fn(db, t);
        else await new Promise((resolve, reject) => fn(db, t, (err) => (err ? reject(err) : resolve())));
      } catch (err) {
        failure = err;
      }
      // A case that failed may leave its cleanup failing too: report the case.
      for (const cleanup of [disconnectOpened, space.close]) {
        try {
          await cleanup();
        } catch (err) {
          failure = failure || err;
        }
      }
      if (failure) throw failure;
    });
  }
}

module.exports = { bothBackends, serverSkip, serverParams, connectServer };
