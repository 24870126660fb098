const { Kysely, sql } = require('kysely');
const { ZelkSqliteDialect, ZelkPostgresDialect } = require('zelk/kysely');
const { drizzleSqlite, drizzlePostgres } = require('zelk/drizzle');
const { ZelkSqliteClient, ZelkPostgresClient } = require('zelk/knex');
const knexLib = require('knex');
const zp = require('zelk/promises');
const { serverParams } = require('./backends');
const fs = require('fs');
(async () => {
  for (const [name, params] of [['sqlite', { filename: '/tmp/app-int.db' }], ['pg', serverParams()]]) {
    fs.rmSync('/tmp/app-int.db', { force: true });
    const pool = zp.createPool(params.filename ? { databaseName: params.filename } : params, { max: 3 });
    await pool.exec('DROP TABLE IF EXISTS person');
    await pool.exec(name === 'sqlite' ? 'CREATE TABLE person (id INTEGER PRIMARY KEY, name TEXT NOT NULL, age INTEGER)' : 'CREATE TABLE person (id SERIAL PRIMARY KEY, name TEXT NOT NULL, age INTEGER)');
    const db = new Kysely({ dialect: name === 'sqlite' ? new ZelkSqliteDialect({ pool }) : new ZelkPostgresDialect({ pool }) });
    const ins = await db.insertInto('person').values({ name: 'Ann', age: 30 }).executeTakeFirst();
    console.log('kysely insert', ins);
    const r2 = await db.insertInto('person').values({ name: 'Bob', age: 40 }).returning(['id', 'name']).executeTakeFirst();
    console.log('returning', r2);
    console.log(await db.selectFrom('person').selectAll().where('age', '>', 20).orderBy('id').execute());
    console.log(await db.updateTable('person').set({ age: 31 }).where('name', '=', 'Ann').executeTakeFirst());
    await db.transaction().execute(async (trx) => { await trx.insertInto('person').values({ name: 'X', age: 1 }).execute(); throw new Error('rb'); }).catch(e => console.log('tx', e.message));
    const streamed = []; for await (const row of db.selectFrom('person').select('name').stream(1)) streamed.push(row.name);
    console.log('stream', streamed);
    const tables = await db.introspection.getTables(); console.log('tables', tables.map(t => t.name + ':' + t.columns.map(c => c.name + '/' + c.dataType).join(',')));
    // drizzle
    if (name === 'sqlite') {
      const { sqliteTable, integer, text } = require('drizzle-orm/sqlite-core');
      const { eq } = require('drizzle-orm');
      const person = sqliteTable('person', { id: integer('id').primaryKey(), name: text('name').notNull(), age: integer('age') });
      const d = drizzleSqlite(pool);
      console.log('drizzle insert', await d.insert(person).values({ name: 'Cy', age: 5 }).run());
      console.log(await d.select().from(person).where(eq(person.name, 'Cy')));
      console.log(await d.insert(person).values({ name: 'Di', age: 6 }).returning({ id: person.id }));
      await d.transaction(async (tx) => { await tx.insert(person).values({ name: 'no' }); tx.rollback(); }).catch(e => console.log('dtx', e.constructor.name));
      console.log(await d.select({ n: person.name }).from(person).orderBy(person.id));
      console.log(await d.update(person).set({ age: 7 }).where(eq(person.name, 'Di')).run());
    } else {
      const { pgTable, serial, integer, text } = require('drizzle-orm/pg-core');
      const { eq } = require('drizzle-orm');
      const person = pgTable('person', { id: serial('id').primaryKey(), name: text('name').notNull(), age: integer('age') });
      const d = drizzlePostgres(pool);
      console.log('drizzle insert', await d.insert(person).values({ name: 'Cy', age: 5 }));
      console.log(await d.select().from(person).where(eq(person.name, 'Cy')));
      console.log(await d.insert(person).values({ name: 'Di', age: 6 }).returning({ id: person.id }));
      await d.transaction(async (tx) => { await tx.insert(person).values({ name: 'no' }); tx.rollback(); }).catch(e => console.log('dtx', e.constructor.name));
      console.log(await d.select({ n: person.name }).from(person).orderBy(person.id));
    }
    const k = knexLib({ client: name === 'sqlite' ? ZelkSqliteClient : ZelkPostgresClient, connection: params, useNullAsDefault: true, pool: { min: 0, max: 2 } });
    console.log('knex insert', await k('person').insert({ name: 'Ed', age: 9 }));
    console.log('knex ret', await k('person').insert({ name: 'Fa', age: 9 }).returning('id'));
    console.log('knex first', await k('person').where({ name: 'Ed' }).first());
    console.log('knex upd', await k('person').where({ age: 9 }).update({ age: 10 }));
    await k.transaction(async (trx) => { await trx('person').insert({ name: 'gone' }); throw new Error('x'); }).catch(e => console.log('ktx', e.message));
    console.log('knex count', await k('person').count('* as n'));
    console.log('hasTable', await k.schema.hasTable('person'), await k.schema.hasColumn('person', 'age'));
    const st = []; for await (const row of k('person').select('name').stream()) st.push(row.name); console.log('kstream', st);
    console.log('del', await k('person').where({ name: 'Ed' }).del());
    await k.destroy();
    await db.destroy();
    await pool.end();
  }
})().catch(e => { console.error(e); process.exit(1); });
