/*
 * The dbcapi call interface: the C interface between the zelk module and a
 * database client library (ours is libdbcapiZKV.so, in libdbcapi/).
 *
 * The module never links against a client library; it opens one at run time
 * and resolves the entry points listed in DBCAPI_ENTRY_POINTS into one table
 * (dbcapi/DBCAPI_DLL.h). The same list declares the prototypes a library
 * implements, so the two sides cannot drift apart.
 *
 * Conventions
 * - Functions returning dbcapi_bool return nonzero on success, 0 on failure.
 *   A failing call records code, message and SQLSTATE on its connection;
 *   the next successful call on that connection clears them.
 *   dbcapi_error_length counts the terminating zero (0 when there is no
 *   error); dbcapi_error(conn, NULL, 0) returns the code alone. Calls that
 *   have no connection (a refused dbcapi_make_connection) report through a
 *   per-thread state read by passing a null connection.
 * - dbcapi_fetch_next returns 0 after the last row too; the connection's
 *   error code is then 100 with SQLSTATE "02000" ("No more rows"), which
 *   callers treat as the normal end of the rows. dbcapi_get_next_result
 *   past the last result does the same ("No more results").
 * - A connection and its statements are used by one thread at a time;
 *   dbcapi_abort and dbcapi_cancel may be called from another thread while a
 *   call runs, and make the running call fail promptly ("interrupted",
 *   SQLSTATE "HY008").
 *
 * Connection string (libdbcapiZKV): name=value pairs separated by ";",
 * names case-insensitive, values optionally quoted '...', "..." or {...}.
 * "databaseName" is the SQLite database file (created if missing; WAL
 * journal); without it the database is private and in memory. Other
 * properties are accepted and ignored.
 *
 * Server backend: "ServerNode" ("host:port", or "h1:p1,h2:p2" tried in
 * order) connects to a PostgreSQL server instead; "uid", "pwd" and
 * "databaseName" name the login and database, "sslTrustStore" (PEM text)
 * turns on TLS with verification of the server's certificate and name
 * ("sslValidateCertificate=false": TLS without verification),
 * "sslKeyStore" (PEM certificate and key) is the client's certificate,
 * "ENCRYPT=TRUE" asks for TLS, "ENCRYPT=FALSE" forbids it,
 * "CONNECTTIMEOUT" limits the whole connect in milliseconds (default 30 s,
 * 0 no limit). A refused
 * connection reports code 10002 with the server's SQLSTATE (e.g. "28P01"
 * wrong password) or "08001". Server errors keep the server's SQLSTATE
 * with code 10013; a lost connection is 10015 ("08006", or the server's
 * "57P01" when it ended the session). Result columns: int2 SMALLINT /
 * VAL16, int4 INT / VAL32, int8 BIGINT / VAL64, bool BOOLEAN / UVAL8,
 * float8 DOUBLE, float4 REAL / DOUBLE, numeric DECIMAL / STRING (text),
 * varchar(n) NVARCHAR n, char(n) CHAR n, text TEXT, bytea BLOB, date /
 * time / timestamp ISO text, anything else NCLOB text. Rows are streamed
 * one at a time; a result still streaming when another statement runs on
 * the connection is read into memory first. A batch's rows are pipelined
 * in chunks of 512 (one round trip per chunk); a failed row makes the
 * server skip the rest and the batch is rolled back as on SQLite; CALL
 * batches run row by row. Parameters are described with
 * the server's types (long texts as NCLOB); binary values bound to a
 * parameter that is not bytea are read by the server as text. CALL of a procedure with OUT
 * or INOUT arguments written as single markers describes those
 * parameters as output and fills them after the execute: a value longer
 * than its bound buffer fills the buffer, its length says how long it is,
 * and the whole is read with dbcapi_get_param_data (as is a value bound
 * without a buffer); arguments written "name => value"
 * take the direction of the argument of that name. Result columns read
 * from a table report its name as table_name, its schema as owner_name
 * and the table's column name as column_name (looked up once per table
 * and session, again after DDL on the session); computed columns have
 * none. dbcapi_set_transaction_isolation sets the session's level (0 READ
 * UNCOMMITTED to 3 SERIALIZABLE) for the transactions to come, also when
 * called before connect (else the connect property "ISOLATIONLEVEL", a
 * level's name or its number, sets it); set inside a transaction it survives
 * dbcapi_rollback. "CURRENTSCHEMA" at connect has the effect of
 * "SET SCHEMA name"; an unknown schema is still made the search path, as
 * the server does, so unqualified names find nothing until it exists.
 * NOTICE and WARNING messages reach the
 * warning callback (code 0, their SQLSTATE), INFO messages become print
 * lines. Abort, cancel and the query time-out send the server a cancel
 * request. Client information "APPLICATION" sets application_name. Each connection has a one-row view DUMMY (column
 * DUMMY = 'X') and accepts "SET SCHEMA name" for main, temp or an attached
 * database (else SQLSTATE "3F000"); connect property "CURRENTSCHEMA" sets
 * it unchecked; SQL function current_schema() returns it. SQLite
 * still resolves unqualified names over temp, main and attached
 * databases in that order. With auto-commit off a transaction is opened
 * before the next statement (not before transaction control, ATTACH, VACUUM
 * and similar); switching auto-commit on commits it.
 *
 * Function codes (dbcapi_get_function_code)
 *   0 nothing executed yet     1 DDL (CREATE, DROP, ALTER)
 *   2 INSERT                   3 UPDATE
 *   4 DELETE                   5 SELECT / VALUES / WITH returning rows
 *   6 transaction control      7 SET, PRAGMA and other session commands
 *   8 other statements
 *
 * Row status (dbcapi_get_row_status, after a batch execute): one entry per
 * row, the number of rows the row affected (0 or more), or -3 when the row
 * failed; the batch stops at the first failing row, whose entry and those
 * of all rows after it are -3, and the whole batch is rolled back (it runs
 * inside one savepoint). dbcapi_affected_rows is the total.
 *
 * Types of result columns (declared type -> native type / data type / max
 * size): INTEGER, INT -> INT / VAL64 / 8; BIGINT -> BIGINT / VAL64 / 8;
 * SMALLINT -> VAL16 / 2; TINYINT -> UVAL8 / 1; BOOLEAN -> UVAL8 0 or 1;
 * DOUBLE, FLOAT -> DOUBLE / 8; REAL -> REAL / DOUBLE / 8; DECIMAL(p,s),
 * NUMERIC -> DECIMAL / STRING / 128 (text); CHAR(n), NCHAR(n), VARCHAR(n),
 * NVARCHAR(n) -> STRING, max size n characters; TEXT and VARCHAR without
 * length -> TEXT, CLOB, NCLOB -> STRING; BINARY(n), VARBINARY(n) -> BINARY /
 * n; BLOB -> BINARY; DATE / TIME / TIMESTAMP, SECONDDATE, LONGDATE ->
 * STRING, 10 / 8 / 32 bytes. Large objects report 1000000000 (SQLite's
 * value limit). Columns without a declared type are typed by the first
 * row (integer -> BIGINT, real -> DOUBLE, text or null -> NCLOB, blob ->
 * BLOB). A value longer than its column's max size or its bound slot fails
 * the fetch ("22001"), an integer outside its type ("22003"), a value that
 * does not convert ("22018"); nothing is truncated or rounded silently.
 * dbcapi_num_rows: rows fetched so far from the current result, -1 when it
 * has no columns. Results are forward-only (dbcapi_fetch_absolute fails).
 *
 * Parameters: markers ?, :name, @name, $name; described as input STRING /
 * NVARCHAR, named without the marker. Bound values are read at execute.
 * Data at execution (type 0, length DBCAPI_DATA_AT_EXEC_LENGTH): streamed
 * data that is valid UTF-8 is bound as text, other data as a blob. Several
 * statements in one text give several results in order; statements without
 * rows run at once, also when the result before them ends (its last fetch
 * fails with their error, if any); a query runs to its first row then and
 * waits until the caller moves to its result; parameters belong to the
 * first statement. dbcapi_clear_column_bindings leaves the connection's
 * error as it was. Output parameters exist with
 * the server backend only.
 *
 * Error codes: SQLite failures keep SQLite's extended result code (e.g. 1
 * SQLITE_ERROR, 19 / 1555 / 2067 constraint, 5 busy, 9 interrupted);
 * library failures: 10001 not connected, 10002 connect failed, 10003
 * function sequence, 10004 invalid index, 10005 data too long, 10006
 * numeric out of range, 10007 invalid conversion, 10008 not supported,
 * 10009 time-out, 10010 invalid schema, 10011 invalid argument, 10012
 * invalid handle, 10013 server error, 10014 interrupted (server), 10015
 * connection lost. 100 is never an error. SQLSTATEs: constraint "23000",
 * syntax "42000", no such table "42S02", no such column "42S22", object
 * exists "42S01", busy or locked (after a 5 s busy wait) "40001",
 * interrupted "HY008", time-out "HYT00", data too long "22001", out of
 * range "22003", conversion "22018", connection "08001" / "08003", sequence
 * "HY010", unknown schema "3F000", anything else "HY000".
 *
 * Trace (dbcapi_enable_trace_buffering, any non-null options): one line per
 * executed statement, "<sql> -- <duration in microseconds> us\n"; read and
 * consumed by dbcapi_read_buffered_trace; unread text beyond 8 MB drops the
 * oldest lines.
 *
 * SQL functions of every connection: zkv_warning(code, message) calls the
 * registered warning callback (SQLSTATE "01000") on the calling thread and
 * returns NULL; zkv_print(text) adds a line to the statement's print lines
 * (dbcapi_get_print_line; the host type is ignored, lines are UTF-8;
 * result 2 sets *length to the bytes needed, terminator included);
 * zkv_sleep(ms) waits, ended early by abort, cancel or the query time-out.
 *
 * Statistics: statement CPU time (microseconds of thread CPU), memory (the
 * prepared statement's bytes) and processing time (wall microseconds) of
 * the last execute; result-set values accumulate over its fetch calls. The
 * thread CPU clock is read only once a call has run 1000 SQLite VM steps
 * (it is a system call); shorter calls count their wall time as CPU time.
 * dbcapi_get_stmt_statement_hash: 32 lowercase hex digits (FNV-1a, 128
 * bits, of the SQL text), returns 0, needs a 33-byte buffer. Packet size:
 * stored per statement, default 131072.
 */
