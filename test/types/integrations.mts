// Drizzle's own declarations do not pass a full library check, so this file
// is compiled with skipLibCheck (integrations.tsconfig.json).
import { drizzleSqlite, drizzlePostgres } from 'zelk/drizzle';
import { sqliteTable, integer, text } from 'drizzle-orm/sqlite-core';
import { createPool } from 'zelk/promises';

const person = sqliteTable('person', { id: integer('id').primaryKey(), name: text('name').notNull() });
const db = drizzleSqlite(createPool({ databaseName: '/tmp/e.db' }));
const rows: Promise<{ id: number; name: string }[]> = db.select().from(person);
const server = drizzlePostgres({ params: { host: 'localhost' }, poolOptions: { max: 2 } });
console.log(rows, server.$pool.waiting);
