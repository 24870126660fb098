'use strict';
// One shell session on one connection: input line by line, meta-commands,
// statements run with an abort handle, results printed as the settings say.
const fs = require('fs');
const { splitStatements, isBlank } = require('./statements');
const { FORMATS, formatResult, separator } = require('./format');
const catalog = require('./catalog');

// Column names are unique keys in JSON output: a repeated name gets ":2", ":3"...
function columnNames(infos) {
  const seen = new Map();
  return infos.map((info) => {
    const count = (seen.get(info.columnName) || 0) + 1;
    seen.set(info.columnName, count);
    return count === 1 ? info.columnName : `${info.columnName}:${count}`;
  });
}

function describeError(err) {
  if (err && typeof err.code === 'number') return `Error ${err.code} (SQLSTATE ${err.sqlState}): ${err.message}`;
  return `Error: ${err && err.message ? err.message : err}`;
}

function plural(count, word) {
  return `${count} ${word}${count === 1 ? '' : 's'}`;
}

function summary(result, ms, settings) {
  const time = settings.timing ? `, ${ms.toFixed(3)} ms` : '';
  if (Array.isArray(result)) return `(${plural(result.length, 'row')}${time})`;
  if (typeof result === 'number') return `(${plural(result, 'row')} affected${time})`;
  return `(OK${time})`;
}

