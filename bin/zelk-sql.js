#!/usr/bin/env node
'use strict';
// zelk-sql: runs SQL from arguments, a file, standard input or an interactive
// prompt, and prints each result as a table, JSON or CSV.
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const zelk = require('../lib/promises');

const USAGE = `Usage: zelk-sql [options] [SQL ...]

Runs each SQL argument (statements separated by ";"), or the file given with
--file, or standard input; with none of them and a terminal, starts a prompt.

Options:
  -d, --database FILE      database file (databaseName=FILE)
  -c, --connection STRING  connection string, e.g. "databaseName=/tmp/app.db"
  -f, --file PATH          run the SQL in PATH
  -F, --format FORMAT      table (default), json or csv
      --json, --csv        the same as --format json / --format csv
      --no-timing          do not print row counts and timing
  -h, --help               show this text
  -V, --version            print the driver version

Without --database or --connection a private in-memory database is used.`;

const FORMATS = ['table', 'json', 'csv'];

class UsageError extends Error {}

function optionValue(args, index, name) {
  if (index + 1 >= args.length) throw new UsageError(`${name} needs a value`);
  return args[index + 1];
}

function checkFormat(format) {
  if (!FORMATS.includes(format)) throw new UsageError(`unknown format "${format}" (table, json or csv)`);
  return format;
}

const VALUE_OPTIONS = {
  '-d': 'database', '--database': 'database',
  '-c': 'connection', '--connection': 'connection',
  '-f': 'file', '--file': 'file',
  '-F': 'format', '--format': 'format',
};

const FLAG_OPTIONS = {
  '--json': (o) => { o.format = 'json'; },
  '--csv': (o) => { o.format = 'csv'; },
  '--no-timing': (o) => { o.timing = false; },
  '-h': (o) => { o.help = true; },
  '--help': (o) => { o.help = true; },
  '-V': (o) => { o.version = true; },
  '--version': (o) => { o.version = true; },
};

function parseArgs(args) {
  const options = { format: 'table', timing: true, sql: [] };
  for (let i = 0; i < args.length; i += 1) {
    const arg = args[i];
    if (VALUE_OPTIONS[arg]) {
      options[VALUE_OPTIONS[arg]] = optionValue(args, i, arg);
      i += 1;
    } else if (FLAG_OPTIONS[arg]) {
      FLAG_OPTIONS[arg](options);
    } else if (arg === '--') {
      options.sql.push(...args.slice(i + 1));
      break;
    } else if (arg.startsWith('-') && arg.length > 1) {
      throw new UsageError(`unknown option ${arg}`);
    } else {
      options.sql.push(arg);
    }
  }
  checkFormat(options.format);
  if (options.database && options.connection) throw new UsageError('give --database or --connection, not both');
  return options;
}

function connectionParams(options) {
  if (options.connection) return options.connection;
  if (options.database) return { databaseName: options.database };
  return '';
}

// Splits SQL text at semicolons outside quotes and comments. `rest` is the
// unterminated tail, which a prompt keeps until the statement is complete.
function splitStatements(text) {
  const statements = [];
  let start = 0;
  let i = 0;
  while (i < text.length) {
    const c = text[i];
    if (c === "'" || c === '"' || c === '`') {
      const close = text.indexOf(c, i + 1);
      if (close < 0) return { statements, rest: text.slice(start) };
      i = close + 1;
    } else if (c === '-' && text[i + 1] === '-') {
      const eol = text.indexOf('\n', i);
      i = eol < 0 ? text.length : eol + 1;
    } else if (c === '/' && text[i + 1] === '*') {
      const close = text.indexOf('*/', i + 2);
      if (close < 0) return { statements, rest: text.slice(start) };
      i = close + 2;
    } else {
      if (c === ';') {
        statements.push(text.slice(start, i));
        start = i + 1;
      }
      i += 1;
    }
  }
  return { statements, rest: text.slice(start) };
}

