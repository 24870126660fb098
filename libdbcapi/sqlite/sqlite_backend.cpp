// The SQLite backend: one sqlite3 connection per session, with the DUMMY
// view, the zkv_* SQL functions, interruption and time-outs.
#include <sqlite3.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "backend.h"
#include "errors.h"
#include "sql_text.h"
#include "statement_cache.h"

namespace zkv {
namespace {

int64_t threadCpuNanos() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* sqlstateForMessage(const char* msg) {
    if (std::strstr(msg, "no such table") || std::strstr(msg, "no such view")) return "42S02";
    if (std::strstr(msg, "no such column")) return "42S22";
    if (std::strstr(msg, "already exists")) return "42S01";
    if (std::strstr(msg, "syntax error") || std::strstr(msg, "incomplete input") ||
        std::strstr(msg, "unrecognized token") || std::strstr(msg, "no such function") ||
        std::strstr(msg, "wrong number of arguments"))
        return "42000";
    return "HY000";
}

const char* sqlstateForCode(int primary) {
    switch (primary) {
        case SQLITE_CONSTRAINT: return "23000";
        case SQLITE_BUSY: case SQLITE_LOCKED: return "40001";
        case SQLITE_INTERRUPT: return "HY008";
        case SQLITE_TOOBIG: return "22001";
        case SQLITE_MISMATCH: return "22018";
        case SQLITE_RANGE: return "07009";
        case SQLITE_NOMEM: return "HY001";
        case SQLITE_READONLY: return "25006";
        case SQLITE_MISUSE: return "HY010";
        case SQLITE_CANTOPEN: case SQLITE_NOTADB: return "08001";
        default: return "HY000";
    }
}

// Statements after which a cached text may prepare differently or not at
// all: DDL, ATTACH and the like, and a rollback, which can undo DDL.
bool mayChangeSchema(const char* sql, int32_t functionCode) {
    if (functionCode != DBCAPI_FUNCTION_TRANSACTION)
        return functionCode == DBCAPI_FUNCTION_DDL || functionCode == DBCAPI_FUNCTION_OTHER ||
               functionCode == DBCAPI_FUNCTION_SESSION;
    while (*sql == ' ' || *sql == '\t' || *sql == '\r' || *sql == '\n') ++sql;
    return sqlite3_strnicmp(sql, "ROLLBACK", 8) == 0;
}

class SqliteSession;

class SqliteCursor : public BackendCursor {
public:
    // trailing: the blanks after the statement in the text it was prepared
    // from; with sql they make its cache key. generation: the session's
    // schema generation the statement was last prepared or run under.
    // cached: the statement as the cache handed it back, or a new one.
    SqliteCursor(std::shared_ptr<SqliteSession> session, const CachedStatement& cached, std::string sql,
                 std::string trailing, bool cacheable, uint64_t generation)
        : session_(std::move(session)), stmt_(cached.stmt), sql_(std::move(sql)), trailing_(std::move(trailing)),
          cacheable_(cacheable), generation_(generation), memo_(cached.columns),
          memoPrepareCount_(cached.columnsPrepareCount),
          functionCode_(cached.functionCode >= 0 ? cached.functionCode
                                                 : classifyStatement(sql_.c_str(), sqlite3_column_count(stmt_) > 0)),
          changesSchema_(mayChangeSchema(sql_.c_str(), functionCode_)) {}
    ~SqliteCursor() override;

