/// <reference types="node" />
// Types of the promise API: require('zelk/promises') / import 'zelk/promises'.
import type { EventEmitter } from 'events';
import type { Readable, Writable } from 'stream';
import type * as callbackApi from './index';
import type {
  ConnectParams, ConnectionSyncMethods, ExecOptions, ExecResult, GetValuesOptions, Parameter, Parameters,
  ResultSetSyncMethods, Row, StatementSyncMethods,
} from './index';
import type { DataStreamOptions, ParameterStreamOptions, RowStreamOptions } from './streams';

export type {
  ColumnInfo, ConnectParams, ConnectionParameters, ConnectionState, ExecOptions, ExecResult, GetValuesOptions,
  Parameter, Parameters, ParameterInfo, Row, Value, Warning, ZelkError,
} from './index';

/** Options of every promise method that runs SQL. */
export interface SignalOptions {
  /** Aborting calls the connection's abort and rejects with the driver's error. */
  signal?: AbortSignal;
}

export interface PromiseExecOptions extends ExecOptions, SignalOptions {}

export interface RowOptions extends GetValuesOptions {}

/** What run() resolves to. */
export interface RunResult {
  /** Rows inserted, updated or deleted (rows returned, for RETURNING). */
  changes: number;
  /** The embedded database, after a write: the connection's last inserted rowid. The server: the first column of the last RETURNING row, else undefined. */
  lastInsertRowid: number | string | undefined;
}

/** What query() resolves to: run()'s result and the rows, when the statement returned any. */
export interface QueryResult<T = Row> extends RunResult {
  rows: T[] | undefined;
}

export type Backend = 'sqlite' | 'postgresql';

export interface TransactionOptions {
  /** The embedded database: when the write lock is taken (default 'deferred'). Ignored by the server. */
  mode?: 'deferred' | 'immediate' | 'exclusive';
  /** The server's isolation level. Ignored by the embedded database, which is always serializable. */
  isolationLevel?: 'read uncommitted' | 'read committed' | 'repeatable read' | 'serializable';
}

