'use strict';
// zelk-sql as a command: arguments, scripts, standard input, output bytes,
// connection targets and signals.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { pathToFileURL } = require('url');
const { root, tmpDir, freshDatabase, until } = require('./helpers');
const { serverSkip } = require('./backends');
const { splitStatements } = require('../../lib/shell/statements');
const { displayWidth } = require('../../lib/shell/format');

const CLI = path.join(root, 'bin', 'zelk-sql.js');
const NO_PG_ENV = Object.fromEntries(Object.entries(process.env).filter(([name]) => !name.startsWith('PG')));

function zelkSql(args, input, env) {
  const run = spawnSync(process.execPath, [CLI, ...args], {
    cwd: tmpDir, input: input || '', encoding: 'utf8', env: Object.assign({}, NO_PG_ENV, env),
  });
  return { status: run.status, stdout: run.stdout, stderr: run.stderr };
}

function script(name, text) {
  const file = path.join(tmpDir, `${name}-${process.pid}.sql`);
  fs.writeFileSync(file, text);
  return file;
}

test('tables align by display width, NULL differs from the string NULL, results are set apart', () => {
  const db = freshDatabase();
  const created = zelkSql(['--database', db, "CREATE TABLE t (id INTEGER, name VARCHAR(20)); INSERT INTO t VALUES (1, '東京'), (20, 'NULL'), (3, NULL)"]);
  assert.strictEqual(created.status, 0, created.stderr);
  assert.match(created.stderr, /\(3 rows affected, [\d.]+ ms\)/);

  const selected = zelkSql(['-d', db, 'SELECT id, name FROM t ORDER BY id; SELECT COUNT(*) AS n FROM t']);
  assert.strictEqual(selected.status, 0, selected.stderr);
  assert.strictEqual(selected.stdout, [
    'id | name',
    '---+-------',
    ' 1 | 東京',
    ' 3 | (null)',
    '20 | NULL',
    '',
    'n',
    '-',
    '3',
    '',
  ].join('\n'));
  assert.match(selected.stderr, /^\(3 rows, [\d.]+ ms\)\n\(1 row, [\d.]+ ms\)\n$/);

  const custom = zelkSql(['-d', db, '--null', '∅', '--no-timing', '-x', 'SELECT id, name AS "名前" FROM t WHERE id = 3']);
  assert.strictEqual(custom.stdout, '-[ RECORD 1 ]\nid   | 3\n名前 | ∅\n');
  assert.strictEqual(custom.stderr, '');
});

test('CSV is RFC 4180: CRLF after every row, quoting, NULL unlike the empty string; JSON and line', () => {
  const sql = "SELECT 1 AS id, 'a,\"b' AS s, NULL AS n, '' AS e, 'x\ny' AS m FROM DUMMY; SELECT 2 AS two FROM DUMMY";
  const csv = zelkSql(['--csv', sql]);
  assert.strictEqual(csv.stdout, 'id,s,n,e,m\r\n1,"a,""b",,"","x\ny"\r\n\r\ntwo\r\n2\r\n');
  const json = zelkSql(['--json', '--no-timing', sql]);
  assert.deepStrictEqual(json.stdout.split('\n\n').map((part) => JSON.parse(part)),
    [[{ id: 1, s: 'a,"b', n: null, e: '', m: 'x\ny' }], [{ two: 2 }]]);
  const line = zelkSql(['-F', 'line', 'SELECT 1 AS id, NULL AS name FROM DUMMY']);
  assert.strictEqual(line.stdout, '  id = 1\nname = (null)\n');
  const usage = zelkSql(['--format', 'xml', 'SELECT 1']);
  assert.strictEqual(usage.status, 2);
  assert.match(usage.stderr, /unknown format "xml"/);
});