    const std::string& sql() const override { return sql_; }
    int32_t functionCode() const override { return functionCode_; }
    int paramCount() const override { return sqlite3_bind_parameter_count(stmt_); }
    const char* paramName(int index) const override { return sqlite3_bind_parameter_name(stmt_, index + 1); }
    bool bindNull(int index, BackendError& err) override { return check(sqlite3_bind_null(stmt_, index + 1), err); }
    bool bindInt64(int index, int64_t v, BackendError& err) override {
        return check(sqlite3_bind_int64(stmt_, index + 1, v), err);
    }
    bool bindDouble(int index, double v, BackendError& err) override {
        return check(sqlite3_bind_double(stmt_, index + 1, v), err);
    }
    bool bindText(int index, const char* data, size_t length, bool copy, BackendError& err) override {
        return check(sqlite3_bind_text64(stmt_, index + 1, data ? data : "", length,
                                         copy ? SQLITE_TRANSIENT : SQLITE_STATIC, SQLITE_UTF8),
                     err);
    }
    bool bindBlob(int index, const void* data, size_t length, bool copy, BackendError& err) override {
        return check(sqlite3_bind_blob64(stmt_, index + 1, data ? data : "", length,
                                         copy ? SQLITE_TRANSIENT : SQLITE_STATIC),
                     err);
    }
    void clearBindings() override { sqlite3_clear_bindings(stmt_); }
    void reset() override { sqlite3_reset(stmt_); }
    StepResult step(BackendError& err) override;
    int64_t changes() const override;
    int columnCount() const override { return sqlite3_column_count(stmt_); }
    ColumnOrigin columnOrigin(int index) const override;
    ValueKind kind(int index) const override {
        switch (sqlite3_column_type(stmt_, index)) {
            case SQLITE_INTEGER: return ValueKind::Integer;
            case SQLITE_FLOAT: return ValueKind::Real;
            case SQLITE_TEXT: return ValueKind::Text;
            case SQLITE_BLOB: return ValueKind::Blob;
            default: return ValueKind::Null;
        }
    }
    int64_t int64At(int index) const override { return sqlite3_column_int64(stmt_, index); }
    double doubleAt(int index) const override { return sqlite3_column_double(stmt_, index); }
    const char* textAt(int index, size_t& length) const override {
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
        length = static_cast<size_t>(sqlite3_column_bytes(stmt_, index));
        return text;
    }
    const void* blobAt(int index, size_t& length) const override {
        const void* data = sqlite3_column_blob(stmt_, index);
        length = static_cast<size_t>(sqlite3_column_bytes(stmt_, index));
        return data;
    }
    int64_t memoryUsed() const override { return sqlite3_stmt_status(stmt_, SQLITE_STMTSTATUS_MEMUSED, 0); }
    // MEMUSED walks every allocation of the statement (about 1k instructions).
    bool measuresOnDemand() const override { return true; }
    std::shared_ptr<const ColumnMemo> columnMemo() const override {
        return memo_ && prepareCount() == memoPrepareCount_ ? memo_ : nullptr;
    }
    void keepColumnMemo(std::shared_ptr<const ColumnMemo> memo) override {
        memo_ = std::move(memo);
        memoPrepareCount_ = prepareCount();
    }

private:
    bool check(int rc, BackendError& err);
    // Counts the times SQLite prepared the statement again by itself.
    int prepareCount() const { return sqlite3_stmt_status(stmt_, SQLITE_STMTSTATUS_REPREPARE, 0); }

    std::shared_ptr<SqliteSession> session_;
    sqlite3_stmt* stmt_;
    std::string sql_;
    std::string trailing_;
    bool cacheable_;
    uint64_t generation_;
    std::shared_ptr<const ColumnMemo> memo_;
    int memoPrepareCount_;
    int32_t functionCode_;
    bool changesSchema_;
};

// "SET SCHEMA name": SQLite has no such statement; it checks that the
// schema is attached and makes it the value of current_schema().
class SetSchemaCursor : public BackendCursor {
public:
    SetSchemaCursor(std::shared_ptr<SqliteSession> session, std::string schema, std::string sql)
        : session_(std::move(session)), schema_(std::move(schema)), sql_(std::move(sql)) {}
    const std::string& sql() const override { return sql_; }
    int32_t functionCode() const override { return DBCAPI_FUNCTION_SESSION; }
    int paramCount() const override { return 0; }
    const char* paramName(int) const override { return nullptr; }
    bool bindNull(int, BackendError& err) override { return noParams(err); }
    bool bindInt64(int, int64_t, BackendError& err) override { return noParams(err); }
    bool bindDouble(int, double, BackendError& err) override { return noParams(err); }
    bool bindText(int, const char*, size_t, bool, BackendError& err) override { return noParams(err); }
    bool bindBlob(int, const void*, size_t, bool, BackendError& err) override { return noParams(err); }
    void clearBindings() override {}
    void reset() override {}
    StepResult step(BackendError& err) override;
    int64_t changes() const override { return 0; }
    int columnCount() const override { return 0; }
    ColumnOrigin columnOrigin(int) const override { return {}; }
    ValueKind kind(int) const override { return ValueKind::Null; }
    int64_t int64At(int) const override { return 0; }
    double doubleAt(int) const override { return 0; }
    const char* textAt(int, size_t& length) const override { length = 0; return nullptr; }
    const void* blobAt(int, size_t& length) const override { length = 0; return nullptr; }
    int64_t memoryUsed() const override { return 0; }

private:
    static bool noParams(BackendError& err) {
        err = makeError(kInvalidIndex, "07009", "SET SCHEMA has no parameters");
        return false;
    }
    std::shared_ptr<SqliteSession> session_;
    std::string schema_;
    std::string sql_;
};

class SqliteSession : public BackendSession, public std::enable_shared_from_this<SqliteSession> {
public:
    SqliteSession(sqlite3* db, size_t cacheCapacity) : db_(db), cache_(cacheCapacity) {}
    ~SqliteSession() override {
        cache_.clear();
        sqlite3_close_v2(db_);
    }

