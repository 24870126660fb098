'use strict';
// The trials as data: each names the child-process job it runs, the driver
// variants that take part, the row counts of a full and a quick run and the
// unit of its result. `lowerIsBetter` decides which way a ratio reads.

const ROWS = 1000000;

const TABLE_SQL = 'CREATE TABLE bench (id INTEGER PRIMARY KEY, big BIGINT, dbl DOUBLE, ' +
  'name VARCHAR(32), maybe INTEGER, ts TIMESTAMP)';
const SELECT_SQL = 'SELECT id, big, dbl, name, maybe, ts FROM bench';
const INSERT_SQL = 'INSERT INTO bench_insert (id, big, dbl, name, maybe, ts) VALUES (?, ?, ?, ?, ?, ?)';
const POINT_SQL = 'SELECT id, big, dbl, name, maybe, ts FROM bench WHERE id = ?';

const trials = [
  {
    name: 'fetch-1M',
    job: 'fetchObjects',
    rows: { full: ROWS, quick: ROWS },
    unit: 'ms',
    drivers: ['better-sqlite3', 'sqlite3', 'zelk-binary', 'zelk-columnar'],
  },
  {
    name: 'fetch-arrays',
    job: 'fetchArrays',
    rows: { full: ROWS, quick: ROWS },
    unit: 'ms',
    drivers: ['better-sqlite3', 'zelk-binary', 'zelk-columnar'],
  },
  {
    name: 'insert-1M',
    job: 'insert',
    rows: { full: ROWS, quick: 100000 },
    unit: 'ms',
    drivers: ['better-sqlite3', 'sqlite3', 'zelk-binary'],
  },
  {
    name: 'point-queries',
    job: 'pointQueries',
    rows: { full: 100000, quick: 10000 },
    unit: 'ms',
    drivers: ['better-sqlite3', 'sqlite3', 'zelk-1-conn', 'zelk-8-conn'],
  },
  {
    name: 'event-loop',
    job: 'eventLoop',
    rows: { full: ROWS, quick: ROWS },
    unit: 'ms max delay',
    drivers: ['better-sqlite3', 'sqlite3', 'zelk-binary', 'zelk-columnar'],
  },
];

module.exports = { trials, ROWS, TABLE_SQL, SELECT_SQL, INSERT_SQL, POINT_SQL };