test('a script stops at its first error, naming the line; --continue-on-error goes on', () => {
  const db = freshDatabase();
  const text = "CREATE TABLE t (s VARCHAR(9));\n-- a comment; not a statement\nINSERT INTO t\n  VALUES ('x;y'); SELEKT 1;\nINSERT INTO t VALUES ('after');\n";
  const file = script('error-on-3', text.replace("INSERT INTO t\n  VALUES ('x;y'); ", 'SELEKT 2;\n'));
  const stopped = zelkSql(['-d', db, '-f', file]);
  assert.strictEqual(stopped.status, 1);
  assert.match(stopped.stderr, new RegExp(`^${file.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}:3: Error \\d+ \\(SQLSTATE 42000\\): near "SELEKT": syntax error$`, 'm'));
  assert.strictEqual(zelkSql(['-d', db, '--csv', 'SELECT COUNT(*) AS n FROM t']).stdout, 'n\r\n0\r\n');

  const fromStdin = zelkSql(['-d', freshDatabase(), '--continue-on-error', '--csv'], `${text}SELECT s FROM t`);
  assert.strictEqual(fromStdin.status, 1);
  assert.match(fromStdin.stderr, /^<stdin>:4: Error .*SELEKT/m);
  assert.strictEqual(fromStdin.stdout, 's\r\nx;y\r\nafter\r\n');
});

test('meta-commands in scripts: \\i and .read, \\o and .output, .mode, .nullvalue, exit', () => {
  const db = freshDatabase();
  const inner = script('inner', "CREATE TABLE t (v VARCHAR(5));\nINSERT INTO t VALUES ('in'), (NULL);\n");
  const out = path.join(tmpDir, `out-${process.pid}.csv`);
  const outer = script('outer', [`\\i ${inner}`, `.output '${out}'`, '.mode csv', 'SELECT v FROM t ORDER BY v;',
    '\\o', '.nullvalue -', '.mode table', 'SELECT v FROM t', 'ORDER BY v;', 'exit', 'SELECT 1;', ''].join('\n'));
  const run = zelkSql(['-d', db, '--no-timing', '-f', outer]);
  assert.strictEqual(run.status, 0, run.stderr);
  assert.strictEqual(fs.readFileSync(out, 'utf8'), 'v\r\n\r\nin\r\n');
  assert.strictEqual(run.stdout, 'v\n--\n-\nin\n');
  const missing = zelkSql(['-d', db, '.read /nonexistent/x.sql\nSELECT 1 FROM DUMMY']);
  assert.strictEqual(missing.status, 1);
  assert.match(missing.stderr, /^command line:1: Error: ENOENT/m);
});

test('connection targets: file URL argument, and a URL that cannot be read', () => {
  const db = freshDatabase();
  zelkSql(['-d', db, 'CREATE TABLE t (v INTEGER); INSERT INTO t VALUES (7)']);
  const viaUrl = zelkSql([pathToFileURL(db).href, '--csv', 'SELECT v FROM t']);
  assert.strictEqual(viaUrl.stdout, 'v\r\n7\r\n', viaUrl.stderr);
  const bad = zelkSql(['postgres://u:secret@h:0/d', 'SELECT 1']);
  assert.strictEqual(bad.status, 1);
  assert.match(bad.stderr, /Invalid connection URL "postgres:\/\/u:\*\*\*@h:0\/d": port "0"/);
});

test('a server named by URL or by the PG environment', { skip: serverSkip }, () => {
  const env = process.env;
  const sql = '\\conninfo\nSELECT current_user AS u';
  const url = `postgres://${env.ZELK_PG_USER}@127.0.0.1:${env.ZELK_PG_PORT}/${env.ZELK_PG_DATABASE}?sslmode=disable`;
  const byUrl = zelkSql([url, '--csv'], sql, { PGPASSWORD: env.ZELK_PG_PASSWORD });
  assert.strictEqual(byUrl.stdout, `u\r\n${env.ZELK_PG_USER}\r\n`, byUrl.stderr);
  assert.match(byUrl.stderr, new RegExp(`Connected to PostgreSQL database "${env.ZELK_PG_DATABASE}" as user "${env.ZELK_PG_USER}" on host "127.0.0.1" at port "${env.ZELK_PG_PORT}"\\.`));
  const byEnv = zelkSql(['--csv'], sql, {
    PGHOST: '127.0.0.1', PGPORT: env.ZELK_PG_PORT, PGUSER: env.ZELK_PG_USER, PGPASSWORD: env.ZELK_PG_PASSWORD,
    PGDATABASE: env.ZELK_PG_DATABASE, PGSSLMODE: 'require',
  });
  assert.strictEqual(byEnv.stdout, `u\r\n${env.ZELK_PG_USER}\r\n`, byEnv.stderr);
  assert.match(byEnv.stderr, /at port "\d+" \(TLS\)\./);
});

