// ES module entry of the Kysely dialects.
import kysely from './kysely.js';

export const { ZelkSqliteDialect, ZelkPostgresDialect } = kysely;
export default kysely;
