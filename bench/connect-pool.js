'use strict';
// Connect and disconnect per operation, with and without the connection pool,
// in one run on the same database file.
const fs = require('fs');
const os = require('os');
const path = require('path');
const zelk = require('..');

const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'zelk-bench-')), 'pool.db');
const seconds = Number(process.argv[2] || 2);

function measure(connStr) {
  const conn = zelk.createConnection();
  let operations = 0;
  const end = process.hrtime.bigint() + BigInt(Math.round(seconds * 1e9));
  while (process.hrtime.bigint() < end) {
    conn.connect(connStr);
    conn.exec('SELECT 1 AS one FROM DUMMY');
    conn.disconnect();
    operations++;
  }
  conn.clearPool();
  return operations / seconds;
}

const plain = measure(`databaseName=${file}`);
const pooled = measure(`databaseName=${file};POOLING=TRUE`);
console.log(`connect+query+disconnect per second: without pooling ${plain.toFixed(0)}, with pooling ${pooled.toFixed(0)} (x${(pooled / plain).toFixed(1)})`);