#ifndef ZELK_DBCAPI_H
#define ZELK_DBCAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ==== Handles ============================================================ */

typedef struct dbcapi_connection dbcapi_connection;
typedef struct dbcapi_stmt dbcapi_stmt;
typedef struct dbcapi_interface_context dbcapi_interface_context;

typedef int32_t dbcapi_bool;

/* ==== Enumerations ======================================================= */

/* The error code that ends the rows or the results: never an error. */
enum { DBCAPI_NO_MORE_ROWS = 100 };

/* Function codes, as listed above. */
typedef enum dbcapi_function_code {
    DBCAPI_FUNCTION_NONE = 0,
    DBCAPI_FUNCTION_DDL = 1,
    DBCAPI_FUNCTION_INSERT = 2,
    DBCAPI_FUNCTION_UPDATE = 3,
    DBCAPI_FUNCTION_DELETE = 4,
    DBCAPI_FUNCTION_SELECT = 5,
    DBCAPI_FUNCTION_TRANSACTION = 6,
    DBCAPI_FUNCTION_SESSION = 7,
    DBCAPI_FUNCTION_OTHER = 8
} dbcapi_function_code;

/* Host data types: how a value is laid out in a buffer. */
typedef enum dbcapi_data_type {
    DBCAPI_INVALID_TYPE = 0,
    DBCAPI_BINARY = 1,
    DBCAPI_STRING = 2,
    DBCAPI_DOUBLE = 3,
    DBCAPI_VAL64 = 4,
    DBCAPI_UVAL64 = 5,
    DBCAPI_VAL32 = 6,
    DBCAPI_UVAL32 = 7,
    DBCAPI_VAL16 = 8,
    DBCAPI_UVAL16 = 9,
    DBCAPI_VAL8 = 10,
    DBCAPI_UVAL8 = 11,
    DBCAPI_FLOAT = 12
} dbcapi_data_type;

