// ES module entry of the promise forms.
import promises from './promises.js';

export const {
  createConnection,
  createClient,
  connect,
  createPool,
  getDriverVersion,
  setConnectionPoolLimit,
  Connection,
  Statement,
  ResultSet,
  Pool,
} = promises;
export default promises;
