'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const { execFileSync } = require('child_process');
const { root } = require('./helpers');

test('the declarations compile against usage files with tsc --noEmit', () => {
  const tsc = path.join(path.dirname(require.resolve('typescript/package.json', { paths: [root] })), 'bin', 'tsc');
  for (const name of ['tsconfig.json', 'integrations.tsconfig.json']) {
    const project = path.join(root, 'test', 'types', name);
    let output = '';
    try {
      output = execFileSync(process.execPath, [tsc, '-p', project, '--noEmit'], { cwd: root, encoding: 'utf8' });
    } catch (err) {
      assert.fail(`tsc reported errors for ${name}:\n${err.stdout}${err.stderr}`);
    }
    assert.strictEqual(output.trim(), '');
  }
});

test('ES modules and CommonJS get the same objects through the package exports', () => {
  const script = `
    import zelk, { createConnection, ResultSet } from 'zelk';
    import promises, { connect, Connection } from 'zelk/promises';
    import { createRowStream } from 'zelk/streams';
    import { createRequire } from 'module';
    const require = createRequire(import.meta.url);
    const cjs = require('zelk');
    const conn = await connect();
    const rows = await conn.exec("SELECT 'esm' AS via FROM DUMMY");
    await conn.disconnect();
    console.log(JSON.stringify({
      same: zelk === cjs && createConnection === cjs.createConnection && ResultSet === cjs.ResultSet,
      promises: promises.Connection === Connection && Connection === require('zelk/promises').Connection,
      streams: createRowStream === require('zelk/streams').createRowStream,
      rows,
    }));`;
  const out = execFileSync(process.execPath, ['--input-type=module', '-e', script], { cwd: root, encoding: 'utf8' });
  assert.deepStrictEqual(JSON.parse(out), { same: true, promises: true, streams: true, rows: [{ via: 'esm' }] });
  assert.throws(() => require('zelk/lib/decoder'), { code: 'ERR_PACKAGE_PATH_NOT_EXPORTED' });
});
