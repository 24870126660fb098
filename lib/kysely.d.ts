// Types of zelk/kysely: Kysely dialects over a zelk pool. The dialect's
// methods are Kysely's to call; they are typed loosely so that one
// declaration fits both Kysely's CommonJS and its ES module types.
import type { ConnectParams, Pool, PoolOptions } from './promises';

export interface ZelkDialectConfig {
  /** A pool of the caller's, which the caller ends. */
  pool?: Pool;
  /** Without pool: the parameters and options of a pool the dialect makes and ends on destroy(). */
  params?: ConnectParams;
  poolOptions?: PoolOptions;
}

export interface ZelkSqliteDialectConfig extends ZelkDialectConfig {
  /** How transactions begin (default 'deferred'). */
  transactionMode?: 'deferred' | 'immediate' | 'exclusive';
}

declare class ZelkDialect {
  createDriver(): any;
  createQueryCompiler(): any;
  createAdapter(): any;
  createIntrospector(db: any): any;
}

export declare class ZelkSqliteDialect extends ZelkDialect {
  constructor(config: ZelkSqliteDialectConfig);
}

export declare class ZelkPostgresDialect extends ZelkDialect {
  constructor(config: ZelkDialectConfig);
}
