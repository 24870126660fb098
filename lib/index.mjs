// ES module entry: the CommonJS package, so both forms share one native module.
import zelk from './index.js';

export const {
  createConnection,
  createClient,
  getDriverVersion,
  setConnectionPoolLimit,
  Connection,
  Statement,
  ResultSet,
} = zelk;
export default zelk;