/* Column and parameter types as the database declares them. */
typedef enum dbcapi_native_type {
    DBCAPI_NATIVE_NULL = 0,
    DBCAPI_NATIVE_TINYINT = 1,
    DBCAPI_NATIVE_SMALLINT = 2,
    DBCAPI_NATIVE_INT = 3,
    DBCAPI_NATIVE_BIGINT = 4,
    DBCAPI_NATIVE_DECIMAL = 5,
    DBCAPI_NATIVE_REAL = 6,
    DBCAPI_NATIVE_DOUBLE = 7,
    DBCAPI_NATIVE_CHAR = 8,
    DBCAPI_NATIVE_VARCHAR1 = 9,
    DBCAPI_NATIVE_NCHAR = 10,
    DBCAPI_NATIVE_NVARCHAR = 11,
    DBCAPI_NATIVE_BINARY = 12,
    DBCAPI_NATIVE_VARBINARY = 13,
    DBCAPI_NATIVE_DATE = 14,
    DBCAPI_NATIVE_TIME = 15,
    DBCAPI_NATIVE_TIMESTAMP = 16,
    DBCAPI_NATIVE_TIME_TZ = 17,
    DBCAPI_NATIVE_TIME_LTZ = 18,
    DBCAPI_NATIVE_TIMESTAMP_TZ = 19,
    DBCAPI_NATIVE_TIMESTAMP_LTZ = 20,
    DBCAPI_NATIVE_INTERVAL_YM = 21,
    DBCAPI_NATIVE_INTERVAL_DS = 22,
    DBCAPI_NATIVE_ROWID = 23,
    DBCAPI_NATIVE_UROWID = 24,
    DBCAPI_NATIVE_CLOB = 25,
    DBCAPI_NATIVE_NCLOB = 26,
    DBCAPI_NATIVE_BLOB = 27,
    DBCAPI_NATIVE_BOOLEAN = 28,
    DBCAPI_NATIVE_STRING = 29,
    DBCAPI_NATIVE_NSTRING = 30,
    DBCAPI_NATIVE_LOCATOR = 31,
    DBCAPI_NATIVE_NLOCATOR = 32,
    DBCAPI_NATIVE_BSTRING = 33,
    DBCAPI_NATIVE_DECIMAL_DIGIT_ARRAY = 34,
    DBCAPI_NATIVE_VARCHAR2 = 35,
    DBCAPI_NATIVE_TABLE = 45,
    DBCAPI_NATIVE_QRILSTREAM = 48,
    DBCAPI_NATIVE_QRILSTRUCT = 49,
    DBCAPI_NATIVE_ARRAY = 50,
    DBCAPI_NATIVE_TEXT = 51,
    DBCAPI_NATIVE_SHORTTEXT = 52,
    DBCAPI_NATIVE_BINTEXT = 53,
    DBCAPI_NATIVE_ALPHANUM = 55,
    DBCAPI_NATIVE_LONGDATE = 61,
    DBCAPI_NATIVE_SECONDDATE = 62,
    DBCAPI_NATIVE_DAYDATE = 63,
    DBCAPI_NATIVE_SECONDTIME = 64,
    DBCAPI_NATIVE_CLOCATOR = 70,
    DBCAPI_NATIVE_BLOB_DISK_RESERVED = 71,
    DBCAPI_NATIVE_CLOB_DISK_RESERVED = 72,
    DBCAPI_NATIVE_NCLOB_DISK_RESERVE = 73,
    DBCAPI_NATIVE_ST_GEOMETRY = 74,
    DBCAPI_NATIVE_ST_POINT = 75,
    DBCAPI_NATIVE_FIXED16 = 76,
    DBCAPI_NATIVE_QRIL_ITAB = 77,
    DBCAPI_NATIVE_RECORD_ROW_STORE = 78,
    DBCAPI_NATIVE_RECORD_COLUMN_STORE = 79,
    DBCAPI_NATIVE_NOTYPE = 255
} dbcapi_native_type;

