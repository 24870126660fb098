// ES module consumers: default and named imports of both entries.
import zelk, { createConnection } from 'zelk';
import promises, { connect, type Connection } from 'zelk/promises';

const a: ReturnType<typeof createConnection> = zelk.createConnection();
const b: Promise<Connection> = connect('databaseName=/tmp/c.db');
console.log(a.state(), b, promises.getDriverVersion());

import { Kysely } from 'kysely';
import { ZelkSqliteDialect, ZelkPostgresDialect } from 'zelk/kysely';
import { ZelkSqliteClient } from 'zelk/knex';
import knex from 'knex';

interface Database { person: { id: number; name: string } }
const pool = promises.createPool({ databaseName: '/tmp/d.db' });
const typed = new Kysely<Database>({ dialect: new ZelkSqliteDialect({ pool, transactionMode: 'immediate' }) });
const names: Promise<{ name: string }[]> = typed.selectFrom('person').select('name').execute();
const server = new Kysely<Database>({ dialect: new ZelkPostgresDialect({ params: { host: 'localhost' } }) });

const builder = knex({ client: ZelkSqliteClient, connection: { filename: '/tmp/d.db' }, useNullAsDefault: true });
console.log(names, server, builder);