const hasScript = spawnSync('script', ['--version']).status === 0;

// script(1) gives zelk-sql a pseudo-terminal and types what it reads.
async function onTerminal(args, typed) {
  const command = [process.execPath, CLI, ...args].map((a) => `'${a}'`).join(' ');
  const child = spawn('script', ['-qec', command, '/dev/null'], { cwd: tmpDir, env: NO_PG_ENV });
  const run = { screen: '' };
  child.stdout.on('data', (chunk) => { run.screen += chunk; });
  const closed = new Promise((resolve) => child.on('close', resolve));
  await until(() => run.screen.includes(typed.after), typed.after);
  child.stdin.write(typed.keys);
  run.status = await closed;
  return run;
}

test('the password is asked on the terminal without echo: with -W, or when the server wants one',
  { skip: serverSkip || (!hasScript && 'no script(1)') }, async () => {
    const env = process.env;
    const url = `postgres://${env.ZELK_PG_USER}@127.0.0.1:${env.ZELK_PG_PORT}/${env.ZELK_PG_DATABASE}`;
    for (const flags of [['-W'], []]) {
      const run = await onTerminal([...flags, '--csv', url, 'SELECT current_user AS u'],
        { after: 'Password: ', keys: `${env.ZELK_PG_PASSWORD}\r` });
      assert.strictEqual(run.status, 0, run.screen);
      assert.match(run.screen, new RegExp(`^u\r+\n${env.ZELK_PG_USER}\r+\n`, 'm'));
      assert.ok(!run.screen.includes(env.ZELK_PG_PASSWORD), run.screen);
    }
  });

test('SIGINT cancels the running statement of a script, which then stops', async () => {
  const file = script('sigint', "SELECT 'before' AS b FROM DUMMY;\nSELECT zkv_sleep(5000) AS s FROM DUMMY;\nSELECT 'after' AS a FROM DUMMY;\n");
  const child = spawn(process.execPath, [CLI, '-f', file], { cwd: tmpDir, env: NO_PG_ENV });
  let stderr = '';
  let stdout = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  child.stdout.on('data', (chunk) => { stdout += chunk; });
  const closed = new Promise((resolve) => child.on('close', resolve));
  await until(() => stdout.includes('before'), 'the first statement');
  await new Promise((resolve) => setTimeout(resolve, 200));
  child.kill('SIGINT');
  assert.strictEqual(await closed, 1);
  assert.match(stderr, /sigint-\d+\.sql:2: Error \d+ \(SQLSTATE HY008\)/);
  assert.ok(!stdout.includes('after'), stdout);
});

test('display widths; statements split at semicolons outside quotes and comments', () => {
  assert.deepStrictEqual(['東京', '한국', 'ｱ', 'e\u0301', '🎉', 'a\u200Bb'].map(displayWidth), [4, 4, 1, 1, 2, 2]);
  assert.deepStrictEqual(splitStatements("SELECT ';' FROM a; SELECT \"x;\" -- ;\n; /* ; */ tail"), {
    statements: ["SELECT ';' FROM a", ' SELECT "x;" -- ;\n'],
    rest: ' /* ; */ tail',
  });
  assert.deepStrictEqual(splitStatements("SELECT 'open; quote"), { statements: [], rest: "SELECT 'open; quote" });
});
