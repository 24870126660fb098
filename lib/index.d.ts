/// <reference types="node" />
// Types of the callback and synchronous API: require('zelk') / import 'zelk'.

/** Every failure: the client library's code, text and SQLSTATE, or the driver's own (-20001..-20029, "HY000"). */
export interface ZelkError extends Error {
  code: number;
  message: string;
  sqlState: string;
}

export type Callback<T> = (err: ZelkError | undefined, result: T) => void;
export type DoneCallback = (err: ZelkError | undefined) => void;

/** Connection parameters; keys are connection properties, e.g. databaseName. Values
 * other than strings, numbers and booleans (hosts, key, cert and ca aside) are refused. */
export interface ConnectionParameters {
  databaseName?: string;
  database?: string;
  readonly?: boolean | string;
  fileMustExist?: boolean | string;
  host?: string;
  port?: number | string;
  hosts?: string | Array<{ host: string; port: number | string }>;
  user?: string;
  password?: string;
  ca?: string | Buffer | Array<string | Buffer>;
  pooling?: boolean | string;
  maxPoolSize?: number | string;
  connectionLifetime?: number | string;
  resultSetArrayLimitMB?: number | string;
  fastInternalRows?: boolean | string;
  [property: string]: string | number | boolean | Buffer | object[] | Array<string | Buffer> | undefined;
}

/**
 * A connection string ("name=value;..."), a postgres://, postgresql:// or
 * file: URL (string or URL object), a database file path, or a parameter object.
 */
export type ConnectParams = string | URL | ConnectionParameters;

export interface ExecOptions {
  /** Rows as arrays in column order instead of objects. */
  rowsAsArray?: boolean;
  /** Group each row's columns under their table names. */
  nestTables?: boolean;
  /** Use the compact binary result transport (default on). */
  fastInternalRows?: boolean;
}

/** A bigint binds as a 64-bit integer; a Date as the TIMESTAMP text of its instant in UTC. */
export type Value = null | string | number | boolean | Buffer | Date | bigint;
/** A parameter bound to be streamed later with sendParameterData. */
export interface SendLaterParameter { sendParameterData: true | 'true' | string; }
export type Parameter = Value | undefined | SendLaterParameter;
export type Parameters = Parameter[] | { [name: string]: Parameter };
export type Row = { [column: string]: any };
/** Rows for a query, the affected-row count for DML, undefined otherwise. */
export type ExecResult = Row[] | any[][] | number | undefined;

export interface ColumnInfo {
  columnName: string;
  originalColumnName: string;
  tableName?: string;
  ownerName?: string;
  type: number;
  typeName: string;
  nativeType: number;
  nativeTypeName: string;
  precision: number;
  scale: number;
  nullable: number;
}

export interface ParameterInfo {
  name: string;
  direction: number;
  nativeType: number;
  nativeTypeName: string;
  precision: number;
  scale: number;
  maxSize: number;
  type: number;
  typeName: string;
}

export interface Warning {
  code: number;
  message: string;
  sqlState: string;
}

export type ConnectionState = 'connected' | 'disconnected' | string;

// The synchronous methods, one table per class: the promise API offers them
// unchanged (promises.d.ts merges these interfaces into its classes).
export interface ConnectionSyncMethods {
  getAutoCommit(): boolean;
  setAutoCommit(flag: boolean): void;
  getClientInfo(key: string): string | null;
  setClientInfo(key: string, value: string | null | undefined): void;
  onTrace(options: string | null, callback: ((text: string) => void) | null): void;
  setRowSetSize(rowSetSize: number): void;
  state(): ConnectionState;
  getPooledConnectionCount(connStr?: string): number;
  getOpenConnectionCount(): number;
  getWarnings(): Warning[];
}

export interface StatementSyncMethods {
  isValid(): boolean;
  getParameterInfo(): ParameterInfo[];
  getParameterLength(paramIndex: number): number;
  isParameterNull(paramIndex: number): boolean;
  functionCode(): number;
  getColumnInfo(): ColumnInfo[];
  getPrintLines(): string[];
  getRowStatus(): number[] | undefined;
  getServerCPUTime(): number;
  getServerMemoryUsage(): number;
  getServerProcessingTime(): number;
  setPacketSize(packetSize: number): void;
  getPacketSize(): number;
  getStatementHash(): string | undefined;
  setTimeout(timeout: number): void;
}

