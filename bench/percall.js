'use strict';
// Per-call costs: iteration per row and point queries, each against the
// peer that offers the same call, in one process with the drivers'
// rounds interleaved; medians of the rounds, ratio = zelk / peer.
//   node bench/percall.js [--rounds=N] [--only=name,name]
// With --instructions, each operation runs under callgrind at two counts
// and the difference gives instructions per operation, which do not
// depend on the machine's load (valgrind must be installed); --main-thread
// counts only the script's thread; --sync-compile has the optimising
// compiler run on that thread, whose count then no longer depends on when
// the compiler's background jobs finish.
const { spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { promisify } = require('util');

const ZELK_ROOT = path.join(__dirname, '..');
const ROWS = 10000;
const POINT_SQL = 'SELECT id, name, dbl FROM t WHERE id = ?';
const ITERATE_SQL = 'SELECT id, name, dbl FROM t';
const SERVER_ITERATE_SQL = 'SELECT id, name, dbl FROM percall_t';

function makeDatabase(file) {
  fs.rmSync(file, { force: true });
  const zelk = require(ZELK_ROOT);
  const conn = zelk.createConnection();
  conn.connect({ databaseName: file });
  conn.exec('CREATE TABLE t (id INTEGER PRIMARY KEY, name VARCHAR(32), dbl DOUBLE)');
  conn.setAutoCommit(false);
  const rows = Array.from({ length: ROWS }, (_, i) => [i + 1, 'name ' + (i + 1), (i + 1) / 7]);
  conn.prepare('INSERT INTO t VALUES (?, ?, ?)').execBatch(rows);
  conn.commit();
  conn.disconnect();
}

// The server trial runs when the ZELK_PG_* variables name a server
// (eval "$(scripts/pg-test-server.sh start)").
function serverParams() {
  const env = process.env;
  if (!env.ZELK_PG_HOST || !env.ZELK_PG_PORT || !env.ZELK_PG_USER || !env.ZELK_PG_DATABASE) return null;
  return { host: env.ZELK_PG_HOST, port: env.ZELK_PG_PORT, user: env.ZELK_PG_USER,
           password: env.ZELK_PG_PASSWORD, database: env.ZELK_PG_DATABASE };
}

function makeServerTable() {
  const conn = require(ZELK_ROOT).createConnection();
  conn.connect(serverParams());
  conn.exec('DROP TABLE IF EXISTS percall_t');
  conn.exec('CREATE TABLE percall_t (id INTEGER PRIMARY KEY, name VARCHAR(32), dbl DOUBLE PRECISION)');
  const rows = Array.from({ length: ROWS }, (_, i) => [i + 1, 'name ' + (i + 1), (i + 1) / 7]);
  conn.prepare('INSERT INTO percall_t VALUES (?, ?, ?)').execBatch(rows);
  conn.disconnect();
}

function keyAt(i) {
  return 1 + ((i * 7919) % ROWS);
}

// Each operation: setup(file) gives a function that runs `count` calls
// (resolving when done) and returns how many calls it made.
const operations = {
  'iterate-zelk': async (file) => {
    const { connect } = require(path.join(ZELK_ROOT, 'lib', 'promises'));
    const conn = await connect({ databaseName: file });
    return async (count) => {
      let n = 0;
      while (n < count) {
        for await (const row of conn.iterate(ITERATE_SQL)) { if (row.id && ++n >= count) break; }
      }
      return n;
    };
  },
  'iterate-better-sqlite3': async (file) => {
    const db = new (require('better-sqlite3'))(file, { readonly: true });
    const stmt = db.prepare(ITERATE_SQL);
    return async (count) => {
      let n = 0;
      while (n < count) {
        for (const row of stmt.iterate()) { if (row.id && ++n >= count) break; }
      }
      return n;
    };
  },
  'iterate-server-zelk': async () => {
    const { connect } = require(path.join(ZELK_ROOT, 'lib', 'promises'));
    const conn = await connect(serverParams());
    return async (count) => {
      let n = 0;
      while (n < count) {
        for await (const row of conn.iterate(SERVER_ITERATE_SQL)) { if (row.id && ++n >= count) break; }
      }
      return n;
    };
  },
  'iterate-server-pg': async () => {
    const server = serverParams();
    const client = new (require('pg').Client)({ ...server, port: Number(server.port) });
    await client.connect();
    return async (count) => {
      let n = 0;
      while (n < count) {
        for (const row of (await client.query(SERVER_ITERATE_SQL)).rows) { if (row.id && ++n >= count) break; }
      }
      return n;
    };
  },
  'point-sync-prepared-zelk': async (file) => {
    const conn = require(ZELK_ROOT).createConnection();
    conn.connect({ databaseName: file });
    const stmt = conn.prepare(POINT_SQL);
    return async (count) => { for (let i = 0; i < count; i++) stmt.exec([keyAt(i)]); return count; };
  },
  'point-sync-prepared-better-sqlite3': async (file) => {
    const stmt = new (require('better-sqlite3'))(file, { readonly: true }).prepare(POINT_SQL);
    return async (count) => { for (let i = 0; i < count; i++) stmt.get(keyAt(i)); return count; };
  },
  'point-sync-exec-zelk': async (file) => {
    const conn = require(ZELK_ROOT).createConnection();
    conn.connect({ databaseName: file });
    return async (count) => { for (let i = 0; i < count; i++) conn.exec(POINT_SQL, [keyAt(i)]); return count; };
  },
  'point-sync-exec-better-sqlite3': async (file) => {
    const db = new (require('better-sqlite3'))(file, { readonly: true });
    return async (count) => { for (let i = 0; i < count; i++) db.prepare(POINT_SQL).get(keyAt(i)); return count; };
  },
  'point-async-callback-zelk': async (file) => {
    const conn = require(ZELK_ROOT).createConnection();
    conn.connect({ databaseName: file });
    const stmt = conn.prepare(POINT_SQL);
    const exec = promisify((key, cb) => stmt.exec([key], cb));
    return async (count) => { for (let i = 0; i < count; i++) await exec(keyAt(i)); return count; };
  },
  'point-async-callback-sqlite3': async (file) => {
    const sqlite3 = require('sqlite3');
    const db = await new Promise((resolve, reject) => {
      const d = new sqlite3.Database(file, (err) => (err ? reject(err) : resolve(d)));
    });
    const stmt = db.prepare(POINT_SQL);
    const get = promisify((key, cb) => stmt.get(key, cb));
    return async (count) => { for (let i = 0; i < count; i++) await get(keyAt(i)); return count; };
  },
  'point-async-promise-zelk': async (file) => {
    const { connect } = require(path.join(ZELK_ROOT, 'lib', 'promises'));
    const conn = await connect({ databaseName: file });
    return async (count) => { for (let i = 0; i < count; i++) await conn.exec(POINT_SQL, [keyAt(i)]); return count; };
  },
  'point-async-promise-sqlite3': async (file) => {
    const sqlite3 = require('sqlite3');
    const db = await new Promise((resolve, reject) => {
      const d = new sqlite3.Database(file, (err) => (err ? reject(err) : resolve(d)));
    });
    const get = promisify(db.get.bind(db));
    return async (count) => { for (let i = 0; i < count; i++) await get(POINT_SQL, keyAt(i)); return count; };
  },
};

// Trials pair an operation of zelk with its peer's.
const trials = [
  { name: 'iterate (per row)', zelk: 'iterate-zelk', peer: 'iterate-better-sqlite3', calls: 20000 },
  { name: 'server iterate (per row)', zelk: 'iterate-server-zelk', peer: 'iterate-server-pg', calls: 20000, server: true, countFrom: ROWS },
  { name: 'sync point, prepared', zelk: 'point-sync-prepared-zelk', peer: 'point-sync-prepared-better-sqlite3', calls: 20000 },
  { name: 'sync point, conn.exec', zelk: 'point-sync-exec-zelk', peer: 'point-sync-exec-better-sqlite3', calls: 20000 },
  { name: 'async point, callback', zelk: 'point-async-callback-zelk', peer: 'point-async-callback-sqlite3', calls: 5000 },
  { name: 'async point, promise', zelk: 'point-async-promise-zelk', peer: 'point-async-promise-sqlite3', calls: 5000 },
];

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

async function timeRounds(file, rounds, selected) {
  const runners = {};
  for (const trial of selected) {
    runners[trial.zelk] = await operations[trial.zelk](file);
    runners[trial.peer] = await operations[trial.peer](file);
  }
  const samples = {};
  for (let round = 0; round < rounds; round++) {
    for (const trial of selected) {
      for (const op of [trial.zelk, trial.peer]) {
        const start = process.hrtime.bigint();
        const n = await runners[op](trial.calls);
        const us = Number(process.hrtime.bigint() - start) / 1e3 / n;
        (samples[op] = samples[op] || []).push(us);
      }
    }
  }
  return samples;
}

function collected(stderr) {
  const match = /Collected : (\d+)/.exec(stderr);
  if (!match) throw new Error('callgrind printed no instruction count');
  return Number(match[1]);
}

// Instructions of `count` calls of one operation, setup included; the
// difference of two counts leaves the per-call cost. Both counts start at
// the trial's call count, past the optimising compiler's warm-up. With
// mainThread only the script's thread counts: the compiler's background
// jobs move the all-thread count by a third between runs.
function countInstructions(file, op, calls, mainThread, syncCompile) {
  const measure = (count) => {
    const out = path.join(os.tmpdir(), `zelk-percall-cg-${process.pid}`);
    const result = spawnSync('valgrind', ['--tool=callgrind', `--callgrind-out-file=${out}`,
      `--separate-threads=${mainThread ? 'yes' : 'no'}`, process.execPath,
      ...(syncCompile ? ['--no-concurrent-recompilation'] : []),
      __filename, `--run=${op}`, `--count=${count}`, `--file=${file}`], { encoding: 'utf8' });
    if (result.status !== 0) throw new Error(`${op} under callgrind failed: ${result.stderr}`);
    const outputs = fs.readdirSync(os.tmpdir()).filter((name) => name.startsWith(path.basename(out)));
    const mainOutput = path.join(os.tmpdir(), path.basename(out) + '-01');
    const total = mainThread ? mainThreadTotal(mainOutput) : collected(result.stderr);
    for (const name of outputs) fs.rmSync(path.join(os.tmpdir(), name), { force: true });
    return total;
  };
  return (measure(calls * 4) - measure(calls)) / (calls * 3);
}

function mainThreadTotal(file) {
  const match = /^(?:totals|summary): (\d+)/m.exec(fs.readFileSync(file, 'utf8'));
  if (!match) throw new Error('no total in ' + file);
  return Number(match[1]);
}

function parseArgs(argv) {
  const args = { rounds: 7, only: null, instructions: false, mainThread: false, syncCompile: false, run: null,
                 count: 0, file: null };
  for (const arg of argv) {
    const [key, value] = arg.replace(/^--/, '').split('=');
    if (key === 'rounds') args.rounds = Number(value);
    else if (key === 'only') args.only = value.split(',');
    else if (key === 'instructions') args.instructions = true;
    else if (key === 'main-thread') args.instructions = args.mainThread = true;
    else if (key === 'sync-compile') args.syncCompile = true;
    else if (key === 'run') args.run = value;
    else if (key === 'count') args.count = Number(value);
    else if (key === 'file') args.file = value;
    else throw new Error('unknown argument ' + arg);
  }
  return args;
}

async function main() {
  const args = parseArgs(process.argv.slice(2));
  if (args.run) {
    const runner = await operations[args.run](args.file);
    await runner(args.count);
    process.exit(0);
  }
  const file = path.join(os.tmpdir(), `zelk-percall-${process.pid}.db`);
  makeDatabase(file);
  const selected = trials.filter((t) => (!args.only || args.only.some((o) => t.name.includes(o))) &&
                                        (!t.server || serverParams()));
  if (selected.some((t) => t.server)) makeServerTable();
  console.log(`node ${process.version}, ${os.cpus().length} x ${os.cpus()[0].model}, ${args.rounds} rounds`);
  const samples = await timeRounds(file, args.rounds, selected);
  console.log('\ntrial                       zelk µs   peer µs   ratio' + (args.instructions ? '   zelk instr   peer instr   ratio' : ''));
  for (const trial of selected) {
    const z = median(samples[trial.zelk]);
    const p = median(samples[trial.peer]);
    let line = `${trial.name.padEnd(26)}${z.toFixed(2).padStart(9)}${p.toFixed(2).padStart(10)}${(z / p).toFixed(2).padStart(8)}`;
    if (args.instructions) {
      // pg reads the whole result per query: count whole results.
      const calls = trial.countFrom || Math.min(trial.calls, 2000);
      const zi = countInstructions(file, trial.zelk, calls, args.mainThread, args.syncCompile);
      const pi = countInstructions(file, trial.peer, calls, args.mainThread, args.syncCompile);
      line += `${Math.round(zi).toString().padStart(13)}${Math.round(pi).toString().padStart(13)}${(zi / pi).toFixed(2).padStart(8)}`;
    }
    console.log(line);
  }
  fs.rmSync(file, { force: true });
  process.exit(0);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
