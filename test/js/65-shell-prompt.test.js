'use strict';
// The interactive prompt of zelk-sql, driven through a terminal-mode
// readline on both backends: keys in, screen and messages out.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { PassThrough } = require('stream');
const zp = require('../../lib/promises');
const { Session } = require('../../lib/shell/session');
const { Prompt } = require('../../lib/shell/terminal');
const { bothBackends } = require('./backends');
const { tmpDir, freshDatabase, until } = require('./helpers');

let historyCount = 0;

function openPrompt(connection, backend, history) {
  historyCount += 1;
  const input = new PassThrough();
  const output = new PassThrough();
  const term = { screen: '', messages: [], input };
  output.on('data', (chunk) => { term.screen += chunk; });
  const settings = { format: 'table', expanded: false, timing: false, counts: true, nullText: '(null)', pager: true };
  const io = { info: (text) => term.messages.push(text), error: (text) => term.messages.push(text) };
  term.session = new Session(connection, backend, settings, io);
  term.history = history || path.join(tmpDir, `history-${process.pid}-${historyCount}`);
  term.done = new Prompt(term.session, { input, output, history: term.history }).run();
  term.type = (keys) => input.write(keys);
  term.waitFor = (pattern) => until(() => pattern.test(term.screen) || term.messages.some((m) => pattern.test(m)), pattern);
  return term;
}

bothBackends('meta-commands list tables and describe columns, types, nullability and keys', async (db) => {
  const conn = await db.connectAsync();
  const term = openPrompt(conn, db.name);
  term.type('CREATE TABLE parent (id INTEGER PRIMARY KEY);\n');
  term.type('CREATE TABLE child (id INTEGER NOT NULL PRIMARY KEY,\n  parent_id INTEGER REFERENCES parent(id),\n');
  term.type('  note VARCHAR(10) DEFAULT \'n\');\n\\dt\n');
  await term.waitFor(/child +\| table/);
  assert.match(term.screen, /parent +\| table/);
  term.type('\\d child\n');
  await term.waitFor(/\| REFERENCES parent\(id\)/);
  assert.match(term.screen, /^id +\| integer +\| not null \| +\| PRIMARY KEY$/im);
  assert.match(term.screen, /^parent_id +\| integer +\| +\| +\| REFERENCES parent\(id\)$/im);
  assert.match(term.screen, /^note +\| (VARCHAR\(10\)|character varying\(10\)) +\| +\| 'n'/im);
  term.screen = '';
  term.type('.tables\n.schema child\n\\d nothing_here\n');
  await term.waitFor(/no table or view named "nothing_here"/);
  assert.match(term.screen, /child +\| table[\s\S]*parent_id/);
  term.type('\\conninfo\n\\x\nSELECT 1 AS one, NULL AS n FROM DUMMY;\n');
  await term.waitFor(/-\[ RECORD 1 \]/);
  assert.match(term.screen, /one \| 1\r?\nn +\| \(null\)/);
  assert.ok(term.messages.includes('Expanded display is on.'), term.messages);
  assert.match(term.messages.join('\n'), db.name === 'sqlite' ? /embedded database in file ".*\.db"/ : /Connected to PostgreSQL database/);
  term.type('\\bogus\nSELECT 2\n\\q\n');
  await term.done;
  assert.match(term.messages.join('\n'), /unknown command "\\bogus"/);
});

bothBackends('Ctrl-C aborts a running query and clears the input; twice on an empty line quits', async (db) => {
  const conn = await db.connectAsync();
  const term = openPrompt(conn, db.name);
  term.type(`SELECT ${db.sleepValue(5000)} AS s\nFROM DUMMY;\n`);
  await until(() => term.session.busy, 'the query to start');
  term.type('\x03');
  await term.waitFor(/SQLSTATE HY008/);
  term.type('SELECT 1 AS one FROM DUMMY;\n');
  await term.waitFor(/\(1 row\)/);
  assert.match(term.screen, /one\r?\n---/);
  term.type("SELECT 'never\nrun");
  await until(() => term.session.pending !== '', 'the pending statement');
  term.type('\x03');
  await term.waitFor(/\^C/);
  assert.strictEqual(term.session.pending, '');
  term.type('\x03');
  await term.waitFor(/Ctrl-C again or Ctrl-D to quit/);
  term.type('\x03');
  await term.done;
  assert.ok(!term.messages.some((m) => /never/.test(m)), term.messages);
});

test('Ctrl-D runs the unterminated statement; history keeps one entry per statement', async () => {
  const conn = await zp.connect(freshDatabase());
  const term = openPrompt(conn, 'sqlite');
  term.type('SELECT 1 AS a,\n  2 AS b\nFROM DUMMY;\n.tables\nSELECT 3 AS c FROM DUMMY\n');
  await until(() => term.session.pending !== '', 'the pending statement');
  term.type('\x04');
  await term.done;
  assert.match(term.screen, /^c\r?\n-\r?\n3$/m);
  assert.strictEqual(fs.readFileSync(term.history, 'utf8'),
    'SELECT 1 AS a,\\n  2 AS b\\nFROM DUMMY;\n.tables\nSELECT 3 AS c FROM DUMMY\n');

  const again = openPrompt(conn, 'sqlite', term.history);
  again.type('\x1b[A\x1b[A\x1b[A\r');
  await again.waitFor(/^a \| b$/m);
  again.type('\\q\n');
  await again.done;
  await conn.disconnect();
});
