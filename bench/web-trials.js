'use strict';
// "Web requests through the pool": 1,000 requests, 50 in flight at a time,
// each a transaction of a read and a write on a random account. zelk's pool
// against better-sqlite3 on the embedded database and against pg's Pool on
// the server (when the ZELK_PG_* variables name one).
// Usage: node web-trials.js [--reps=N]; run.js runs it after the others.
// Each run happens in a fresh child process: node web-trials.js --child <task>.
const fs = require('fs');
const path = require('path');
const { DATA_DIR } = require('./dataset');
const { pointKeys } = require('./drivers');
const { runChild, summarise, printTrial } = require('./report');

const REQUESTS = 1000;
const IN_FLIGHT = 50;
const ACCOUNTS = 10000;
const POOL_MAX = 10;
const EMBEDDED_POOL_MAX = 4;
const READ_SQL = 'SELECT balance FROM bench_account WHERE id = ?';
const WRITE_SQL = 'UPDATE bench_account SET balance = balance + 1 WHERE id = ?';
const TOTAL_SQL = 'SELECT SUM(balance) AS total FROM bench_account';

function serverParams() {
  const env = process.env;
  if (!env.ZELK_PG_HOST || !env.ZELK_PG_PORT || !env.ZELK_PG_USER || !env.ZELK_PG_DATABASE) return null;
  return { host: env.ZELK_PG_HOST, port: env.ZELK_PG_PORT, user: env.ZELK_PG_USER,
           password: env.ZELK_PG_PASSWORD, database: env.ZELK_PG_DATABASE };
}

function dollarMarkers(sql) {
  let n = 0;
  return sql.replace(/\?/g, () => '$' + ++n);
}

// Runs request(key) for every key, IN_FLIGHT at a time, as a web server
// under that load would.
async function serve(keys, request) {
  let next = 0;
  const lane = async () => {
    while (next < keys.length) await request(keys[next++]);
  };
  await Promise.all(Array.from({ length: IN_FLIGHT }, lane));
}

function zelkPool(params, options, transactionOptions, sessionSql) {
  const { createPool } = require(path.join(__dirname, '..', 'lib', 'promises'));
  const pool = createPool(params, options);
  // Queued on the new connection ahead of its first borrower's statements.
  if (sessionSql) pool.on('connect', (connection) => connection.exec(sessionSql));
  return {
    request: (id) => pool.transaction(async (tx) => {
      await tx.get(READ_SQL, [id]);
      await tx.run(WRITE_SQL, [id]);
    }, transactionOptions),
    close: () => pool.end(),
  };
}

// One connection: a synchronous driver runs each request to its end at once.
function betterSqlite3(file) {
  const Database = require('better-sqlite3');
  const db = new Database(file);
  const read = db.prepare(READ_SQL);
  const write = db.prepare(WRITE_SQL);
  const transfer = db.transaction((id) => {
    read.get(id);
    write.run(id);
  });
  return {
    request: async (id) => transfer.immediate(id),
    close: async () => db.close(),
  };
}

function pgPool(server) {
  const pg = require('pg');
  const pool = new pg.Pool({ ...server, port: Number(server.port), max: POOL_MAX });
  const read = dollarMarkers(READ_SQL);
  const write = dollarMarkers(WRITE_SQL);
  return {
    request: async (id) => {
      const client = await pool.connect();
      try {
        await client.query('BEGIN');
        await client.query({ name: 'read', text: read, values: [id] });
        await client.query({ name: 'write', text: write, values: [id] });
        await client.query('COMMIT');
      } catch (err) {
        await client.query('ROLLBACK');
        throw err;
      } finally {
        client.release();
      }
    },
    close: () => pool.end(),
  };
}

const embeddedFile = () => path.join(DATA_DIR, `web-${process.pid}.db`);

