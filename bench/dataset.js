'use strict';
// The shared database file: one million rows of six columns, the same for
// every driver. Values are derived from the row number, so a child can check
// what it read without a second source.
const fs = require('fs');
const path = require('path');
const { ROWS, TABLE_SQL } = require('./trials');

const DATA_DIR = path.join(__dirname, '.data');
const DB_FILE = path.join(DATA_DIR, 'bench.db');
const FORMAT = 'v1 ' + ROWS;

function pad(n) {
  return n < 10 ? '0' + n : String(n);
}

// Row i as an array in column order.
function rowOf(i) {
  const second = i % 86400;
  const ts = '2024-' + pad(1 + (i % 12)) + '-' + pad(1 + (i % 28)) + ' ' + pad(Math.floor(second / 3600)) + ':' +
    pad(Math.floor(second / 60) % 60) + ':' + pad(second % 60) + '.' + String(i % 1000).padStart(3, '0');
  return [
    i,
    3000000000 + i * 7,
    i * 0.25 + 0.125,
    'name-' + i.toString(36).padStart(8, '0') + '-' + (i % 97),
    i % 10 < 3 ? null : i % 1000,
    ts,
  ];
}

function ensureDatabase() {
  const stamp = DB_FILE + '.format';
  if (fs.existsSync(DB_FILE) && fs.existsSync(stamp) && fs.readFileSync(stamp, 'utf8') === FORMAT) {
    return DB_FILE;
  }
  fs.mkdirSync(DATA_DIR, { recursive: true });
  for (const f of [DB_FILE, DB_FILE + '-wal', DB_FILE + '-shm', stamp]) {
    fs.rmSync(f, { force: true });
  }
  const Database = require('better-sqlite3');
  const db = new Database(DB_FILE);
  db.exec(TABLE_SQL);
  const insert = db.prepare('INSERT INTO bench VALUES (?, ?, ?, ?, ?, ?)');
  db.transaction(() => {
    for (let i = 1; i <= ROWS; i++) insert.run(rowOf(i));
  })();
  db.close();
  fs.writeFileSync(stamp, FORMAT);
  return DB_FILE;
}

module.exports = { DATA_DIR, DB_FILE, rowOf, ensureDatabase };
