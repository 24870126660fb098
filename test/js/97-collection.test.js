'use strict';
// Statements and result sets the script no longer references are
// collected, and their handles freed, without a drop or close.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const { runIsolated, buildDir } = require('./helpers');

// Full collections with turns of the event loop between them, so that
// finalizers run; for scripts run by runIsolated.
const COLLECT = `
  require('v8').setFlagsFromString('--expose-gc');
  const gc = require('vm').runInNewContext('gc');
  async function collect() {
    for (let i = 0; i < 3; i++) {
      await new Promise((resolve) => setImmediate(resolve));
      gc();
    }
    await new Promise((resolve) => setImmediate(resolve));
  }`;

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
  const out = runIsolated(`${COLLECT}
    const zelk = require('.');
    const { libraryPath } = require('./lib/native');
    const counts = require(${JSON.stringify(path.join(buildDir, 'external_connection.node'))});
    const conn = zelk.createConnection();
    conn.connect('');
    const kept = conn.prepare('select 2 as v');
    (() => { for (let i = 0; i < 10; i++) conn.prepare('select 1 as v'); })();
    const before = counts.liveCounts(libraryPath).statements;
    collect().then(() => {
      conn.exec('select 1 as v');
      const after = counts.liveCounts(libraryPath).statements;
      const value = kept.exec()[0].v;
      conn.disconnect();
      console.log(JSON.stringify({ before, after, value, live: counts.liveCounts(libraryPath).statements }));
    });`);
  assert.deepStrictEqual(out, { before: 11, after: 1, value: 2, live: 0 });
});

test('a forgotten result set is collected: it holds its statement until then, and unbinds its columns', () => {
  const out = runIsolated(`${COLLECT}
    const zelk = require('.');
    const conn = zelk.createConnection();
    conn.connect({ databaseName: '', _resultSetCanBind: true });
    conn.exec('create table t (id integer, name varchar(20))');
    conn.exec("insert into t values (1, 'one'), (2, 'two')");
    const rows = (rs) => { const seen = []; while (rs.next()) seen.push(rs.getValues()); return seen; };
    const stmt = conn.prepare('select id, name from t order by id');
    let rs = conn.prepare('select name from t where id = 2').execQuery();
    const out = {};
    collect().then(() => {
      out.heldStatement = rows(rs);
      stmt.execQuery().next();
      rs = null;
      return collect();
    }).then(() => {
      out.again = rows(stmt.execQuery());
      conn.disconnect();
      console.log(JSON.stringify(out));
    });`);
  assert.deepStrictEqual(out, {
    heldStatement: [{ name: 'two' }],
    again: [{ id: 1, name: 'one' }, { id: 2, name: 'two' }],
  });
});