export interface Connection extends ConnectionSyncMethods {}
export declare class Connection {
  /** Wraps a connection of require('zelk'). */
  constructor(nativeConnection: callbackApi.Connection);
  readonly native: callbackApi.Connection;
  /** Known once connected. */
  readonly backend: Backend | undefined;
  /** The database's version text, known once connected. */
  readonly serverVersion: string | undefined;
  /** Probes the backend and version when they are not known yet. */
  describe(): Promise<{ backend: Backend; serverVersion: string }>;
  connect(params?: ConnectParams | number | null): Promise<void>;
  disconnect(): Promise<void>;
  close(): Promise<void>;
  end(): Promise<void>;
  commit(): Promise<void>;
  rollback(): Promise<void>;
  abort(): Promise<void>;
  exec<T = ExecResult>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T>;
  execute<T = ExecResult>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T>;
  query<T = Row>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<QueryResult<T>>;
  run(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<RunResult>;
  /** The first row, or undefined. */
  get<T = Row>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T | undefined>;
  /** Every row; [] for a statement that returns none. */
  all<T = Row>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T[]>;
  prepare(sql: string): Promise<Statement>;
  clearPool(): Promise<number>;
  /** Rows of a query one at a time; the statement is dropped when the loop ends. */
  iterate<T = Row>(sql: string, params?: Parameters, options?: RowOptions & SignalOptions): AsyncGenerator<T, void, undefined>;
  /**
   * fn(tx) in a transaction: commit when it resolves, rollback and rethrow when it fails. The transaction owns
   * the connection: calls made outside it wait until it ends; inside fn use tx (a call on the connection itself
   * rejects with -20100). Called on tx, a savepoint.
   */
  transaction<T>(fn: (tx: Connection) => Promise<T> | T, options?: TransactionOptions): Promise<T>;

}

export interface Statement extends StatementSyncMethods {}
export declare class Statement {
  constructor(nativeStatement: callbackApi.Statement, connection: Connection);
  readonly native: callbackApi.Statement;
  readonly connection: Connection;
  readonly sql: string;
  query<T = Row>(params?: Parameters | null, options?: PromiseExecOptions): Promise<QueryResult<T>>;
  run(params?: Parameters | null, options?: PromiseExecOptions): Promise<RunResult>;
  get<T = Row>(params?: Parameters | null, options?: PromiseExecOptions): Promise<T | undefined>;
  all<T = Row>(params?: Parameters | null, options?: PromiseExecOptions): Promise<T[]>;
  exec<T = ExecResult>(params?: Parameters | null, options?: PromiseExecOptions): Promise<T>;
  execute<T = ExecResult>(params?: Parameters | null, options?: PromiseExecOptions): Promise<T>;
  execQuery(params?: Parameters, options?: SignalOptions): Promise<ResultSet>;
  executeQuery(params?: Parameters, options?: SignalOptions): Promise<ResultSet>;
  execBatch(rows: Parameter[][], options?: SignalOptions): Promise<number>;
  executeBatch(rows: Parameter[][], options?: SignalOptions): Promise<number>;
  drop(): Promise<void>;
  getParameterValue(paramIndex: number): Promise<any>;
  sendParameterData(paramIndex: number, buffer: Buffer | null): Promise<void>;
  getData(paramIndex: number, dataOffset: number, buffer: Buffer, bufferOffset: number, length: number): Promise<number>;
  /** A Writable whose chunks feed a {sendParameterData: true} parameter; its end ends the parameter. */
  createParameterStream(paramIndex: number, options?: ParameterStreamOptions): Writable;
  /** Pipes readable into the parameter and ends it. */
  sendParameterStream(paramIndex: number, readable: NodeJS.ReadableStream | Readable): Promise<void>;
  /** The bytes of a large output parameter. */
  createDataStream(paramIndex: number, options?: DataStreamOptions): Readable;
}

export interface ResultSet extends ResultSetSyncMethods {}
export declare class ResultSet implements AsyncIterable<Row> {
  constructor(nativeResultSet: callbackApi.ResultSet, statement: Statement);
  readonly native: callbackApi.ResultSet;
  readonly statement: Statement;
  close(): Promise<void>;
  next(): Promise<boolean>;
  nextResult(): Promise<boolean>;
  getValue(colIndex: number): Promise<any>;
  getValues(options?: GetValuesOptions): Promise<Row | any[]>;
  getData(colIndex: number, dataOffset: number, buffer: Buffer, bufferOffset: number, length: number): Promise<number>;
  /** Rows from the current position; a signal interrupts a running fetch; the result set is closed when the loop ends, breaks or throws. */
  rows<T = Row>(options?: RowOptions & SignalOptions): AsyncGenerator<T, void, undefined>;
  [Symbol.asyncIterator](): AsyncIterator<Row>;
  /** An object-mode Readable of rows that fetches as it is read and closes the result set. */
  createReadStream(options?: RowStreamOptions): Readable;
  /** The bytes of a large value of the current row. */
  createDataStream(colIndex: number, options?: DataStreamOptions): Readable;
}

export interface PoolOptions {
  /** Most connections open at once (default 10). */
  max?: number;
  /** Connections kept open even when idle (default 0). */
  min?: number;
  /** Ms a caller waits for a connection before acquire() rejects with -20006 (default 30000; 0: no limit). */
  acquireTimeout?: number;
  /** Ms an idle connection beyond min stays open (default 10000; 0: no limit). */
  idleTimeout?: number;
  /** Uses after which a connection is closed and replaced (default 0: no limit). */
  maxUses?: number;
  /** A connection idle at least this many ms is pinged before reuse (default 1000; 0: always; false: never). */
  validateAfter?: number | false;
}

/** A connection borrowed from a pool. */
export interface PooledConnection extends Connection {
  /** Gives the connection back; with destroy true it is closed instead. */
  release(destroy?: boolean): void;
}

export declare class Pool extends EventEmitter {
  /** Open and opening connections. */
  readonly size: number;
  readonly idle: number;
  readonly waiting: number;
  acquire(): Promise<PooledConnection>;
  release(connection: PooledConnection, destroy?: boolean): void;
  /** fn on a borrowed connection, given back (or closed, when its session was lost) when fn settles. */
  use<T>(fn: (connection: PooledConnection) => Promise<T> | T): Promise<T>;
  exec<T = ExecResult>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T>;
  query<T = Row>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<QueryResult<T>>;
  run(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<RunResult>;
  get<T = Row>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T | undefined>;
  all<T = Row>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T[]>;
  iterate<T = Row>(sql: string, params?: Parameters, options?: RowOptions & SignalOptions): AsyncGenerator<T, void, undefined>;
  transaction<T>(fn: (tx: Connection) => Promise<T> | T, options?: TransactionOptions): Promise<T>;
  /** Refuses new callers, closes idle connections and borrowed ones as they come back. */
  end(): Promise<void>;
  on(event: 'connect' | 'acquire' | 'release' | 'remove', listener: (connection: PooledConnection) => void): this;
  on(event: 'error', listener: (err: Error, connection?: PooledConnection) => void): this;
}

export declare function createPool(params: ConnectParams, options?: PoolOptions): Pool;
export declare function createConnection(params?: ConnectParams | null): Connection;
export declare function createClient(params?: ConnectParams | null): Connection;
/** createConnection() and connect(params) in one step. */
export declare function connect(params?: ConnectParams | null): Promise<Connection>;
export declare function getDriverVersion(): string;
export declare function setConnectionPoolLimit(limit: number): null;
