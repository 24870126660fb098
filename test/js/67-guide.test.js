'use strict';
// Runs every JavaScript example of the application guide in an empty
// directory and compares what it prints with the output shown under it.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { root, tmpDir } = require('./helpers');

const GUIDE = path.join(root, 'docs', 'application.md');
const PACKAGES = ['kysely', 'knex', 'drizzle-orm'];

// [{ title, code, output }] in the guide's order; output is null when no
// text block follows the example.
function examples() {
  const text = fs.readFileSync(GUIDE, 'utf8');
  const found = [];
  const block = /(?:^|\n)(#+ [^\n]*)|```js\n([\s\S]*?)```(?:\n```text\n([\s\S]*?)```)?/g;
  let title = '';
  for (let match = block.exec(text); match; match = block.exec(text)) {
    if (match[1]) title = match[1];
    else found.push({ title, code: match[2], output: match[3] === undefined ? null : match[3] });
  }
  return found;
}

// A directory whose node_modules resolves zelk and the builders to this checkout.
function sandbox(index) {
  const dir = path.join(tmpDir, `guide-${index}`);
  fs.mkdirSync(path.join(dir, 'node_modules'), { recursive: true });
  fs.symlinkSync(root, path.join(dir, 'node_modules', 'zelk'));
  for (const name of PACKAGES) fs.symlinkSync(path.join(root, 'node_modules', name), path.join(dir, 'node_modules', name));
  return dir;
}

test('the application guide\'s examples run and print what the guide shows', () => {
  const list = examples();
  assert.ok(list.length >= 7, `examples found: ${list.length}`);
  list.forEach((example, index) => {
    const dir = sandbox(index);
    fs.writeFileSync(path.join(dir, 'example.js'), example.code);
    const out = execFileSync(process.execPath, ['example.js'], { cwd: dir, encoding: 'utf8' });
    if (example.output !== null) assert.strictEqual(out, example.output, `${example.title} (example ${index + 1})`);
  });
});
