'use strict';
// The module loaded in several Node.js environments of one process: the
// main thread and worker threads, which start and end in any order.
const test = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('child_process');
const { runIsolated, freshDatabase, root } = require('./helpers');

// Runs in a worker: opens its own connection, reports, then keeps a slow
// query running until the worker is ended.
const WORKER = `
  const { parentPort, workerData } = require('worker_threads');
  const zelk = require(workerData.root);
  const conn = zelk.createConnection();
  conn.connect('databaseName=' + workerData.file);
  conn.exec('select ? as v', [workerData.id], (err, rows) => {
    parentPort.postMessage({ id: workerData.id, value: err ? err.message : rows[0].v });
    if (workerData.linger) for (let i = 0; i < 4; i++) conn.exec('select zkv_sleep(300) as s', () => {});
  });`;

test('the main thread goes on using the module after a worker that used it has ended', () => {
  const out = runIsolated(`
    const { Worker } = require('worker_threads');
    const zelk = require('.');
    const worker = new Worker(${JSON.stringify(WORKER)},
      { eval: true, workerData: { root: process.cwd(), file: ${JSON.stringify(freshDatabase())}, id: 7 } });
    const out = {};
    worker.on('message', (m) => { out.worker = m.value; });
    worker.on('exit', () => {
      const conn = zelk.createConnection();
      conn.connect('');
      conn.exec('select 1 as v', (err, rows) => {
        out.main = err ? err.message : rows[0].v;
        conn.disconnect(() => console.log(JSON.stringify(out)));
      });
    });`);
  assert.deepStrictEqual(out, { worker: 7, main: 1 });
});

test('four workers ended while their queries run leave the main thread\'s connections working', () => {
  const out = runIsolated(`
    const { Worker } = require('worker_threads');
    const zelk = require('.');
    const file = ${JSON.stringify(freshDatabase())};
    const main = zelk.createConnection();
    main.connect('databaseName=' + file);
    const out = { workers: [], main: [] };
    let pending = 4;
    for (let id = 1; id <= 4; id++) {
      const worker = new Worker(${JSON.stringify(WORKER)},
        { eval: true, workerData: { root: process.cwd(), file, id, linger: true } });
      worker.on('message', (m) => {
        out.workers.push(m.value);
        setTimeout(() => worker.terminate(), 50);
      });
      worker.on('exit', () => {
        main.exec('select ? as v', [id], (err, rows) => {
          out.main.push(err ? err.message : rows[0].v);
          if (--pending === 0) main.disconnect(() => console.log(JSON.stringify(out)));
        });
      });
    }
    main.exec('select zkv_sleep(100) as s', () => {});`);
  assert.deepStrictEqual(out.workers.sort(), [1, 2, 3, 4]);
  assert.deepStrictEqual(out.main.sort(), [1, 2, 3, 4]);
});

test('a process where only a worker used the module exits cleanly', () => {
  const run = spawnSync(process.execPath, ['-e', `
    const { Worker } = require('worker_threads');
    const worker = new Worker(${JSON.stringify(WORKER)},
      { eval: true, workerData: { root: process.cwd(), file: ${JSON.stringify(freshDatabase())}, id: 3 } });
    worker.on('message', (m) => console.log(m.value));`], { cwd: root, encoding: 'utf8' });
  assert.deepStrictEqual({ status: run.status, stdout: run.stdout, stderr: run.stderr },
    { status: 0, stdout: '3\n', stderr: '' });
});
