'use strict';
// Kysely, Drizzle and Knex through zelk: typed CRUD, a rolled-back
// transaction, streaming and introspection, on each backend.
const assert = require('node:assert');
const { Kysely } = require('kysely');
const knex = require('knex');
const { eq, TransactionRollbackError } = require('drizzle-orm');
const zp = require('zelk/promises');
const { ZelkSqliteDialect, ZelkPostgresDialect } = require('zelk/kysely');
const { drizzleSqlite, drizzlePostgres } = require('zelk/drizzle');
const { ZelkSqliteClient, ZelkPostgresClient } = require('zelk/knex');
const { collect } = require('./helpers');
const { bothBackends } = require('./backends');

async function personTable(db) {
  const pool = zp.createPool(db.params(), { max: 3 });
  const id = db.name === 'sqlite' ? 'INTEGER PRIMARY KEY' : 'SERIAL PRIMARY KEY';
  await pool.exec(`CREATE TABLE person (id ${id}, name VARCHAR(40) NOT NULL, age INTEGER)`);
  return pool;
}

bothBackends('Kysely: CRUD, a rolled-back transaction, streaming and introspection', async (db) => {
  const pool = await personTable(db);
  const Dialect = db.name === 'sqlite' ? ZelkSqliteDialect : ZelkPostgresDialect;
  const k = new Kysely({ dialect: new Dialect({ pool }) });
  const inserted = await k.insertInto('person').values({ name: 'Ann', age: 30 }).executeTakeFirst();
  assert.strictEqual(inserted.numInsertedOrUpdatedRows, 1n);
  if (db.name === 'sqlite') assert.strictEqual(inserted.insertId, 1n);
  const bob = await k.insertInto('person').values({ name: 'Bob', age: 40 }).returning(['id', 'name']).executeTakeFirst();
  assert.deepStrictEqual(bob, { id: 2, name: 'Bob' });
  const updated = await k.updateTable('person').set({ age: 31 }).where('name', '=', 'Ann').executeTakeFirst();
  assert.strictEqual(updated.numUpdatedRows, 1n);
  await assert.rejects(k.transaction().execute(async (trx) => {
    await trx.insertInto('person').values({ name: 'Gone', age: 1 }).execute();
    throw new Error('undo');
  }), /undo/);
  assert.deepStrictEqual(await k.selectFrom('person').select(['name', 'age']).orderBy('id').execute(),
    [{ name: 'Ann', age: 31 }, { name: 'Bob', age: 40 }]);
  assert.deepStrictEqual((await collect(k.selectFrom('person').select('name').orderBy('id').stream(1))).map((r) => r.name),
    ['Ann', 'Bob']);
  const deleted = await k.deleteFrom('person').where('id', '=', 2).executeTakeFirst();
  assert.strictEqual(deleted.numDeletedRows, 1n);
  const table = (await k.introspection.getTables()).find((t) => t.name === 'person');
  assert.deepStrictEqual(table.columns.map((c) => c.name), ['id', 'name', 'age']);
  await k.destroy();
  await pool.end();
});

function drizzleSchema(name) {
  if (name === 'sqlite') {
    const { sqliteTable, integer, text } = require('drizzle-orm/sqlite-core');
    return sqliteTable('person', { id: integer('id').primaryKey(), name: text('name').notNull(), age: integer('age') });
  }
  const { pgTable, serial, integer, varchar } = require('drizzle-orm/pg-core');
  return pgTable('person', { id: serial('id').primaryKey(), name: varchar('name', { length: 40 }).notNull(), age: integer('age') });
}

bothBackends('Drizzle: CRUD, rolled-back and nested transactions, and reading as the schema says', async (db) => {
  const pool = await personTable(db);
  const person = drizzleSchema(db.name);
  const d = db.name === 'sqlite' ? drizzleSqlite(pool) : drizzlePostgres(pool);
  await d.insert(person).values({ name: 'Ann', age: 30 });
  assert.deepStrictEqual(await d.insert(person).values({ name: 'Bob', age: 40 }).returning({ id: person.id }), [{ id: 2 }]);
  await d.update(person).set({ age: 31 }).where(eq(person.name, 'Ann'));
  await assert.rejects(d.transaction(async (tx) => {
    await tx.insert(person).values({ name: 'Gone' });
    tx.rollback();
  }), TransactionRollbackError);
  await d.transaction(async (tx) => {
    await tx.insert(person).values({ name: 'Cy', age: 5 });
    await tx.transaction(async (inner) => {
      await inner.insert(person).values({ name: 'Undone' });
      inner.rollback();
    }).catch(() => {});
  });
  await d.delete(person).where(eq(person.name, 'Bob'));
  // A rolled-back insert still uses up a server sequence value: ids are not compared.
  assert.deepStrictEqual(await d.select({ name: person.name, age: person.age }).from(person).orderBy(person.id),
    [{ name: 'Ann', age: 31 }, { name: 'Cy', age: 5 }]);
  await pool.end();
});

bothBackends('Knex: CRUD, a rolled-back transaction, streaming and introspection', async (db) => {
  const pool = await personTable(db);
  await pool.end();
  const k = knex({
    client: db.name === 'sqlite' ? ZelkSqliteClient : ZelkPostgresClient,
    connection: db.params(),
    useNullAsDefault: true,
    pool: { min: 0, max: 2 },
  });
  const inserted = await k('person').insert({ name: 'Ann', age: 30 });
  if (db.name === 'sqlite') assert.deepStrictEqual(inserted, [1]);
  assert.deepStrictEqual(await k('person').insert({ name: 'Bob', age: 40 }).returning('id'), [{ id: 2 }]);
  assert.strictEqual(await k('person').where({ name: 'Ann' }).update({ age: 31 }), 1);
  await assert.rejects(k.transaction(async (trx) => {
    await trx('person').insert({ name: 'Gone' });
    throw new Error('undo');
  }), /undo/);
  assert.deepStrictEqual(await k('person').where({ name: 'Ann' }).first('name', 'age'), { name: 'Ann', age: 31 });
  assert.deepStrictEqual((await collect(k('person').select('name').orderBy('id').stream())).map((r) => r.name),
    ['Ann', 'Bob']);
  assert.strictEqual(await k('person').where({ id: 2 }).del(), 1);
  assert.deepStrictEqual([await k.schema.hasTable('person'), await k.schema.hasColumn('person', 'age'),
    await k.schema.hasTable('nobody')], [true, true, false]);
  await k.destroy();
});
