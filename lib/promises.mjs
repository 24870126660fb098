// ES module entry of the promise forms.
import promises from './promises.js';

export const {
  createConnection,
  createClient,
  connect,
  getDriverVersion,
  setConnectionPoolLimit,
  Connection,
  Statement,
  ResultSet,
} = promises;
export default promises;
