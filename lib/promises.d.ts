/// <reference types="node" />
// Types of the promise API: require('zelk/promises') / import 'zelk/promises'.
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

export interface Connection extends ConnectionSyncMethods {}
export declare class Connection {
  /** Wraps a connection of require('zelk'). */
  constructor(nativeConnection: callbackApi.Connection);
  readonly native: callbackApi.Connection;
  connect(params?: ConnectParams | number | null): Promise<void>;
  disconnect(): Promise<void>;
  close(): Promise<void>;
  end(): Promise<void>;
  commit(): Promise<void>;
  rollback(): Promise<void>;
  abort(): Promise<void>;
  exec<T = ExecResult>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T>;
  execute<T = ExecResult>(sql: string, params?: Parameters | null, options?: PromiseExecOptions): Promise<T>;
  prepare(sql: string): Promise<Statement>;
  clearPool(): Promise<number>;
  /** Rows of a query one at a time; the statement is dropped when the loop ends. */
  iterate<T = Row>(sql: string, params?: Parameters, options?: RowOptions & SignalOptions): AsyncGenerator<T, void, undefined>;
  /** Auto-commit off, fn, commit; rollback and rethrow when fn fails; the previous mode restored. */
  transaction<T>(fn: (connection: Connection) => Promise<T> | T): Promise<T>;
}

export interface Statement extends StatementSyncMethods {}
export declare class Statement {
  constructor(nativeStatement: callbackApi.Statement, connection: Connection);
  readonly native: callbackApi.Statement;
  readonly connection: Connection;
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

export declare function createConnection(params?: ConnectParams | null): Connection;
export declare function createClient(params?: ConnectParams | null): Connection;
/** createConnection() and connect(params) in one step. */
export declare function connect(params?: ConnectParams | null): Promise<Connection>;
export declare function getDriverVersion(): string;
export declare function setConnectionPoolLimit(limit: number): null;
