// ES module consumers: default and named imports of both entries.
import zelk, { createConnection } from 'zelk';
import promises, { connect, type Connection } from 'zelk/promises';

const a: ReturnType<typeof createConnection> = zelk.createConnection();
const b: Promise<Connection> = connect('databaseName=/tmp/c.db');
console.log(a.state(), b, promises.getDriverVersion());
