'use strict';
// Which binaries a process ends up using, and what a machine without libpq
// still can do.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { buildDir, runIsolated, tmpDir } = require('./helpers');

// The libraries mapped into the process after one query, and its error if any.
function probe(connectTarget) {
  return `
    const zelk = require('./');
    const c = zelk.createConnection();
    let error = null, rows = null;
    try { c.connect(${JSON.stringify(connectTarget)}); rows = c.exec('SELECT 1 AS x FROM DUMMY'); }
    catch (e) { error = { code: e.code, message: e.message, sqlState: e.sqlState }; }
    const maps = require('fs').readFileSync('/proc/self/maps', 'utf8');
    const mapped = (name) => [...new Set(maps.split('\\n').filter((l) => l.includes(name))
      .map((l) => l.slice(l.indexOf('/'))))];
    console.log(JSON.stringify({ rows, error, dbcapi: mapped('libdbcapiZKV'), libpq: mapped('libpq') }));`;
}

test('the client library beside the loaded module is the one used', () => {
  const copy = fs.mkdtempSync(path.join(tmpDir, 'binaries-'));
  for (const name of ['zelk.node', 'libdbcapiZKV.so']) fs.copyFileSync(path.join(buildDir, name), path.join(copy, name));
  const out = runIsolated(probe(''), { ZELK_BUILD_DIR: copy, ZELK_DBCAPI_LIBRARY: '' });
  assert.deepStrictEqual(out.rows, [{ x: 1 }]);
  assert.deepStrictEqual(out.dbcapi, [path.join(copy, 'libdbcapiZKV.so')]);
});

test('the embedded database neither needs nor loads libpq', () => {
  const out = runIsolated(probe(''), { _ZKV_LIBPQ_PATH: '/nonexistent/libpq.so.5' });
  assert.deepStrictEqual(out.rows, [{ x: 1 }]);
  assert.deepStrictEqual(out.libpq, []);
});

test('a server connection without libpq fails naming the missing library', () => {
  const out = runIsolated(probe('serverNode=127.0.0.1:1;uid=u;pwd=p'), { _ZKV_LIBPQ_PATH: '/nonexistent/libpq.so.5' });
  assert.strictEqual(out.rows, null);
  assert.strictEqual(out.error.sqlState, '08001');
  assert.match(out.error.message, /\/nonexistent\/libpq\.so\.5 could not be loaded/);
  assert.match(out.error.message, /install libpq/);
});
