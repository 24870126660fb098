#!/usr/bin/env node
'use strict';
// zelk-sql: runs SQL from arguments, a file, standard input or an interactive
// prompt, on the embedded database or a PostgreSQL server.
const fs = require('fs');
const readline = require('readline');
const zelk = require('../lib/promises');
const { connectParams } = require('../lib/target');
const { Session, describeError, checkFormat } = require('../lib/shell/session');
const { Prompt, readPassword } = require('../lib/shell/terminal');

const USAGE = `Usage: zelk-sql [options] [URL] [SQL ...]

Runs each SQL argument (statements separated by ";"), or the file given with
--file, or standard input; with none of them and a terminal, starts a prompt.

Connection (without any: a private in-memory database):
  URL                      postgres://user:pw@host:port/db?sslmode=..., or file:PATH
  -d, --database FILE      embedded database file
  -c, --connection STRING  connection string, e.g. "databaseName=/tmp/app.db"
  -h, --host HOST          PostgreSQL server (also -p PORT, -U USER, -D DBNAME);
                           PGHOST, PGPORT, PGUSER, PGPASSWORD, PGDATABASE and
                           PGSSLMODE fill in what is not given
  -W, --password           ask for the password (no echo)

Input and output:
  -f, --file PATH          run the SQL and commands in PATH
      --continue-on-error  go on after a failing statement (exit status 1 still)
  -F, --format FORMAT      table (default), json, csv or line
      --json, --csv        the same as --format json / --format csv
  -x, --expanded           expanded table display, one record per row
      --null TEXT          how NULL is shown (default "(null)")
      --no-timing          no row counts and timing on standard error
      --no-pager           never page output
  -?, --help               show this text
  -V, --version            print the driver version

At the prompt, \\? lists the meta-commands.`;

class UsageError extends Error {}

const VALUE_OPTIONS = {
  '-d': 'database', '--database': 'database',
  '-c': 'connection', '--connection': 'connection',
  '-h': 'host', '--host': 'host',
  '-p': 'port', '--port': 'port',
  '-U': 'user', '--user': 'user', '--username': 'user',
  '-D': 'dbname', '--dbname': 'dbname',
  '-f': 'file', '--file': 'file',
  '-F': 'format', '--format': 'format',
  '--null': 'nullText',
};

const FLAG_OPTIONS = {
  '--json': (o) => { o.format = 'json'; },
  '--csv': (o) => { o.format = 'csv'; },
  '-x': (o) => { o.expanded = true; },
  '--expanded': (o) => { o.expanded = true; },
  '--no-timing': (o) => { o.counts = false; },
  '--no-pager': (o) => { o.pager = false; },
  '--continue-on-error': (o) => { o.continueOnError = true; },
  '-W': (o) => { o.askPassword = true; },
  '--password': (o) => { o.askPassword = true; },
  '-?': (o) => { o.help = true; },
  '--help': (o) => { o.help = true; },
  '-V': (o) => { o.version = true; },
  '--version': (o) => { o.version = true; },
};

const URL_ARGUMENT = /^(postgres(ql)?:\/\/|file:)/i;

function parseArgs(args) {
  const options = {
    format: 'table', expanded: false, counts: true, pager: true, nullText: '(null)', continueOnError: false, sql: [],
  };
  for (let i = 0; i < args.length; i += 1) {
    const arg = args[i];
    if (VALUE_OPTIONS[arg]) {
      if (i + 1 >= args.length) throw new UsageError(`${arg} needs a value`);
      options[VALUE_OPTIONS[arg]] = args[i + 1];
      i += 1;
    } else if (FLAG_OPTIONS[arg]) {
      FLAG_OPTIONS[arg](options);
    } else if (arg === '--') {
      options.sql.push(...args.slice(i + 1));
      break;
    } else if (arg.startsWith('-') && arg.length > 1) {
      throw new UsageError(`unknown option ${arg}`);
    } else if (options.sql.length === 0 && options.url === undefined && URL_ARGUMENT.test(arg)) {
      options.url = arg;
    } else {
      options.sql.push(arg);
    }
  }
  try {
    checkFormat(options.format);
  } catch (err) {
    throw new UsageError(err.message);
  }
  const targets = ['url', 'database', 'connection', 'host'].filter((name) => options[name] !== undefined);
  if (targets.length > 1) throw new UsageError('give one of a URL, --database, --connection or --host');
  return options;
}

// URL parameters and the options and PG* variables that give them.
const SERVER_SETTINGS = [
  ['host', 'host', 'PGHOST'], ['port', 'port', 'PGPORT'], ['user', 'user', 'PGUSER'],
  ['password', null, 'PGPASSWORD'], ['dbname', 'dbname', 'PGDATABASE'], ['sslmode', null, 'PGSSLMODE'],
  ['sslrootcert', null, 'PGSSLROOTCERT'], ['sslcert', null, 'PGSSLCERT'], ['sslkey', null, 'PGSSLKEY'],
  ['connect_timeout', null, 'PGCONNECT_TIMEOUT'],
];