    bool setUp(BackendError& err);
    std::unique_ptr<BackendCursor> prepare(const char* sql, size_t length, size_t& consumed,
                                           BackendError& err) override;
    bool execute(const char* sql, BackendError& err) override {
        if (mayChangeSchema(sql, classifyStatement(sql, false))) schemaChanged();
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
        err = lastError(sqlite3_extended_errcode(db_));
        return false;
    }
    bool inTransaction() const override { return !sqlite3_get_autocommit(db_); }
    // Through the progress handler only: the flag sqlite3_interrupt sets
    // stays until no statement of the connection is active, so a result set
    // left open would fail every later statement.
    void interrupt() override { interrupted_ = true; }
    void beginCall(int64_t startNs, int64_t deadlineNs, CallHooks* hooks) override {
        interrupted_ = false;
        timedOut_ = false;
        deadline_ = deadlineNs;
        hooks_ = hooks;
        callStart_ = startNs;
        cpuMark_ = -1;
    }
    void endCall() override {
        deadline_ = 0;
        hooks_ = nullptr;
    }

    bool beginAtomic(BackendError& err) override { return execute("SAVEPOINT zkv_batch", err); }
    bool endAtomic(bool commit, BackendError& err) override {
        if (commit) return execute("RELEASE zkv_batch", err);
        BackendError ignored;
        execute("ROLLBACK TO zkv_batch", ignored);
        return execute("RELEASE zkv_batch", err);
    }

    int64_t callCpuMicros(int64_t nowNs) const override {
        if (cpuMark_ < 0) return (nowNs - callStart_) / 1000;
        return (threadCpuNanos() - cpuMark_ + (cpuMarkWall_ - callStart_)) / 1000;
    }

    BackendError lastError(int rc);
    bool schemaExists(const std::string& name, BackendError& err);
    void setCurrentSchema(const std::string& name) { currentSchema_ = name; }
    void schemaChanged() { ++schemaGeneration_; }
    uint64_t schemaGeneration() const { return schemaGeneration_; }
    // Takes back a cursor's statement: kept for its text when cacheable,
    // else finalized.
    void release(std::string key, const CachedStatement& entry, bool cacheable);

private:

    static int progress(void* self);
    static void sqlWarning(sqlite3_context* ctx, int argc, sqlite3_value** argv);
    static void sqlPrint(sqlite3_context* ctx, int argc, sqlite3_value** argv);
    static void sqlSleep(sqlite3_context* ctx, int argc, sqlite3_value** argv);
    static void sqlCurrentSchema(sqlite3_context* ctx, int argc, sqlite3_value** argv);
    bool shouldStop();

