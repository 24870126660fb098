'use strict';
// Catalog queries behind the shell's table listing and table description,
// one pair per backend, with the same result columns on both.

const SQLITE = {
  tables: `SELECT name AS "Name", type AS "Type" FROM sqlite_master
    WHERE type IN ('table', 'view') AND name NOT LIKE 'sqlite_%'
    UNION ALL SELECT name, 'temporary ' || type FROM sqlite_temp_master
    WHERE type IN ('table', 'view') AND name <> 'DUMMY' ORDER BY 1`,
  columns: `SELECT c.name AS "Column", c.type AS "Type",
    CASE WHEN c."notnull" THEN 'not null' ELSE '' END AS "Nullable",
    COALESCE(c.dflt_value, '') AS "Default",
    TRIM(CASE WHEN c.pk > 0 THEN 'PRIMARY KEY' ELSE '' END || COALESCE((SELECT ' REFERENCES ' || f."table" || '('
      || COALESCE(f."to", '') || ')' FROM pragma_foreign_key_list(?) f WHERE f."from" = c.name), '')) AS "Key"
    FROM pragma_table_info(?) c ORDER BY c.cid`,
  columnParams: (name) => [name, name],
};

const POSTGRES = {
  tables: `SELECT n.nspname AS "Schema", c.relname AS "Name",
    CASE c.relkind WHEN 'r' THEN 'table' WHEN 'v' THEN 'view' WHEN 'm' THEN 'materialized view'
      WHEN 'p' THEN 'partitioned table' ELSE 'foreign table' END AS "Type"
    FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace
    WHERE c.relkind IN ('r', 'v', 'm', 'p', 'f') AND pg_catalog.pg_table_is_visible(c.oid)
      AND n.nspname NOT IN ('pg_catalog', 'information_schema')
      AND NOT (c.relname = 'dummy' AND n.oid = pg_catalog.pg_my_temp_schema())
    ORDER BY 1, 2`,
  columns: `SELECT a.attname AS "Column", pg_catalog.format_type(a.atttypid, a.atttypmod) AS "Type",
    CASE WHEN a.attnotnull THEN 'not null' ELSE '' END AS "Nullable",
    COALESCE(pg_catalog.pg_get_expr(d.adbin, d.adrelid), '') AS "Default",
    COALESCE((SELECT string_agg(CASE k.contype WHEN 'p' THEN 'PRIMARY KEY' WHEN 'u' THEN 'UNIQUE'
        ELSE 'REFERENCES ' || k.confrelid::regclass || '(' || (SELECT string_agg(fa.attname, ', ')
          FROM pg_catalog.pg_attribute fa WHERE fa.attrelid = k.confrelid AND fa.attnum = ANY (k.confkey)) || ')' END,
        ' ' ORDER BY k.contype DESC)
      FROM pg_catalog.pg_constraint k
      WHERE k.conrelid = a.attrelid AND a.attnum = ANY (k.conkey) AND k.contype IN ('p', 'u', 'f')), '') AS "Key"
    FROM pg_catalog.pg_attribute a
    LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum
    WHERE a.attrelid = pg_catalog.to_regclass(CAST(? AS text))::oid AND a.attnum > 0 AND NOT a.attisdropped
    ORDER BY a.attnum`,
  columnParams: (name) => [name],
};

const BACKENDS = { sqlite: SQLITE, postgres: POSTGRES };

function tablesQuery(backend) {
  return { sql: BACKENDS[backend].tables, params: undefined };
}

function columnsQuery(backend, name) {
  return { sql: BACKENDS[backend].columns, params: BACKENDS[backend].columnParams(name) };
}

// What a connection reaches, from the database itself.
const CONNINFO = {
  sqlite: "SELECT file FROM pragma_database_list WHERE name = 'main'",
  postgres: `SELECT current_user AS "user", current_database() AS "database", inet_server_addr() AS "host",
    inet_server_port() AS "port", (SELECT ssl FROM pg_stat_ssl WHERE pid = pg_backend_pid()) AS "tls"`,
};

function describeConnection(backend, row) {
  if (backend === 'sqlite') {
    return row.file ? `Connected to the embedded database in file "${row.file}".`
      : 'Connected to a private in-memory embedded database.';
  }
  const where = row.host ? `host "${row.host}" at port "${row.port}"` : 'a local socket';
  return `Connected to PostgreSQL database "${row.database}" as user "${row.user}" on ${where}`
    + `${row.tls ? ' (TLS)' : ''}.`;
}

module.exports = { tablesQuery, columnsQuery, CONNINFO, describeConnection };
