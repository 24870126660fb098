// Compiled with tsc --noEmit by test/js/62-types.test.js; never run.
import { Readable } from 'stream';
import * as zelk from 'zelk';
import * as zp from 'zelk/promises';
import { createRowStream, createDataStream, sendParameterStream } from 'zelk/streams';

function callbacks(): void {
  const conn: zelk.Connection = zelk.createConnection({ databaseName: '/tmp/a.db' });
  conn.connect('databaseName=/tmp/a.db', (err) => {
    if (err) console.log(err.code, err.message, err.sqlState);
    conn.exec('SELECT 1 AS one FROM DUMMY', (e, rows) => console.log(e?.code, rows));
    conn.exec('INSERT INTO t VALUES (?)', [1], { rowsAsArray: true }, (e, count) => console.log(count));
    conn.prepare('SELECT * FROM t WHERE id = ?', (e, stmt) => {
      stmt.execQuery([1], (e2, rs) => {
        rs.next((e3, hasRow) => {
          if (hasRow) rs.getValues({ asArray: true }, (e4, values) => console.log(values));
          createRowStream(rs, { highWaterMark: 4 }).on('data', (row: zelk.Row) => console.log(row));
          createDataStream(rs, 0, { chunkSize: 1024 }).pipe(process.stdout);
        });
      });
      sendParameterStream(stmt, 1, Readable.from([Buffer.from('x')]), (e5) => console.log(e5));
    });
  });
  const rows = conn.exec('SELECT 1 FROM DUMMY');
  const state: string = conn.state();
  const warnings: zelk.Warning[] = conn.getWarnings();
  console.log(rows, state, warnings, zelk.getDriverVersion());
  const stmt = conn.prepare('SELECT ?');
  const info: zelk.ParameterInfo[] = stmt.getParameterInfo();
  const bytes: number = stmt.getData(0, 0, Buffer.alloc(8), 0, 8);
  console.log(info, bytes, stmt.execBatch([[1], [2]]));
}

async function promises(): Promise<void> {
  const conn = await zp.connect({ databaseName: '/tmp/b.db' });
  await (await zp.connect(new URL('file:///tmp/c.db'))).disconnect();
  zp.createConnection('postgres://app@db1:5432/sales?sslmode=require');
  const controller = new AbortController();
  const rows = await conn.exec<zp.Row[]>('SELECT 1 AS one FROM DUMMY', [], { signal: controller.signal });
  console.log(rows[0].one);
  const stmt: zp.Statement = await conn.prepare('INSERT INTO t VALUES (?, ?)');
  const count: number = await stmt.execBatch([[1, 'a'], [2, null]]);
  await stmt.exec([1, { sendParameterData: true }]);
  await stmt.sendParameterStream(1, Readable.from([Buffer.from('abc')]));
  const query = await conn.prepare('SELECT * FROM t');
  const rs: zp.ResultSet = await query.execQuery();
  for await (const row of rs) console.log(row.ID);
  for await (const values of (await query.execQuery()).rows<unknown[]>({ asArray: true })) console.log(values.length);
  const rs2 = await query.execQuery();
  if (await rs2.next()) rs2.createDataStream(1, { chunkSize: 4096 }).pipe(process.stdout);
  rs2.createReadStream({ highWaterMark: 8 }).on('end', () => undefined);
  const total: number = await conn.transaction(async (tx) => {
    await tx.exec('DELETE FROM t');
    return 3;
  });
  for await (const row of conn.iterate('SELECT * FROM t')) console.log(row);
  try {
    await conn.exec('SELEKT');
  } catch (err) {
    const e = err as zp.ZelkError;
    console.log(e.code + 1, e.sqlState.length, count, total);
  }
  await query.drop();
  await conn.disconnect();
}

void callbacks;
void promises;

async function applications(): Promise<void> {
  const pool: zp.Pool = zp.createPool({ databaseName: '/tmp/c.db' }, { max: 4, acquireTimeout: 1000, validateAfter: false });
  pool.on('error', (err) => console.log(err.message));
  const result: zp.RunResult = await pool.run('INSERT INTO t VALUES (?)', [1]);
  const row = await pool.get<{ id: number }>('SELECT id FROM t');
  const total: number = await pool.transaction(async (tx) => {
    const { changes } = await tx.run('DELETE FROM t');
    return changes;
  }, { mode: 'immediate' });
  const conn = await pool.acquire();
  const backend: zp.Backend | undefined = conn.backend;
  conn.release();
  await pool.end();
  console.log(result.lastInsertRowid, row?.id, total, backend);
}
void applications;
