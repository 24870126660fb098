'use strict';
// Runs one trial for one driver variant and prints one JSON line:
// { value, maxRssMB, check }. A fresh process per run keeps the drivers
// from warming each other's caches and heaps.
const fs = require('fs');
const path = require('path');
const { variants, pointKeys } = require('./drivers');
const { rowOf, DATA_DIR } = require('./dataset');

const KEYS = ['id', 'big', 'dbl', 'name', 'maybe', 'ts'];

function sameValues(got, expected, where) {
  for (let c = 0; c < expected.length; c++) {
    if (got[c] !== expected[c]) {
      throw new Error(where + ': column ' + KEYS[c] + ' is ' + got[c] + ', expected ' + expected[c]);
    }
  }
}

// Compares a spread of rows with the generator, outside the timed part.
function checkRows(rows, expectedCount, asArrays) {
  if (rows.length !== expectedCount) {
    throw new Error('read ' + rows.length + ' rows, expected ' + expectedCount);
  }
  const step = Math.max(1, Math.floor(rows.length / 997));
  for (let r = 0; r < rows.length; r += step) {
    const row = asArrays ? rows[r] : KEYS.map((k) => rows[r][k]);
    sameValues(row, rowOf(r + 1), 'row ' + (r + 1));
  }
  return rows.length;
}

async function timed(fn) {
  const start = process.hrtime.bigint();
  const result = await fn();
  return { ms: Number(process.hrtime.bigint() - start) / 1e6, result };
}

const jobs = {
  async fetchObjects(driver, task) {
    const { ms, result } = await timed(() => driver.fetchObjects(task.file));
    return { value: ms, check: checkRows(result, task.rows, false) };
  },
  async fetchArrays(driver, task) {
    const { ms, result } = await timed(() => driver.fetchArrays(task.file));
    return { value: ms, check: checkRows(result, task.rows, true) };
  },
  async insert(driver, task) {
    const rows = Array.from({ length: task.rows }, (_, i) => rowOf(i + 1));
    const file = path.join(DATA_DIR, 'insert-' + process.pid + '.db');
    fs.rmSync(file, { force: true });
    try {
      const { ms } = await timed(() => driver.insert(file, rows));
      const Database = require('better-sqlite3');
      const db = new Database(file, { readonly: true });
      const count = db.prepare('SELECT count(*) AS n FROM bench_insert').get().n;
      sameValues(KEYS.map((k) => db.prepare('SELECT * FROM bench_insert WHERE id = ?').get(task.rows)[k]),
                 rowOf(task.rows), 'inserted row');
      db.close();
      if (count !== task.rows) throw new Error('inserted ' + count + ' rows, expected ' + task.rows);
      return { value: ms, check: count };
    } finally {
      fs.rmSync(file, { force: true });
    }
  },
  async pointQueries(driver, task) {
    const keys = pointKeys(task.rows, task.tableRows);
    const { ms, result } = await timed(() => driver.pointQueries(task.file, keys));
    if (result !== keys.length) throw new Error('found ' + result + ' of ' + keys.length + ' keys');
    return { value: ms, check: result };
  },
  // The largest delay a 1 ms timer sees while the whole fetch runs: the
  // gap between two ticks, less the 1 ms it asked for.
  async eventLoop(driver, task) {
    let last = process.hrtime.bigint();
    let worst = 0n;
    const timer = setInterval(() => {
      const now = process.hrtime.bigint();
      if (now - last > worst) worst = now - last;
      last = now;
    }, 1);
    await new Promise((resolve) => setTimeout(resolve, 20));
    worst = 0n;
    last = process.hrtime.bigint();
    const rows = await driver.fetchObjects(task.file);
    await new Promise((resolve) => setTimeout(resolve, 5));
    clearInterval(timer);
    return { value: Math.max(0, Number(worst) / 1e6 - 1), check: checkRows(rows, task.rows, false) };
  },
};

async function main() {
  const task = JSON.parse(process.argv[2]);
  const driver = variants[task.driver]();
  const out = await jobs[task.job](driver, task);
  out.maxRssMB = process.resourceUsage().maxRSS / 1024;
  process.stdout.write(JSON.stringify(out) + '\n');
  process.exit(0);
}

main().catch((err) => {
  process.stderr.write(String(err && err.stack || err) + '\n');
  process.exit(1);
});