/* Parameter directions. */
typedef enum dbcapi_data_direction {
    DBCAPI_DD_INVALID = 0,
    DBCAPI_DD_INPUT = 1,
    DBCAPI_DD_OUTPUT = 2,
    DBCAPI_DD_INPUT_OUTPUT = 3
} dbcapi_data_direction;

/* A parameter bound with this type and length is sent later in chunks
 * (dbcapi_send_param_data); the statement runs when its last such
 * parameter is finished. */
#define DBCAPI_DATA_AT_EXEC_LENGTH ((size_t)2147483647)

/* Results of dbcapi_get_print_line. */
#define DBCAPI_PRINT_LINE_OK 0
#define DBCAPI_PRINT_LINE_NONE 1
#define DBCAPI_PRINT_LINE_TRUNCATED 2

/* ==== Records ============================================================ */

/* One value: a buffer and its length and null indicator. When bound for a
 * row set of R rows, buffer holds R slots of buffer_size bytes and length
 * and is_null point to arrays of R entries. */
/* A fetched row's is_null entry: the value did not fit the bound slot (its
 * stored type differs from the column's, or it is longer than the slot);
 * dbcapi_get_column at that row-set position returns it with its own type. */
#define DBCAPI_VALUE_ASIDE 2
typedef struct dbcapi_data_value {
    char* buffer;
    size_t buffer_size;
    size_t* length;
    dbcapi_data_type type;
    dbcapi_bool* is_null;
    dbcapi_bool is_address;
} dbcapi_data_value;