    sqlite3* db_;
    std::atomic<bool> interrupted_{false};
    std::atomic<bool> timedOut_{false};
    std::atomic<int64_t> deadline_{0};
    std::atomic<CallHooks*> hooks_{nullptr};
    int64_t callStart_ = 0;
    int64_t cpuMark_ = -1;
    int64_t cpuMarkWall_ = 0;
    std::string currentSchema_ = "main";
    std::atomic<uint64_t> schemaGeneration_{0};
    StatementCache cache_;  // cleared before db_ closes
};

SqliteCursor::~SqliteCursor() {
    CachedStatement entry{stmt_, sql_.size(), generation_, functionCode_, memo_, memoPrepareCount_};
    session_->release(std::move(sql_) + trailing_, entry, cacheable_);
}

bool SqliteCursor::check(int rc, BackendError& err) {
    if (rc == SQLITE_OK) return true;
    err = session_->lastError(rc);
    return false;
}

StepResult SqliteCursor::step(BackendError& err) {
    // SQLite prepares the statement again if the schema changed since.
    uint64_t generation = session_->schemaGeneration();
    int rc = sqlite3_step(stmt_);
    generation_ = generation;
    if (changesSchema_) session_->schemaChanged();
    if (rc == SQLITE_ROW) return StepResult::Row;
    if (rc == SQLITE_DONE) return StepResult::Done;
    err = session_->lastError(rc);
    sqlite3_reset(stmt_);
    return StepResult::Error;
}

int64_t SqliteCursor::changes() const { return sqlite3_changes64(sqlite3_db_handle(stmt_)); }

ColumnOrigin SqliteCursor::columnOrigin(int index) const {
    ColumnOrigin origin;
    origin.name = sqlite3_column_name(stmt_, index);
    origin.columnName = sqlite3_column_origin_name(stmt_, index);
    origin.tableName = sqlite3_column_table_name(stmt_, index);
    origin.ownerName = sqlite3_column_database_name(stmt_, index);
    origin.declaredType = sqlite3_column_decltype(stmt_, index);
    if (!origin.columnName) origin.columnName = origin.name;
    if (origin.tableName && origin.ownerName) {
        int notNull = 0, primaryKey = 0, autoIncrement = 0;
        if (sqlite3_table_column_metadata(sqlite3_db_handle(stmt_), origin.ownerName, origin.tableName,
                                          origin.columnName, nullptr, nullptr, &notNull, &primaryKey,
                                          &autoIncrement) == SQLITE_OK)
            origin.nullable = !notNull;
    }
    return origin;
}

StepResult SetSchemaCursor::step(BackendError& err) {
    if (!session_->schemaExists(schema_, err)) return StepResult::Error;
    session_->setCurrentSchema(schema_);
    return StepResult::Done;
}

bool SqliteSession::setUp(BackendError& err) {
    sqlite3_busy_timeout(db_, 5000);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_progress_handler(db_, 1000, &SqliteSession::progress, this);
    const int flags = SQLITE_UTF8;
    sqlite3_create_function_v2(db_, "zkv_warning", 2, flags, this, &sqlWarning, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db_, "zkv_print", 1, flags, this, &sqlPrint, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db_, "zkv_sleep", 1, flags, this, &sqlSleep, nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(db_, "current_schema", 0, flags, this, &sqlCurrentSchema, nullptr, nullptr,
                               nullptr);
    return execute("CREATE TEMP VIEW IF NOT EXISTS DUMMY AS SELECT 'X' AS DUMMY", err);
}

std::unique_ptr<BackendCursor> SqliteSession::prepare(const char* sql, size_t length, size_t& consumed,
                                                      BackendError& err) {
    // Only texts SQLite prepared are cached, so a cached one is no SET SCHEMA.
    uint64_t generation = schemaGeneration_;
    CachedStatement cached;
    if (cache_.take(std::string_view(sql, length), generation, cached)) {
        consumed = cached.consumed;
    } else {
        std::string schema;
        size_t setLength = parseSetSchema(sql, length, schema);
        if (setLength) {
            consumed = setLength;
            return std::make_unique<SetSchemaCursor>(shared_from_this(), schema, std::string(sql, setLength));
        }
        const char* tail = nullptr;
        int rc = sqlite3_prepare_v3(db_, sql, static_cast<int>(length), SQLITE_PREPARE_PERSISTENT, &cached.stmt,
                                    &tail);
        if (rc != SQLITE_OK) {
            err = lastError(rc);
            consumed = length;
            return nullptr;
        }
        consumed = tail ? static_cast<size_t>(tail - sql) : length;
        if (!cached.stmt) return nullptr;
    }
    // Only a text that holds one statement is cached: the key of a script
    // would be the rest of the script.
    bool cacheable = cache_.capacity() > 0 && isBlankSql(sql + consumed, length - consumed);
    return std::make_unique<SqliteCursor>(shared_from_this(), cached, std::string(sql, consumed),
                                          std::string(sql + consumed, length - consumed), cacheable, generation);
}

void SqliteSession::release(std::string key, const CachedStatement& entry, bool cacheable) {
    if (!cacheable) {
        sqlite3_finalize(entry.stmt);
        return;
    }
    sqlite3_reset(entry.stmt);
    sqlite3_clear_bindings(entry.stmt);
    cache_.put(std::move(key), entry);
}

BackendError SqliteSession::lastError(int rc) {
    int code = sqlite3_extended_errcode(db_);
    if (code == SQLITE_OK) code = rc;
    const char* msg = sqlite3_errmsg(db_);
    if ((code & 0xff) == SQLITE_INTERRUPT) {
        if (timedOut_) return makeError(kTimedOut, "HYT00", "Statement timed out: the query time-out elapsed");
        return makeError(SQLITE_INTERRUPT, "HY008", "Statement interrupted: the operation was cancelled");
    }
    const char* state = (code & 0xff) == SQLITE_ERROR ? sqlstateForMessage(msg) : sqlstateForCode(code & 0xff);
    return makeError(code, state, msg);
}

bool SqliteSession::schemaExists(const std::string& name, BackendError& err) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, "PRAGMA database_list", -1, &stmt, nullptr) != SQLITE_OK) {
        err = lastError(SQLITE_ERROR);
        return false;
    }
    bool found = false;
    while (!found && sqlite3_step(stmt) == SQLITE_ROW) {
        const char* schema = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        found = schema && sqlite3_stricmp(schema, name.c_str()) == 0;
    }
    sqlite3_finalize(stmt);
    if (!found) err = makeError(kInvalidSchema, "3F000", "Invalid schema name: " + name);
    return found;
}

