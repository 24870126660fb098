// ES module entry of the stream helpers.
import streams from './streams.js';

export const {
  iterateRows,
  createRowStream,
  createDataStream,
  createParameterStream,
  sendParameterStream,
  RowReadable,
  DataReadable,
  ParameterWritable,
} = streams;
export default streams;
