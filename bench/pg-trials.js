'use strict';
// Trials against a PostgreSQL server: zelk, node-postgres (pg) and pg over
// pg-native, on the same table and the same statements. They run only when
// the ZELK_PG_* variables name a server (eval "$(scripts/pg-test-server.sh start)").
// Usage: node pg-trials.js [--quick] [--reps=N]; run.js runs them after its own.
// Each run happens in a fresh child process: node pg-trials.js --child <task>.
const path = require('path');
const { rowOf } = require('./dataset');
const { pointKeys } = require('./drivers');
const { runChild, summarise, printTrial } = require('./report');

const TABLE_ROWS = 100000;
const LANES = 8;
const BASELINE = 'pg';
const COLUMNS = '(id INTEGER PRIMARY KEY, big BIGINT, dbl DOUBLE PRECISION, name VARCHAR(32), ' +
  'maybe INTEGER, ts TIMESTAMP)';
const SELECT_SQL = 'SELECT id, big, dbl, name, maybe, ts FROM bench_pg';
const POINT_SQL = SELECT_SQL + ' WHERE id = ?';
const INSERT_SQL = 'INSERT INTO bench_pg_insert (id, big, dbl, name, maybe, ts) VALUES (?, ?, ?, ?, ?, ?)';
const ZELK_CHUNK = 10000;

const trials = [
  { name: 'pg-fetch-100k', job: 'fetchObjects', rows: { full: TABLE_ROWS, quick: TABLE_ROWS } },
  // zelk: a prepared statement per lane; zelk-exec: conn.exec with the key each time.
  { name: 'pg-point-queries', job: 'pointQueries', rows: { full: 20000, quick: 10000 }, extraDrivers: ['zelk-exec'] },
  { name: 'pg-insert', job: 'insert', rows: { full: 50000, quick: 20000 } },
];

function serverParams() {
  const env = process.env;
  if (!env.ZELK_PG_HOST || !env.ZELK_PG_PORT || !env.ZELK_PG_USER || !env.ZELK_PG_DATABASE) return null;
  return { host: env.ZELK_PG_HOST, port: env.ZELK_PG_PORT, user: env.ZELK_PG_USER,
           password: env.ZELK_PG_PASSWORD, database: env.ZELK_PG_DATABASE };
}

// pg numbers its markers; the other statements use '?' as zelk does.
function dollarMarkers(sql) {
  let n = 0;
  return sql.replace(/\?/g, () => '$' + ++n);
}

function promisify(fn) {
  return new Promise((resolve, reject) => fn((err, value) => (err ? reject(err) : resolve(value))));
}

// pg and pg over pg-native share one API; each lane is its own connection.
function pgDriver(server, native) {
  const pg = require('pg');
  const Client = native ? pg.native.Client : pg.Client;
  const open = async () => {
    const client = new Client({ ...server, port: Number(server.port) });
    await client.connect();
    return client;
  };
  return {
    fetchObjects: async () => {
      const client = await open();
      const { rows } = await client.query(SELECT_SQL);
      await client.end();
      return rows;
    },
    pointQueries: async (keys) => {
      let next = 0;
      let found = 0;
      const lane = async () => {
        const client = await open();
        const text = dollarMarkers(POINT_SQL);
        while (next < keys.length) {
          const { rows } = await client.query({ name: 'point', text, values: [keys[next++]] });
          found += rows.length;
        }
        await client.end();
      };
      await Promise.all(Array.from({ length: LANES }, lane));
      return found;
    },
    // pg has no batch: one prepared insert per row, in one transaction.
    insert: async (rows) => {
      const client = await open();
      await client.query('BEGIN');
      const text = dollarMarkers(INSERT_SQL);
      for (const values of rows) await client.query({ name: 'insert', text, values });
      await client.query('COMMIT');
      await client.end();
    },
  };
}

function zelkDriver(server, execEachCall = false) {
  const zelk = require(path.join(__dirname, '..'));
  const open = () => {
    const conn = zelk.createConnection();
    conn.connect(server);
    return conn;
  };
  return {
    fetchObjects: () => {
      const conn = open();
      return promisify((cb) => conn.exec(SELECT_SQL, [], cb)).finally(() => conn.disconnect());
    },
    pointQueries: async (keys) => {
      let next = 0;
      let found = 0;
      const lane = async () => {
        const conn = open();
        const select = execEachCall ? null : conn.prepare(POINT_SQL);
        while (next < keys.length) {
          const key = keys[next++];
          const rows = await promisify((cb) => (select ? select.exec([key], cb) : conn.exec(POINT_SQL, [key], cb)));
          found += rows.length;
        }
        if (select) select.drop();
        conn.disconnect();
      };
      await Promise.all(Array.from({ length: LANES }, lane));
      return found;
    },
    insert: async (rows) => {
      const conn = open();
      conn.setAutoCommit(false);
      const insert = conn.prepare(INSERT_SQL);
      for (let i = 0; i < rows.length; i += ZELK_CHUNK) {
        await promisify((cb) => insert.execBatch(rows.slice(i, i + ZELK_CHUNK), cb));
      }
      await promisify((cb) => conn.commit(cb));
      insert.drop();
      conn.disconnect();
    },
  };
}

function pgNativeBuilds() {
  try {
    return Boolean(require('pg').native);
  } catch {
    return false;
  }
}

const variants = {
  zelk: zelkDriver,
  'zelk-exec': (server) => zelkDriver(server, true),
  pg: (server) => pgDriver(server, false),
  'pg-native': (server) => pgDriver(server, true),
};

