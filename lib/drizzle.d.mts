// The ES module form of drizzle.d.ts, so that drizzle-orm's own ES module
// types are the ones returned.
import type { DrizzleConfig } from 'drizzle-orm';
import type { SqliteRemoteDatabase } from 'drizzle-orm/sqlite-proxy';
import type { PgRemoteDatabase } from 'drizzle-orm/pg-proxy';
import type { ConnectParams, Pool, PoolOptions } from './promises';

/** A pool of the caller's, or the parameters and options of one to make. */
export type ZelkDrizzleTarget = Pool | { params: ConnectParams; poolOptions?: PoolOptions };

export declare function drizzleSqlite<TSchema extends Record<string, unknown> = Record<string, never>>(
  target: ZelkDrizzleTarget, config?: DrizzleConfig<TSchema>): SqliteRemoteDatabase<TSchema> & { $pool: Pool };

export declare function drizzlePostgres<TSchema extends Record<string, unknown> = Record<string, never>>(
  target: ZelkDrizzleTarget, config?: DrizzleConfig<TSchema>): PgRemoteDatabase<TSchema> & { $pool: Pool };