bool SqliteSession::shouldStop() {
    if (cpuMark_ < 0) {
        cpuMarkWall_ = steadyNanos();
        cpuMark_ = threadCpuNanos();
    }
    if (interrupted_) return true;
    int64_t deadline = deadline_;
    if (deadline && steadyNanos() > deadline) {
        timedOut_ = true;
        return true;
    }
    return false;
}

int SqliteSession::progress(void* self) { return static_cast<SqliteSession*>(self)->shouldStop() ? 1 : 0; }

void SqliteSession::sqlWarning(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* self = static_cast<SqliteSession*>(sqlite3_user_data(ctx));
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
    if (CallHooks* hooks = self->hooks_) hooks->onWarning(sqlite3_value_int(argv[0]), "01000", text ? text : "");
    sqlite3_result_null(ctx);
}

void SqliteSession::sqlPrint(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* self = static_cast<SqliteSession*>(sqlite3_user_data(ctx));
    const char* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    size_t length = static_cast<size_t>(sqlite3_value_bytes(argv[0]));
    if (CallHooks* hooks = self->hooks_) hooks->onPrintLine(text ? text : "", text ? length : 0);
    sqlite3_result_null(ctx);
}

void SqliteSession::sqlSleep(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* self = static_cast<SqliteSession*>(sqlite3_user_data(ctx));
    int64_t end = steadyNanos() + sqlite3_value_int64(argv[0]) * 1000000;
    while (steadyNanos() < end) {
        if (self->shouldStop()) {
            sqlite3_result_error_code(ctx, SQLITE_INTERRUPT);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sqlite3_result_null(ctx);
}

void SqliteSession::sqlCurrentSchema(sqlite3_context* ctx, int, sqlite3_value**) {
    auto* self = static_cast<SqliteSession*>(sqlite3_user_data(ctx));
    sqlite3_result_text(ctx, self->currentSchema_.c_str(), -1, SQLITE_TRANSIENT);
}

}  // namespace

std::shared_ptr<BackendSession> openSqliteSession(const SessionOptions& options, BackendError& err) {
    sqlite3* db = nullptr;
    const char* file = options.databaseFile.empty() ? ":memory:" : options.databaseFile.c_str();
    int mode = options.readOnly ? SQLITE_OPEN_READONLY
                                : SQLITE_OPEN_READWRITE | (options.fileMustExist ? 0 : SQLITE_OPEN_CREATE);
    int rc = sqlite3_open_v2(file, &db, mode | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        err = makeError(rc ? rc : SQLITE_CANTOPEN, "08001",
                        std::string("Cannot open database \"") + file + "\": " +
                            (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
        sqlite3_close_v2(db);
        return nullptr;
    }
    auto session = std::make_shared<SqliteSession>(db, options.statementCacheSize);
    if (!session->setUp(err)) return nullptr;
    // Unchecked, like a server's search path: a connection string names a
    // schema before the script that creates or attaches it has run.
    if (!options.currentSchema.empty()) session->setCurrentSchema(options.currentSchema);
    if (!options.databaseFile.empty() && !options.readOnly) session->execute("PRAGMA journal_mode=WAL", err);
    err = BackendError();
    return session;
}

}  // namespace zkv