typedef struct dbcapi_bind_data {
    dbcapi_data_direction direction;
    dbcapi_data_value value;
    const char* name;
} dbcapi_bind_data;

/* Column description; the text members stay valid until the next
 * dbcapi_get_next_result or until the statement is freed. */
typedef struct dbcapi_column_info {
    const char* name;
    const char* column_name;
    dbcapi_data_type type;
    dbcapi_native_type native_type;
    uint16_t precision;
    uint16_t scale;
    size_t max_size;
    dbcapi_bool nullable;
    const char* table_name;
    const char* owner_name;
    dbcapi_bool is_case_sensitive;
    dbcapi_bool is_signed;
    dbcapi_bool is_autoincrement;
} dbcapi_column_info;

typedef struct dbcapi_data_info {
    dbcapi_data_type type;
    dbcapi_bool is_null;
    size_t data_size;
} dbcapi_data_info;

typedef struct dbcapi_bind_param_info {
    const char* name;
    dbcapi_data_direction direction;
    dbcapi_native_type native_type;
    size_t max_size;
    uint16_t precision;
    uint16_t scale;
} dbcapi_bind_param_info;

/* Called inside the call that raised the warning, on that call's thread. */
typedef void (*dbcapi_warning_callback)(dbcapi_stmt* stmt, const char* message,
                                        int32_t code, const char* sqlstate,
                                        void* context);

/* ==== Entry points ======================================================= */

/* X(kind, return type, name, parameter list). kind is REQUIRED, OPTIONAL
 * (the loader accepts a library without it) or UNFILLED (a table slot the
 * loader never fills; no function of that name exists). The order is the
 * order of the members of DBCAPIInterface. */