function isBlank(sql) {
  return sql.replace(/--[^\n]*|\/\*[\s\S]*?\*\//g, '').trim() === '';
}

function scriptStatements(text) {
  const { statements, rest } = splitStatements(text);
  return statements.concat([rest]).filter((sql) => !isBlank(sql));
}

function displayValue(value) {
  if (value === null || value === undefined) return 'NULL';
  if (Buffer.isBuffer(value)) return `0x${value.toString('hex')}`;
  if (typeof value === 'object') return JSON.stringify(value);
  return String(value).replace(/\r?\n/g, '\\n');
}

function formatTable(columns, rows) {
  const cells = rows.map((row) => row.map(displayValue));
  const widths = columns.map((name, c) => Math.max(name.length, ...cells.map((row) => row[c].length)));
  const numeric = columns.map((name, c) => rows.length > 0 && rows.every((row) => typeof row[c] === 'number'
    || typeof row[c] === 'bigint' || row[c] === null));
  const line = (values) => values.map((v, c) => (numeric[c] ? v.padStart(widths[c]) : v.padEnd(widths[c])))
    .join(' | ').trimEnd();
  const rule = widths.map((w) => '-'.repeat(w)).join('-+-');
  return [line(columns), rule, ...cells.map(line)].join('\n');
}

function jsonValue(key, value) {
  if (value && value.type === 'Buffer' && Array.isArray(value.data)) return Buffer.from(value.data).toString('hex');
  return typeof value === 'bigint' ? value.toString() : value;
}

function formatJson(columns, rows) {
  const objects = rows.map((row) => Object.fromEntries(columns.map((name, c) => [name, row[c]])));
  return JSON.stringify(objects, jsonValue, 2);
}

function csvField(value) {
  if (value === null || value === undefined) return '';
  const text = Buffer.isBuffer(value) ? value.toString('hex') : String(value);
  return /[",\r\n]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text;
}

function formatCsv(columns, rows) {
  return [columns, ...rows].map((row) => row.map(csvField).join(',')).join('\r\n');
}

const FORMATTERS = { table: formatTable, json: formatJson, csv: formatCsv };

// Column names are unique keys in JSON output: a repeated name gets ":2", ":3"...
function columnNames(infos) {
  const seen = new Map();
  return infos.map((info) => {
    const count = (seen.get(info.columnName) || 0) + 1;
    seen.set(info.columnName, count);
    return count === 1 ? info.columnName : `${info.columnName}:${count}`;
  });
}

function elapsedMs(start) {
  return Number(process.hrtime.bigint() - start) / 1e6;
}

function summary(result, ms) {
  const time = `${ms.toFixed(3)} ms`;
  if (Array.isArray(result)) return `(${result.length} row${result.length === 1 ? '' : 's'}, ${time})`;
  if (typeof result === 'number') return `(${result} row${result === 1 ? '' : 's'} affected, ${time})`;
  return `(OK, ${time})`;
}

async function runStatement(connection, sql, settings, out) {
  const start = process.hrtime.bigint();
  const statement = await connection.prepare(sql);
  try {
    const result = await statement.exec(undefined, { rowsAsArray: true });
    const ms = elapsedMs(start);
    if (Array.isArray(result)) {
      const columns = columnNames(statement.getColumnInfo());
      out.stdout(FORMATTERS[settings.format](columns, result));
    }
    if (settings.timing) out.stderr(summary(result, ms));
  } finally {
    await statement.drop();
  }
}

function describeError(err) {
  if (err && typeof err.code === 'number') return `Error ${err.code} (SQLSTATE ${err.sqlState}): ${err.message}`;
  return `Error: ${err && err.message ? err.message : err}`;
}

// Runs statements in order and stops at the first failure; returns whether all ran.
async function runScript(connection, text, settings, out) {
  for (const sql of scriptStatements(text)) {
    try {
      await runStatement(connection, sql, settings, out);
    } catch (err) {
      out.stderr(describeError(err));
      return false;
    }
  }
  return true;
}

const HELP_COMMANDS = `.format table|json|csv   output format
.timing on|off           row counts and timing
.help                    this text
.exit, .quit             leave (or Ctrl-D)
SQL statements end with ";".`;

function runCommand(line, settings, out) {
  const [command, argument] = line.trim().split(/\s+/);
  if (command === '.exit' || command === '.quit') return false;
  if (command === '.help') out.stdout(HELP_COMMANDS);
  else if (command === '.format' && FORMATS.includes(argument)) settings.format = argument;
  else if (command === '.timing' && (argument === 'on' || argument === 'off')) settings.timing = argument === 'on';
  else out.stderr(`Unknown command ${line.trim()}; try .help`);
  return true;
}

function historyFile() {
  return process.env.ZELK_SQL_HISTORY || path.join(os.homedir(), '.zelk_sql_history');
}

function loadHistory() {
  try {
    return fs.readFileSync(historyFile(), 'utf8').split('\n').filter(Boolean).reverse();
  } catch (err) {
    return [];
  }
}

function saveHistory(history) {
  try {
    fs.writeFileSync(historyFile(), `${history.slice().reverse().join('\n')}\n`);
  } catch (err) {
    // A read-only home keeps the session usable, only without saved history.
  }
}

async function interactive(connection, settings, out) {
  const rl = readline.createInterface({
    input: process.stdin, output: process.stdout, history: loadHistory(), historySize: 1000, terminal: true,
  });
  let pending = '';
  rl.setPrompt('zelk> ');
  rl.prompt();
  for await (const line of rl) {
    if (pending === '' && line.trim().startsWith('.')) {
      if (!runCommand(line, settings, out)) break;
    } else {
      const { statements, rest } = splitStatements(`${pending}${line}\n`);
      pending = isBlank(rest) ? '' : rest;
      for (const sql of statements.filter((s) => !isBlank(s))) {
        await runScript(connection, sql, settings, out);
      }
    }
    rl.setPrompt(pending ? '   ...> ' : 'zelk> ');
    rl.prompt();
  }
  saveHistory(rl.history);
  rl.close();
}

function readStdin() {
  return new Promise((resolve, reject) => {
    const chunks = [];
    process.stdin.on('data', (chunk) => chunks.push(chunk));
    process.stdin.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    process.stdin.on('error', reject);
  });
}

const console_ = {
  stdout: (text) => process.stdout.write(`${text}\n`),
  stderr: (text) => process.stderr.write(`${text}\n`),
};

async function runInputs(connection, options, settings) {
  if (options.file) return runScript(connection, fs.readFileSync(options.file, 'utf8'), settings, console_);
  if (options.sql.length > 0) return runScript(connection, options.sql.join(';\n'), settings, console_);
  if (process.stdin.isTTY) {
    await interactive(connection, settings, console_);
    return true;
  }
  return runScript(connection, await readStdin(), settings, console_);
}

async function main(argv) {
  const options = parseArgs(argv);
  if (options.help) return console_.stdout(USAGE);
  if (options.version) return console_.stdout(`zelk-sql ${zelk.getDriverVersion()}`);
  const settings = { format: options.format, timing: options.timing };
  const connection = zelk.createConnection();
  await connection.connect(connectionParams(options));
  try {
    if (!(await runInputs(connection, options, settings))) process.exitCode = 1;
  } finally {
    await connection.disconnect();
  }
  return undefined;
}

module.exports = { parseArgs, splitStatements, scriptStatements, formatTable, formatJson, formatCsv };

if (require.main === module) {
  main(process.argv.slice(2)).catch((err) => {
    if (err instanceof UsageError) {
      process.stderr.write(`zelk-sql: ${err.message}\n${USAGE}\n`);
      process.exitCode = 2;
    } else {
      process.stderr.write(`${describeError(err)}\n`);
      process.exitCode = 1;
    }
  });
}
