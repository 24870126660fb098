'use strict';
// Shared test setup: a temporary directory and fresh databases in it.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const test = require('node:test');
const assert = require('node:assert');

const root = path.join(__dirname, '..', '..');
const buildDir = process.env.ZELK_BUILD_DIR || path.join(root, 'build');
const tmpDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zelk-test-'));
let counter = 0;

function freshDatabase() {
  counter += 1;
  return path.join(tmpDir, `db-${process.pid}-${counter}.db`);
}

// Runs a script in a new Node.js process; returns its parsed JSON output.
function runIsolated(source, env) {
  const out = execFileSync(process.execPath, ['-e', source], {
    cwd: root,
    env: Object.assign({}, process.env, env || {}),
    encoding: 'utf8',
  });
  return JSON.parse(out.trim().split('\n').pop());
}

// Connections the cases opened, held weakly so that a case may watch one
// being collected; what a case leaves connected is disconnected after it.
const opened = [];
function tracked(conn) {
  opened.push(new WeakRef(conn));
  return conn;
}
async function disconnectOpened() {
  for (const conn of opened.splice(0).map((ref) => ref.deref())) {
    if (conn && conn.state() === 'connected') await conn.disconnect();
  }
}
test.afterEach(disconnectOpened);

// A connection connected to target.
function open(target) {
  const conn = require('../..').createConnection();
  conn.connect(target);
  return tracked(conn);
}

// A connected connection to a fresh database; extra pairs follow the path.
function connected(extra) {
  return open(`databaseName=${freshDatabase()}${extra || ''}`);
}

// Waits for work the case started in the background; polled, so that a
// loaded machine only slows it.
async function until(condition, what) {
  for (const deadline = Date.now() + 10000; !condition(); await new Promise((resolve) => setTimeout(resolve, 10))) {
    if (Date.now() > deadline) assert.fail(`timed out waiting for ${what}`);
  }
}

// Ends a callback-style case with the outcome of its last checks.
function settle(done, check) {
  try {
    check();
    done();
  } catch (failure) {
    done(failure);
  }
}

// Every item of an async iterable, in order.
async function collect(iterable) {
  const items = [];
  for await (const item of iterable) items.push(item);
  return items;
}

// The fields of an error the driver itself raises.
function driverError(code, message) {
  return { code, message, sqlState: 'HY000' };
}

function errorFields(fn) {
  try {
    fn();
  } catch (err) {
    return { code: err.code, message: err.message, sqlState: err.sqlState };
  }
  throw new Error('expected an exception');
}

module.exports = {
  root, buildDir, tmpDir, freshDatabase, runIsolated, errorFields, driverError, open, connected, tracked,
  disconnectOpened, settle, until, collect,
};
