'use strict';
// Statements the script no longer references are collected, and their
// handles freed, without a drop.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const { runIsolated, buildDir } = require('./helpers');

// RSS in MB after count prepares on one connection, each dropped or just
// forgotten, with the event loop turning now and then as a server's would.
function rssAfterPrepares(drop) {
  return runIsolated(`
    const zelk = require('.');
    const conn = zelk.createConnection();
    conn.connect('');
    (async () => {
      for (let i = 0; i < 200000; i++) {
        const stmt = conn.prepare('select ? as v');
        if (${drop}) stmt.drop();
        if (i % 1000 === 999) await new Promise((resolve) => setImmediate(resolve));
      }
      console.log(JSON.stringify(process.memoryUsage().rss / 1048576));
    })();`);
}

test('200,000 undropped prepares take about the memory of dropped ones', () => {
  const dropped = rssAfterPrepares(true);
  const forgotten = rssAfterPrepares(false);
  assert.ok(forgotten < 1.5 * dropped, `forgotten ${forgotten} MB, dropped ${dropped} MB`);
});

test('a collected statement frees its handle, and its connection still disconnects', () => {
  const out = runIsolated(`
    const zelk = require('.');
    const { libraryPath } = require('./lib/native');
    const counts = require(${JSON.stringify(path.join(buildDir, 'external_connection.node'))});
    require('v8').setFlagsFromString('--expose-gc');
    const gc = require('vm').runInNewContext('gc');
    const conn = zelk.createConnection();
    conn.connect('');
    const kept = conn.prepare('select 2 as v');
    (() => { for (let i = 0; i < 10; i++) conn.prepare('select 1 as v'); })();
    const before = counts.liveCounts(libraryPath).statements;
    gc();
    setImmediate(() => {
      conn.exec('select 1 as v');
      const after = counts.liveCounts(libraryPath).statements;
      const value = kept.exec()[0].v;
      conn.disconnect();
      console.log(JSON.stringify({ before, after, value, live: counts.liveCounts(libraryPath).statements }));
    });`);
  assert.deepStrictEqual(out, { before: 11, after: 1, value: 2, live: 0 });
});