export interface ResultSetSyncMethods {
  isClosed(): boolean;
  getRowCount(): number;
  getColumnCount(): number;
  getColumnName(colIndex: number): string | undefined;
  getColumnInfo(): ColumnInfo[];
  getValueLength(colIndex: number): number;
  hasNextResult(): boolean;
  getServerCPUTime(): number;
  getServerMemoryUsage(): number;
  getServerProcessingTime(): number;
  isNull(colIndex: number): boolean;
}

export interface Connection extends ConnectionSyncMethods {}
export declare class Connection {
  private constructor();
  connect(params?: ConnectParams | null): void;
  connect(callback: DoneCallback): void;
  connect(params: ConnectParams | number | null | undefined, callback: DoneCallback): void;
  disconnect(callback?: DoneCallback): void;
  close(callback?: DoneCallback): void;
  end(callback?: DoneCallback): void;
  commit(callback?: DoneCallback): void;
  rollback(callback?: DoneCallback): void;
  abort(callback?: DoneCallback): void;

  exec(sql: string, callback: Callback<ExecResult>): void;
  exec(sql: string, params: Parameters | null | undefined, callback: Callback<ExecResult>): void;
  exec(sql: string, params: Parameters | null | undefined, options: ExecOptions | undefined,
    callback: Callback<ExecResult>): void;
  exec(sql: string, params?: Parameters | null, options?: ExecOptions): ExecResult;
  execute: Connection['exec'];

  prepare(sql: string): Statement;
  prepare(sql: string, callback: Callback<Statement>): void;

  clearPool(): number;
  clearPool(callback: Callback<number>): void;
}

export interface Statement extends StatementSyncMethods {}
export declare class Statement {
  private constructor();
  exec(callback: Callback<ExecResult>): void;
  exec(params: Parameters | null | undefined, callback: Callback<ExecResult>): void;
  exec(params: Parameters | null | undefined, options: ExecOptions | undefined, callback: Callback<ExecResult>): void;
  exec(params?: Parameters | null, options?: ExecOptions): ExecResult;
  execute: Statement['exec'];

  execQuery(params?: Parameters): ResultSet;
  execQuery(callback: Callback<ResultSet>): void;
  execQuery(params: Parameters, callback: Callback<ResultSet>): void;
  executeQuery: Statement['execQuery'];

  execBatch(rows: Parameter[][]): number;
  execBatch(rows: Parameter[][], callback: Callback<number>): void;
  executeBatch: Statement['execBatch'];

  drop(callback?: DoneCallback): void;
  getParameterValue(paramIndex: number): any;
  getParameterValue(paramIndex: number, callback: Callback<any>): void;
  /** Sends one chunk of a {sendParameterData: true} parameter; null ends it. */
  sendParameterData(paramIndex: number, buffer: Buffer | null, callback?: DoneCallback): void;
  getData(paramIndex: number, dataOffset: number, buffer: Buffer, bufferOffset: number, length: number): number;
  getData(paramIndex: number, dataOffset: number, buffer: Buffer, bufferOffset: number, length: number,
    callback: Callback<number>): void;
}

export interface GetValuesOptions { asArray?: boolean; }

export interface ResultSet extends ResultSetSyncMethods {}
export declare class ResultSet {
  private constructor();
  close(callback?: DoneCallback): void;
  getValue(colIndex: number): any;
  getValue(colIndex: number, callback: Callback<any>): void;
  getValues(options?: GetValuesOptions): Row | any[];
  getValues(callback: Callback<Row>): void;
  getValues(options: GetValuesOptions, callback: Callback<Row | any[]>): void;
  /** Up to maxRows next rows as one binary transport buffer (lib/decoder.js); fewer rows means the last. */
  fetchRows(maxRows: number, callback: Callback<Buffer | []>): void;
  getData(colIndex: number, dataOffset: number, buffer: Buffer, bufferOffset: number, length: number): number;
  getData(colIndex: number, dataOffset: number, buffer: Buffer, bufferOffset: number, length: number,
    callback: Callback<number>): void;
  next(): boolean;
  next(callback: Callback<boolean>): void;
  nextResult(): boolean;
  nextResult(callback: Callback<boolean>): void;
}

export declare function createConnection(params?: ConnectParams | null): Connection;
export declare function createClient(params?: ConnectParams | null): Connection;
export declare function getDriverVersion(): string;
export declare function setConnectionPoolLimit(limit: number): null;
