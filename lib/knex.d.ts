// Types of zelk/knex: Knex clients over zelk connections. Pass one as the
// `client` of knex(config); `connection` holds zelk's connect parameters
// (for the embedded database `filename` is taken as databaseName).
import type { Knex } from 'knex';

export declare const ZelkSqliteClient: typeof Knex.Client;
export declare const ZelkPostgresClient: typeof Knex.Client;