// A server from the options, the PG* environment filling the gaps: read as
// a URL, so that both follow the URL's rules.
function serverParams(options, env) {
  const query = [];
  for (const [name, option, variable] of SERVER_SETTINGS) {
    const value = (option && options[option]) || env[variable];
    if (value) query.push(`${name}=${encodeURIComponent(value)}`);
  }
  return connectParams(`postgres://?${query.join('&')}`);
}

const TLS_KEYS = ['ENCRYPT', 'ca', 'sslValidateCertificate'];

// What a server URL leaves out comes from the PG* environment.
function withEnvironment(params, env) {
  const defaults = serverParams({}, env);
  delete defaults.host;
  delete defaults.hosts;
  if (params.hosts) delete defaults.port;
  if (TLS_KEYS.some((key) => key in params)) TLS_KEYS.forEach((key) => delete defaults[key]);
  return Object.assign(defaults, params);
}

function isUrl(text) {
  return URL_ARGUMENT.test(text);
}

// What to connect to: a URL, a file, a connection string, a server from
// the options or environment, or else a private in-memory database.
function connectionTarget(options, env) {
  const url = options.url || (options.connection && isUrl(options.connection) ? options.connection : null);
  if (url) {
    const params = connectParams(url);
    return params.databaseName !== undefined ? params : withEnvironment(params, env);
  }
  if (options.database) return { databaseName: options.database };
  if (options.connection) return options.connection;
  if (options.host || env.PGHOST || options.port || options.user || options.dbname) return serverParams(options, env);
  return '';
}

function isServer(params) {
  if (typeof params === 'string') return /(^|;)\s*servernode\s*=/i.test(params);
  return Object.keys(params).some((key) => ['host', 'hosts'].includes(key.toLowerCase()));
}

async function withPassword(params, options) {
  if (!options.askPassword) return params;
  if (typeof params === 'string') return `${params};PWD={${await readPassword('Password: ')}}`;
  return Object.assign({}, params, { password: await readPassword('Password: ') });
}

// A server that wants a password the target did not give gets asked for
// one, when there is a terminal to ask on.
async function connectAskingPassword(params, options) {
  try {
    return await zelk.connect(params);
  } catch (err) {
    if (options.askPassword || !process.stdin.isTTY || !/no password supplied/.test(err.message)) throw err;
    return zelk.connect(await withPassword(params, { askPassword: true }));
  }
}

const consoleIo = {
  out: (text) => process.stdout.write(text),
  info: (text) => process.stderr.write(`${text}\n`),
  error: (text) => process.stderr.write(`${text}\n`),
};

// A script's first Ctrl-C (SIGINT) cancels the running statement, which
// ends the script; a second one ends the process.
function cancelOnSignal(session) {
  process.on('SIGINT', () => {
    if (!session.interrupt()) process.exit(130);
  });
}

async function runInputs(session, options) {
  if (options.file) return session.runText(fs.readFileSync(options.file, 'utf8'), options.file);
  if (options.sql.length > 0) return session.runText(options.sql.join(';\n'), 'command line');
  if (process.stdin.isTTY) {
    await new Prompt(session).run();
    return 'ok';
  }
  // Statements run as their lines arrive, so a pipe that stays open works.
  return session.runLines(readline.createInterface({ input: process.stdin, crlfDelay: Infinity }), '<stdin>');
}

async function main(argv) {
  const options = parseArgs(argv);
  if (options.help) return consoleIo.info(USAGE);
  if (options.version) return consoleIo.info(`zelk-sql ${zelk.getDriverVersion()}`);
  const params = await withPassword(connectionTarget(options, process.env), options);
  const connection = await connectAskingPassword(params, options);
  const settings = {
    format: options.format, expanded: options.expanded, timing: true, counts: options.counts,
    nullText: options.nullText, pager: options.pager, continueOnError: options.continueOnError,
  };
  const session = new Session(connection, isServer(params) ? 'postgres' : 'sqlite', settings, consoleIo);
  if (!process.stdin.isTTY || options.file || options.sql.length > 0) cancelOnSignal(session);
  try {
    if ((await runInputs(session, options)) === 'error') process.exitCode = 1;
  } finally {
    session.close();
    await connection.disconnect();
  }
  return undefined;
}

module.exports = { parseArgs, connectionTarget };

if (require.main === module) {
  main(process.argv.slice(2)).catch((err) => {
    if (err instanceof UsageError) {
      process.stderr.write(`zelk-sql: ${err.message}\n${USAGE}\n`);
      process.exitCode = 2;
    } else {
      process.stderr.write(`zelk-sql: ${describeError(err)}\n`);
      process.exitCode = 1;
    }
  });
}