// A meta-command argument: the rest of the line, quotes around it removed.
function unquote(text) {
  const match = /^(['"])(.*)\1$/.exec(text);
  return match ? match[2] : text;
}

function onOff(arg, current) {
  if (arg === '') return !current;
  if (arg === 'on' || arg === 'off') return arg === 'on';
  throw new Error(`expected on or off, not "${arg}"`);
}

function setExpanded(s, arg) {
  s.settings.expanded = onOff(arg, s.settings.expanded);
  s.info(`Expanded display is ${s.settings.expanded ? 'on' : 'off'}.`);
}

function setTiming(s, arg) {
  s.settings.timing = onOff(arg, s.settings.timing);
  s.info(`Timing is ${s.settings.timing ? 'on' : 'off'}.`);
}

// Each command under its psql and sqlite3 spellings; `synopsis` is its help line.
const COMMANDS = [
  {
    names: ['\\q', '.quit', '.exit', 'exit', 'quit'], synopsis: '\\q, .quit, exit', help: 'leave (also Ctrl-D)',
    run: () => 'quit',
  },
  { names: ['\\?', '.help', 'help'], synopsis: '\\?, .help, help', help: 'this text', run: (s) => s.info(helpText()) },
  {
    names: ['\\dt', '.tables'], synopsis: '\\dt, .tables', help: 'list tables and views',
    run: (s) => s.runQuery(catalog.tablesQuery(s.backend)),
  },
  {
    names: ['\\d', '.schema'], synopsis: '\\d NAME, .schema NAME', help: 'columns, types, nullability and keys',
    run: (s, arg) => (arg ? s.describe(arg) : s.runQuery(catalog.tablesQuery(s.backend))),
  },
  { names: ['\\x'], synopsis: '\\x [on|off]', help: 'expanded display, one record per row', run: setExpanded },
  {
    names: ['\\timing', '.timer', '.timing'], synopsis: '\\timing, .timer [on|off]', help: 'time of each statement',
    run: setTiming,
  },
  {
    names: ['\\i', '.read'], synopsis: '\\i FILE, .read FILE', help: 'run the SQL and commands in FILE',
    run: (s, arg) => s.include(arg),
  },
  {
    names: ['\\o', '.output'], synopsis: '\\o [FILE], .output [FILE]', help: 'results to FILE (none: standard output)',
    run: (s, arg) => s.output(arg),
  },
  {
    names: ['.mode', '.format'], synopsis: `.mode ${FORMATS.join('|')}`, help: 'output format',
    run: (s, arg) => { s.settings.format = checkFormat(arg); },
  },
  {
    names: ['\\pset'], synopsis: '\\pset null|pager|format VALUE', help: 'NULL text, pager on|off, output format',
    run: (s, arg) => s.pset(arg),
  },
  {
    names: ['.nullvalue'], synopsis: '.nullvalue TEXT', help: 'text shown for NULL',
    run: (s, arg) => s.pset(`null ${arg}`),
  },
  {
    names: ['\\conninfo'], synopsis: '\\conninfo', help: 'what this session is connected to',
    run: (s) => s.connInfo(),
  },
];

function checkFormat(format) {
  if (!FORMATS.includes(format)) throw new Error(`unknown format "${format}" (${FORMATS.join(', ')})`);
  return format;
}

function helpText() {
  const width = Math.max(...COMMANDS.map((c) => c.synopsis.length)) + 2;
  const lines = COMMANDS.map((c) => `${c.synopsis.padEnd(width)}${c.help}`);
  return [...lines, 'SQL statements end with ";". Ctrl-C cancels a running query or clears the input.'].join('\n');
}

function findCommand(name) {
  return COMMANDS.find((c) => c.names.includes(name));
}

class Session {
  // io.out(text) writes results (it may return a promise, e.g. through a
  // pager); io.info(text) and io.error(text) write lines to standard error;
  // io.interactive is set at a prompt.
  constructor(connection, backend, settings, io) {
    this.connection = connection;
    this.backend = backend;
    this.settings = settings;
    this.io = io;
    this.pending = '';
    this.pendingLine = 0;
    this.outputFile = null;
    this.printed = false;
    this.controller = null;
  }

  get busy() {
    return this.controller !== null;
  }

  // Aborts the statement that is running; false when none is.
  interrupt() {
    if (!this.controller) return false;
    this.controller.abort();
    return true;
  }

  clearPending() {
    this.pending = '';
  }

  info(text) {
    this.io.info(text);
  }

  report(err, where) {
    const at = where && where.source ? `${where.source}:${where.line}: ` : '';
    this.io.error(`${at}${describeError(err)}`);
  }

  // One line of input; returns "ok", "error" or "quit".
  async feedLine(line, where = {}) {
    const command = this.commandOf(line);
    if (command) return this.runCommand(command, where);
    if (this.pending === '') this.pendingLine = where.line;
    const { statements, rest } = splitStatements(`${this.pending}${line}\n`);
    this.pending = isBlank(rest) ? '' : rest;
    let status = 'ok';
    for (const [i, sql] of statements.entries()) {
      if (isBlank(sql)) continue;
      const at = Object.assign({}, where, { line: i === 0 ? this.pendingLine : where.line });
      if ((await this.runStatement(sql, at)) === 'error') status = 'error';
      if (status === 'error' && !this.settings.continueOnError && where.source) break;
    }
    if (this.pending !== '' && statements.length > 0) this.pendingLine = where.line;
    return status;
  }

  // Backslash commands count at the start of any line; dot commands and
  // the bare words (exit, quit, help) only when no statement is pending.
  commandOf(line) {
    const match = /^\s*(\S+)\s*(.*?)\s*$/.exec(line);
    if (!match) return null;
    const idle = this.pending === '';
    let [, name] = match;
    if (idle && match[2] === '' && /^(exit|quit|help);?$/i.test(name)) name = name.replace(/;$/, '').toLowerCase();
    else if (!name.startsWith('\\') && !(idle && name.startsWith('.'))) return null;
    return { name, arg: unquote(match[2]), text: line.trim() };
  }

  async runCommand({ name, arg, text }, where) {
    const command = findCommand(name);
    if (!command) {
      this.report(new Error(`unknown command "${text}"; try \\? or .help`), where);
      return 'error';
    }
    try {
      const result = await command.run(this, arg);
      return result === 'quit' || result === 'error' ? result : 'ok';
    } catch (err) {
      this.report(err, where);
      return 'error';
    }
  }

  // The unterminated statement at the end of the input runs as it is.
  async finish(where = {}) {
    const sql = this.pending;
    this.pending = '';
    if (isBlank(sql)) return 'ok';
    return this.runStatement(sql, Object.assign({}, where, { line: this.pendingLine }));
  }

  // Lines of a script (an array or an async iterable) in order; stops at
  // the first error unless the settings say to go on. Returns "ok",
  // "error" or "quit".
  async runLines(lines, source) {
    let status = 'ok';
    let number = 0;
    const outer = { pending: this.pending, pendingLine: this.pendingLine };
    this.pending = '';
    for await (const line of lines) {
      number += 1;
      const result = await this.feedLine(line, { source, line: number });
      if (result === 'quit') return 'quit';
      if (result === 'error') status = 'error';
      if (status === 'error' && !this.settings.continueOnError) break;
    }
    if (status === 'ok' || this.settings.continueOnError) {
      if ((await this.finish({ source })) === 'error') status = 'error';
    }
    Object.assign(this, outer);
    return status;
  }

  runText(text, source) {
    return this.runLines(text.split(/\r?\n/), source);
  }

  async runStatement(sql, where) {
    try {
      await this.runQuery({ sql, params: undefined });
      return 'ok';
    } catch (err) {
      this.report(err, where);
      return 'error';
    }
  }

  // Prepares, runs and prints one statement; abortable through interrupt().
  async runQuery({ sql, params }) {
    const start = process.hrtime.bigint();
    const statement = await this.connection.prepare(sql);
    this.controller = new AbortController();
    try {
      const result = await statement.exec(params, { rowsAsArray: true, signal: this.controller.signal });
      const ms = Number(process.hrtime.bigint() - start) / 1e6;
      if (Array.isArray(result)) await this.printResult(columnNames(statement.getColumnInfo()), result);
      if (this.settings.counts) this.info(summary(result, ms, this.settings));
      return result;
    } finally {
      this.controller = null;
      await statement.drop();
    }
  }

  async printResult(columns, rows) {
    const text = formatResult(columns, rows, this.settings);
    // At a prompt each result follows its own input line; elsewhere a blank
    // line tells one result from the next.
    const apart = this.printed && (this.outputFile !== null || !this.io.interactive);
    const output = (apart ? separator(this.settings.format) : '') + text;
    this.printed = true;
    if (this.outputFile !== null) fs.writeSync(this.outputFile, output);
    else await this.io.out(output);
  }

  async describe(name) {
    const { sql, params } = catalog.columnsQuery(this.backend, name);
    const rows = await this.connection.exec(sql, params, { rowsAsArray: true });
    if (rows.length === 0) throw new Error(`no table or view named "${name}"`);
    return this.printResult(['Column', 'Type', 'Nullable', 'Default', 'Key'], rows);
  }

  async include(file) {
    if (!file) throw new Error('\\i and .read need a file name');
    return this.runText(fs.readFileSync(file, 'utf8'), file);
  }

  output(file) {
    if (this.outputFile !== null) fs.closeSync(this.outputFile);
    this.outputFile = file ? fs.openSync(file, 'w') : null;
    this.printed = false;
  }

  pset(arg) {
    const [, option, value = ''] = /^(\S*)\s*(.*)$/.exec(arg);
    if (option === 'null') this.settings.nullText = unquote(value.trim());
    else if (option === 'pager') this.settings.pager = onOff(value.trim(), this.settings.pager);
    else if (option === 'format') this.settings.format = checkFormat(value.trim());
    else throw new Error(`\\pset takes null, pager or format, not "${option}"`);
  }

  async connInfo() {
    const [row] = await this.connection.exec(catalog.CONNINFO[this.backend]);
    this.info(catalog.describeConnection(this.backend, row));
  }

  close() {
    this.output('');
  }
}

module.exports = { Session, describeError, checkFormat };