#define DBCAPI_ENTRY_POINTS(X)                                                            \
    X(REQUIRED, dbcapi_bool, dbcapi_init, (const char* app_name, uint32_t api_version, uint32_t* max_version)) \
    X(REQUIRED, void, dbcapi_fini, (void))                                                \
    X(REQUIRED, dbcapi_connection*, dbcapi_new_connection, (void))                        \
    X(REQUIRED, void, dbcapi_free_connection, (dbcapi_connection* conn))                  \
    X(REQUIRED, dbcapi_connection*, dbcapi_make_connection, (void* arg))                  \
    X(REQUIRED, dbcapi_bool, dbcapi_connect, (dbcapi_connection* conn, const char* str))  \
    X(REQUIRED, dbcapi_bool, dbcapi_connect2, (dbcapi_connection* conn))                  \
    X(REQUIRED, dbcapi_bool, dbcapi_disconnect, (dbcapi_connection* conn))                \
    X(REQUIRED, dbcapi_bool, dbcapi_enable_trace_buffering, (dbcapi_connection* conn, const char* options)) \
    X(REQUIRED, size_t, dbcapi_read_buffered_trace, (dbcapi_connection* conn, char* buffer, size_t size, uint32_t flags)) \
    X(REQUIRED, dbcapi_bool, dbcapi_set_connect_property, (dbcapi_connection* conn, const char* name, const char* value)) \
    X(REQUIRED, dbcapi_bool, dbcapi_set_clientinfo, (dbcapi_connection* conn, const char* key, const char* value)) \
    X(REQUIRED, dbcapi_bool, dbcapi_get_clientinfo, (dbcapi_connection* conn, const char* key, char* buffer, size_t size)) \
    X(REQUIRED, dbcapi_bool, dbcapi_get_clientinfo_utf8, (dbcapi_connection* conn, const char* key, char* buffer, size_t size)) \
    X(REQUIRED, dbcapi_bool, dbcapi_execute_immediate, (dbcapi_connection* conn, const char* sql)) \
    X(REQUIRED, dbcapi_stmt*, dbcapi_prepare, (dbcapi_connection* conn, const char* sql)) \
    X(REQUIRED, dbcapi_bool, dbcapi_abort, (dbcapi_connection* conn))                     \
    X(REQUIRED, int32_t, dbcapi_get_function_code, (dbcapi_stmt* stmt))                   \
    X(REQUIRED, void, dbcapi_free_stmt, (dbcapi_stmt* stmt))                              \
    X(REQUIRED, int32_t, dbcapi_num_params, (dbcapi_stmt* stmt))                          \
    X(REQUIRED, dbcapi_bool, dbcapi_describe_bind_param, (dbcapi_stmt* stmt, uint32_t index, dbcapi_bind_data* param)) \
    X(REQUIRED, dbcapi_bool, dbcapi_bind_param, (dbcapi_stmt* stmt, uint32_t index, dbcapi_bind_data* param)) \
    X(REQUIRED, dbcapi_bool, dbcapi_send_param_data, (dbcapi_stmt* stmt, uint32_t index, char* buffer, size_t size)) \
    X(REQUIRED, int32_t, dbcapi_get_param_data, (dbcapi_stmt* stmt, uint32_t index, size_t offset, void* buffer, size_t size)) \
    X(REQUIRED, dbcapi_bool, dbcapi_reset, (dbcapi_stmt* stmt))                           \
    X(REQUIRED, dbcapi_bool, dbcapi_get_bind_param_info, (dbcapi_stmt* stmt, uint32_t index, dbcapi_bind_param_info* info)) \
    X(REQUIRED, dbcapi_bool, dbcapi_execute, (dbcapi_stmt* stmt))                         \
    X(REQUIRED, dbcapi_stmt*, dbcapi_execute_direct, (dbcapi_connection* conn, const char* sql)) \
    X(REQUIRED, dbcapi_bool, dbcapi_fetch_absolute, (dbcapi_stmt* stmt, int32_t row))     \
    X(REQUIRED, dbcapi_bool, dbcapi_fetch_next, (dbcapi_stmt* stmt))                      \
    X(REQUIRED, dbcapi_bool, dbcapi_get_next_result, (dbcapi_stmt* stmt))                 \
    X(REQUIRED, int32_t, dbcapi_affected_rows, (dbcapi_stmt* stmt))                       \
    X(REQUIRED, int32_t, dbcapi_num_cols, (dbcapi_stmt* stmt))                            \
    X(REQUIRED, int32_t, dbcapi_num_rows, (dbcapi_stmt* stmt))                            \
    X(REQUIRED, dbcapi_bool, dbcapi_get_column, (dbcapi_stmt* stmt, uint32_t index, dbcapi_data_value* value)) \
    X(REQUIRED, int32_t, dbcapi_get_data, (dbcapi_stmt* stmt, uint32_t index, size_t offset, void* buffer, size_t size)) \
    X(REQUIRED, dbcapi_bool, dbcapi_get_data_info, (dbcapi_stmt* stmt, uint32_t index, dbcapi_data_info* info)) \
    X(REQUIRED, dbcapi_bool, dbcapi_get_column_info, (dbcapi_stmt* stmt, uint32_t index, dbcapi_column_info* info)) \
    X(REQUIRED, dbcapi_bool, dbcapi_commit, (dbcapi_connection* conn))                    \
    X(REQUIRED, dbcapi_bool, dbcapi_rollback, (dbcapi_connection* conn))                  \
    X(REQUIRED, dbcapi_bool, dbcapi_client_version, (char* buffer, size_t length))        \
    X(REQUIRED, int32_t, dbcapi_error, (dbcapi_connection* conn, char* buffer, size_t size)) \
    X(REQUIRED, size_t, dbcapi_sqlstate, (dbcapi_connection* conn, char* buffer, size_t size)) \
    X(REQUIRED, void, dbcapi_clear_error, (dbcapi_connection* conn))                      \
    X(OPTIONAL, dbcapi_interface_context*, dbcapi_init_ex, (const char* app_name, uint32_t api_version, uint32_t* max_version)) \
    X(OPTIONAL, void, dbcapi_fini_ex, (dbcapi_interface_context* context))                \
    X(OPTIONAL, dbcapi_connection*, dbcapi_new_connection_ex, (dbcapi_interface_context* context)) \
    X(OPTIONAL, dbcapi_connection*, dbcapi_make_connection_ex, (dbcapi_interface_context* context, void* arg)) \
    X(OPTIONAL, dbcapi_bool, dbcapi_client_version_ex, (dbcapi_interface_context* context, char* buffer, size_t length)) \
    X(REQUIRED, void, dbcapi_cancel, (dbcapi_connection* conn))                           \
    X(REQUIRED, dbcapi_bool, dbcapi_set_batch_size, (dbcapi_stmt* stmt, uint32_t num_rows)) \
    X(REQUIRED, dbcapi_bool, dbcapi_set_param_bind_type, (dbcapi_stmt* stmt, size_t row_size)) \
    X(REQUIRED, uint32_t, dbcapi_get_batch_size, (dbcapi_stmt* stmt))                     \
    X(REQUIRED, dbcapi_bool, dbcapi_set_rowset_size, (dbcapi_stmt* stmt, uint32_t num_rows)) \
    X(REQUIRED, uint32_t, dbcapi_get_rowset_size, (dbcapi_stmt* stmt))                    \
    X(REQUIRED, dbcapi_bool, dbcapi_set_column_bind_type, (dbcapi_stmt* stmt, uint32_t row_size)) \
    X(REQUIRED, dbcapi_bool, dbcapi_bind_column, (dbcapi_stmt* stmt, uint32_t index, dbcapi_data_value* value)) \
    X(REQUIRED, dbcapi_bool, dbcapi_clear_column_bindings, (dbcapi_stmt* stmt))           \
    X(REQUIRED, int32_t, dbcapi_fetched_rows, (dbcapi_stmt* stmt))                        \
    X(REQUIRED, dbcapi_bool, dbcapi_set_rowset_pos, (dbcapi_stmt* stmt, uint32_t row_num)) \
    X(REQUIRED, dbcapi_bool, dbcapi_finish_param_data, (dbcapi_stmt* stmt, uint32_t index)) \
    X(REQUIRED, dbcapi_bool, dbcapi_reset_param_data, (dbcapi_stmt* stmt, uint32_t index)) \
    X(REQUIRED, size_t, dbcapi_error_length, (dbcapi_connection* conn))                   \
    X(REQUIRED, dbcapi_bool, dbcapi_get_autocommit, (dbcapi_connection* conn, dbcapi_bool* mode)) \
    X(REQUIRED, dbcapi_bool, dbcapi_set_autocommit, (dbcapi_connection* conn, dbcapi_bool mode)) \
    X(REQUIRED, dbcapi_bool, dbcapi_set_transaction_isolation, (dbcapi_connection* conn, uint32_t level)) \
    X(REQUIRED, dbcapi_bool, dbcapi_set_query_timeout, (dbcapi_stmt* stmt, int32_t seconds)) \
    X(REQUIRED, dbcapi_bool, dbcapi_register_warning_callback, (dbcapi_connection* conn, dbcapi_warning_callback callback, void* context)) \
    X(UNFILLED, void, dbcapi_reserved_slot, (void))                                       \
    X(REQUIRED, int32_t, dbcapi_get_print_line, (dbcapi_stmt* stmt, uint32_t host_type, void* buffer, size_t* length, size_t buffer_size, dbcapi_bool terminate)) \
    X(REQUIRED, int32_t*, dbcapi_get_row_status, (dbcapi_stmt* stmt))                     \
    X(REQUIRED, int64_t, dbcapi_get_stmt_server_cpu_time, (dbcapi_stmt* stmt))            \
    X(REQUIRED, int64_t, dbcapi_get_stmt_server_memory_usage, (dbcapi_stmt* stmt))        \
    X(REQUIRED, int64_t, dbcapi_get_stmt_server_processing_time, (dbcapi_stmt* stmt))     \
    X(REQUIRED, int64_t, dbcapi_get_resultset_server_cpu_time, (dbcapi_stmt* stmt))       \
    X(REQUIRED, int32_t, dbcapi_get_stmt_statement_hash, (dbcapi_stmt* stmt, char* buffer, size_t size)) \
    X(REQUIRED, int64_t, dbcapi_get_resultset_server_memory_usage, (dbcapi_stmt* stmt))   \
    X(REQUIRED, int64_t, dbcapi_get_resultset_server_processing_time, (dbcapi_stmt* stmt)) \
    X(REQUIRED, dbcapi_bool, dbcapi_has_next_result, (dbcapi_stmt* stmt))                 \
    X(REQUIRED, dbcapi_bool, dbcapi_set_stmt_packet_size, (dbcapi_stmt* stmt, int32_t size)) \
    X(REQUIRED, int32_t, dbcapi_get_stmt_packet_size, (dbcapi_stmt* stmt))              \
    X(OPTIONAL, dbcapi_bool, dbcapi_is_connect_property, (const char* name))

/* Prototypes, for a library that implements the interface. */
#define DBCAPI_DECLARE_PROTOTYPE_REQUIRED(ret, name, params) ret name params;
#define DBCAPI_DECLARE_PROTOTYPE_OPTIONAL(ret, name, params) ret name params;
#define DBCAPI_DECLARE_PROTOTYPE_UNFILLED(ret, name, params)
#define DBCAPI_DECLARE_PROTOTYPE(kind, ret, name, params) \
    DBCAPI_DECLARE_PROTOTYPE_##kind(ret, name, params)
DBCAPI_ENTRY_POINTS(DBCAPI_DECLARE_PROTOTYPE)

#ifdef __cplusplus
}
#endif

#endif /* ZELK_DBCAPI_H */