// The drivers hand back BIGINT and TIMESTAMP in their own types; the check
// compares what they all agree on.
function checkRow(row, id) {
  const expected = rowOf(id);
  const got = [row.id, Number(row.big), row.dbl, row.name, row.maybe];
  for (let c = 0; c < got.length; c++) {
    if (got[c] !== expected[c]) throw new Error(`row ${id}: column ${c} is ${got[c]}, expected ${expected[c]}`);
  }
  if (row.ts === null || row.ts === undefined) throw new Error(`row ${id}: ts is missing`);
}

async function timed(fn) {
  const start = process.hrtime.bigint();
  const result = await fn();
  return { ms: Number(process.hrtime.bigint() - start) / 1e6, result };
}

async function withAdmin(server, fn) {
  const pg = require('pg');
  const client = new pg.Client({ ...server, port: Number(server.port) });
  await client.connect();
  try {
    return await fn(client);
  } finally {
    await client.end();
  }
}

const jobs = {
  async fetchObjects(driver, task) {
    const { ms, result } = await timed(() => driver.fetchObjects());
    if (result.length !== task.rows) throw new Error(`read ${result.length} rows, expected ${task.rows}`);
    const sorted = [...result].sort((a, b) => a.id - b.id);
    for (let r = 0; r < sorted.length; r += 997) checkRow(sorted[r], r + 1);
    return { value: ms };
  },
  async pointQueries(driver, task) {
    const keys = pointKeys(task.rows, TABLE_ROWS);
    const { ms, result } = await timed(() => driver.pointQueries(keys));
    if (result !== keys.length) throw new Error(`found ${result} of ${keys.length} keys`);
    return { value: ms };
  },
  async insert(driver, task, server) {
    await withAdmin(server, (c) => c.query(`DROP TABLE IF EXISTS bench_pg_insert; CREATE TABLE bench_pg_insert ${COLUMNS}`));
    const rows = Array.from({ length: task.rows }, (_, i) => rowOf(i + 1));
    const { ms } = await timed(() => driver.insert(rows));
    await withAdmin(server, async (c) => {
      const { rows: [{ n }] } = await c.query('SELECT count(*)::int AS n FROM bench_pg_insert');
      if (n !== task.rows) throw new Error(`inserted ${n} rows, expected ${task.rows}`);
      checkRow((await c.query('SELECT * FROM bench_pg_insert WHERE id = $1', [task.rows])).rows[0], task.rows);
      await c.query('DROP TABLE bench_pg_insert');
    });
    return { value: ms };
  },
};

// The shared table, loaded once per server in multi-row statements.
async function ensureTable(server) {
  await withAdmin(server, async (c) => {
    const { rows: [{ t }] } = await c.query("SELECT to_regclass('bench_pg') IS NOT NULL AS t");
    if (t && (await c.query('SELECT count(*)::int AS n FROM bench_pg')).rows[0].n === TABLE_ROWS) return;
    await c.query(`DROP TABLE IF EXISTS bench_pg; CREATE TABLE bench_pg ${COLUMNS}`);
    const per = 1000;
    for (let first = 1; first <= TABLE_ROWS; first += per) {
      const values = [];
      const tuples = [];
      for (let id = first; id < first + per && id <= TABLE_ROWS; id++) {
        const base = values.length;
        tuples.push('(' + [1, 2, 3, 4, 5, 6].map((k) => '$' + (base + k)).join(',') + ')');
        values.push(...rowOf(id));
      }
      await c.query('INSERT INTO bench_pg VALUES ' + tuples.join(','), values);
    }
    await c.query('ANALYZE bench_pg');
  });
}

async function runPgTrials(args) {
  const server = serverParams();
  if (!server) {
    console.log('\nserver trials: skipped (no ZELK_PG_* variables; eval "$(scripts/pg-test-server.sh start)")');
    return;
  }
  const drivers = ['pg', 'zelk'];
  if (pgNativeBuilds()) drivers.push('pg-native');
  else console.log('\nserver trials: pg-native is not built (needs libpq-dev), left out');
  await ensureTable(server);
  for (const trial of trials) {
    if (args.only && !args.only.includes(trial.name)) continue;
    const rows = args.quick ? trial.rows.quick : trial.rows.full;
    const results = {};
    const trialDrivers = drivers.concat(trial.extraDrivers || []);
    for (let rep = 0; rep < args.reps; rep++) {
      for (const driver of trialDrivers) {
        const task = { job: trial.job, driver, rows };
        (results[driver] = results[driver] || []).push(runChild(__filename, ['--child', JSON.stringify(task)]));
        process.stderr.write('.');
      }
    }
    process.stderr.write('\n');
    const summary = {};
    for (const driver of trialDrivers) summary[driver] = summarise(results[driver]);
    printTrial({ name: trial.name, unit: 'ms', rows, summary }, BASELINE);
  }
}

async function child(task) {
  const server = serverParams();
  const out = await jobs[task.job](variants[task.driver](server), task, server);
  out.maxRssMB = process.resourceUsage().maxRSS / 1024;
  process.stdout.write(JSON.stringify(out) + '\n');
}

function fail(err) {
  process.stderr.write(String((err && err.stack) || err) + '\n');
  process.exit(1);
}

// run.js's entry: a failing trial ends the process with its error.
function run(args) {
  return runPgTrials(args).catch(fail);
}

if (require.main === module) {
  const argv = process.argv.slice(2);
  if (argv[0] === '--child') {
    child(JSON.parse(argv[1])).then(() => process.exit(0), fail);
  } else {
    const quick = argv.includes('--quick');
    const reps = Number((argv.find((a) => a.startsWith('--reps=')) || '').slice(7)) || (quick ? 1 : 5);
    run({ quick, reps, only: null });
  }
}

module.exports = { run, trials };
