// ES module entry of the Knex clients.
import knex from './knex.js';

export const { ZelkSqliteClient, ZelkPostgresClient } = knex;
export default knex;
