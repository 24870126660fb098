// ES module entry of the Drizzle drivers.
import drizzle from './drizzle.js';

export const { drizzleSqlite, drizzlePostgres } = drizzle;
export default drizzle;