const variants = {
  embedded: {
    'better-sqlite3': (file) => betterSqlite3(file),
    // better-sqlite3's build syncs a WAL file at checkpoints only; the
    // system library zelk uses syncs every commit unless told the same.
    'zelk-pool': (file) => zelkPool({ databaseName: file }, { max: EMBEDDED_POOL_MAX }, { mode: 'immediate' },
                                    'PRAGMA synchronous = NORMAL'),
  },
  server: {
    pg: (server) => pgPool(server),
    'zelk-pool': (server) => zelkPool(server, { max: POOL_MAX }),
  },
};

const ACCOUNT_TABLE = 'CREATE TABLE bench_account (id INTEGER PRIMARY KEY, balance INTEGER NOT NULL)';

function accountRows() {
  return Array.from({ length: ACCOUNTS }, (_, i) => [i + 1, 0]);
}

// A fresh table for each run, made and checked through zelk's callback API.
async function withTable(target, fn) {
  const zelk = require(path.join(__dirname, '..'));
  const conn = zelk.createConnection();
  conn.connect(target);
  conn.exec('DROP TABLE IF EXISTS bench_account');
  conn.exec(ACCOUNT_TABLE);
  conn.prepare('INSERT INTO bench_account VALUES (?, ?)').execBatch(accountRows());
  try {
    const ms = await fn();
    const [{ total }] = conn.exec(TOTAL_SQL);
    if (Number(total) !== REQUESTS) throw new Error(`balances add up to ${total}, expected ${REQUESTS}`);
    return ms;
  } finally {
    conn.exec('DROP TABLE bench_account');
    conn.disconnect();
  }
}

async function child(task) {
  const keys = pointKeys(REQUESTS, ACCOUNTS);
  const server = serverParams();
  const file = embeddedFile();
  const target = task.place === 'server' ? server : { databaseName: file };
  fs.mkdirSync(DATA_DIR, { recursive: true });
  try {
    const ms = await withTable(target, async () => {
      const driver = variants[task.place][task.driver](task.place === 'server' ? server : file);
      const start = process.hrtime.bigint();
      await serve(keys, driver.request);
      const elapsed = Number(process.hrtime.bigint() - start) / 1e6;
      await driver.close();
      return elapsed;
    });
    process.stdout.write(JSON.stringify({ value: ms, maxRssMB: process.resourceUsage().maxRSS / 1024 }) + '\n');
  } finally {
    for (const suffix of ['', '-wal', '-shm']) fs.rmSync(file + suffix, { force: true });
  }
}

function runPlace(place, baseline, reps) {
  const drivers = Object.keys(variants[place]);
  const results = {};
  for (let rep = 0; rep < reps; rep++) {
    for (const driver of drivers) {
      (results[driver] = results[driver] || []).push(runChild(__filename, ['--child', JSON.stringify({ place, driver })]));
      process.stderr.write('.');
    }
  }
  process.stderr.write('\n');
  const summary = {};
  for (const driver of drivers) summary[driver] = summarise(results[driver]);
  printTrial({ name: `web-requests-${place} (${IN_FLIGHT} in flight)`, unit: 'ms', rows: REQUESTS, summary }, baseline);
}

function run(args) {
  if (args.only && !args.only.some((name) => name.startsWith('web-requests'))) return;
  runPlace('embedded', 'better-sqlite3', args.reps);
  if (serverParams()) runPlace('server', 'pg', args.reps);
  else console.log('\nweb-requests-server: skipped (no ZELK_PG_* variables)');
}

if (require.main === module) {
  const argv = process.argv.slice(2);
  if (argv[0] === '--child') {
    child(JSON.parse(argv[1])).then(() => process.exit(0), (err) => {
      process.stderr.write(String((err && err.stack) || err) + '\n');
      process.exit(1);
    });
  } else {
    const reps = Number((argv.find((a) => a.startsWith('--reps=')) || '').slice(7)) || 5;
    run({ reps, only: null });
  }
}

module.exports = { run };
