/// <reference types="node" />
// Types of the stream helpers over the callback objects: require('zelk/streams').
import { Readable, Writable } from 'stream';
import type { ResultSet, Statement, Row } from './index';

export interface RowStreamOptions {
  /** Rows buffered ahead of the consumer (default 16). */
  highWaterMark?: number;
  asArray?: boolean;
}

export interface DataStreamOptions {
  /** Bytes per getData call (default 65536). */
  chunkSize?: number;
  /** Where to start in the value (default 0). */
  offset?: number;
  highWaterMark?: number;
}

export interface ParameterStreamOptions {
  highWaterMark?: number;
}

/** Anything with getData(index, dataOffset, buffer, bufferOffset, length, callback). */
export type DataSource = Pick<ResultSet, 'getData'> | Pick<Statement, 'getData'>;

export declare function iterateRows<T = Row>(resultSet: ResultSet, options?: { asArray?: boolean }):
  AsyncGenerator<T, void, undefined>;
export declare function createRowStream(resultSet: ResultSet, options?: RowStreamOptions): RowReadable;
export declare function createDataStream(source: DataSource, index: number, options?: DataStreamOptions): DataReadable;
export declare function createParameterStream(statement: Statement, index: number,
  options?: ParameterStreamOptions): ParameterWritable;
export declare function sendParameterStream(statement: Statement, index: number,
  readable: NodeJS.ReadableStream, callback: (err: Error | null) => void): NodeJS.WritableStream;

export declare class RowReadable extends Readable {
  constructor(resultSet: ResultSet, options?: RowStreamOptions);
}
export declare class DataReadable extends Readable {
  constructor(source: DataSource, index: number, options?: DataStreamOptions);
}
export declare class ParameterWritable extends Writable {
  constructor(statement: Statement, index: number, options?: ParameterStreamOptions);
}
