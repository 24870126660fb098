// The PostgreSQL server backend over libpq: one server connection per
// session, results streamed row by row (single-row mode).
#ifndef ZKV_PG_BACKEND_H
#define ZKV_PG_BACKEND_H

#include "pg_libpq.h"

#include <atomic>
#include <deque>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend.h"
#include "pg_sql.h"

namespace zkv {

class PgCursor;
struct PgColumn;
struct PgPrepared;

class PgSession : public BackendSession, public std::enable_shared_from_this<PgSession> {
public:
    explicit PgSession(PGconn* conn);
    ~PgSession() override;

    bool setUp(int isolationLevel, BackendError& err);
    // The connect property: "SET SCHEMA name", but the schema need not
    // exist yet.
    bool setSearchPath(const std::string& name, BackendError& err);
    std::unique_ptr<BackendCursor> prepare(const char* sql, size_t length, size_t& consumed,
                                           BackendError& err) override;
    bool execute(const char* sql, BackendError& err) override;
    bool inTransaction() const override;
    void interrupt() override { interrupted_ = true; }
    void beginCall(int64_t startNs, int64_t deadlineNs, CallHooks* hooks) override;
    void endCall() override;
    int64_t callCpuMicros(int64_t nowNs) const override;
    bool beginAtomic(BackendError& err) override;
    bool endAtomic(bool commit, BackendError& err) override;
    void setClientInfo(const std::string& key, const std::string& value) override;
    bool setIsolationLevel(int level, BackendError& err) override;

    // For cursors. ready() makes the connection free for a new command:
    // rows still streaming to another cursor are kept by that cursor.
    bool ready(BackendError& err);
    // False once the running call was interrupted: a batch sends no more
    // rows (a cancel reaches the server only while a row is executing).
    bool notInterrupted(BackendError& err) const;
    void startStreaming(PgCursor* cursor);
    void stopStreaming(PgCursor* cursor);
    // Called by a dying cursor, possibly on another thread: never touches
    // the connection, only queues the clean-up. Drops the cursor's hold on
    // its server statement.
    void forget(PgCursor* cursor, std::shared_ptr<PgPrepared>& statement);
    // Server statements kept for their text, so that preparing the same
    // text again costs no round trip; the least recently used go first.
    std::shared_ptr<PgPrepared> cachedStatement(const std::string& sql);
    void cacheStatement(const std::string& sql, const std::shared_ptr<PgPrepared>& statement);
    void uncacheStatement(const std::string& sql);
    // After DDL or SET a text may name other tables or columns; after
    // DEALLOCATE or DISCARD the server statements may be gone already
    // (deallocate false: they are not deallocated again).
    void clearStatementCache(bool deallocate);
    // After DDL: the cache is emptied now and, if a transaction is open,
    // again when it ends (a rollback brings the old tables back).
    void schemaChanged();
    // The next result of the running command (null when it has no more),
    // waiting for the server while honouring abort and the time-out.
    PGresult* nextResult(BackendError& err);
    BackendError errorOf(const PGresult* result) const;
    BackendError lostConnection() const;
    std::string nextStatementName() { return "zkv_" + std::to_string(++statementCount_); }
    PGconn* connection() const { return conn_; }
    // Reads what the running command still sends, keeping nothing.
    void discardResults();
    // Reads the rest of a pipeline up to its sync point and leaves
    // pipeline mode.
    void endPipeline();
    // Fills table, schema and column names of columns read from a table;
    // the catalog is asked once per table (until DDL runs here).
    bool nameTableColumns(std::vector<PgColumn>& columns, BackendError& err);
    void forgetTables() { tables_.clear(); }

private:
    static void noticeReceiver(void* self, const PGresult* result);
    bool waitForInput(BackendError& err);
    bool waitOnce(bool sending, BackendError& err);
    void requestCancel();
    bool cancelDelivered() const;
    void awaitCancelSent();
    BackendError giveUp();
    bool runSimple(const char* sql, BackendError& err);
    bool loadTables(const std::vector<Oid>& oids, BackendError& err);
    // Queues the server statement for DEALLOCATE once nothing holds it
    // (mutex_ held).
    void release(std::shared_ptr<PgPrepared>& statement);

    struct Table {
        std::string name;
        std::string schema;
        std::map<int, std::string> columns;  // attribute number -> name
    };
    std::map<Oid, Table> tables_;

    PGconn* conn_;
    std::atomic<bool> interrupted_{false};
    bool cancelSent_ = false;
    int64_t cancelSentAt_ = 0;  // the first request of the running call
    int64_t lastCancelAt_ = 0;
    // Ready once the cancel request has reached the server (or failed): a
    // request still on its way could cancel the next command instead.
    std::future<void> cancelDelivery_;
    // Set when a call gave up on a server that did not answer its cancel;
    // every later call fails at once.
    bool broken_ = false;
    // Why we cancelled. Kept for the rest of the call, whose later commands
    // (the rows of a pipeline) may be the ones the cancel lands on, and past
    // it while a command is still running: its error may be read by a later
    // call, e.g. the next fetch of a result.
    enum class CancelCause { None, Interrupt, TimeOut };
    CancelCause cancelCause_ = CancelCause::None;
    bool atomicTransaction_ = false;  // the running batch began the transaction
    bool schemaChangedInTransaction_ = false;
    int isolation_ = -1;
    bool isolationUnsettled_ = false;  // set inside a transaction a rollback may undo
    std::atomic<int64_t> deadline_{0};
    std::atomic<CallHooks*> hooks_{nullptr};
    int64_t callStart_ = 0;
    uint64_t statementCount_ = 0;

    std::mutex mutex_;  // guards the members below and every PgPrepared pointer
    PgCursor* streaming_ = nullptr;
    bool discardPending_ = false;
    std::vector<std::string> deallocate_;
    using CacheOrder = std::list<std::pair<std::string, std::shared_ptr<PgPrepared>>>;
    CacheOrder cacheOrder_;  // most recently used first
    std::unordered_map<std::string, CacheOrder::iterator> cacheIndex_;
};

struct PgColumn {
    std::string name;
    Oid type = 0;
    int typmod = -1;
    Oid table = InvalidOid;  // the table the column is read from, if any
    int tableColumn = 0;
    std::string tableName;
    std::string schemaName;
    std::string tableColumnName;
};

// A named statement on the server and what describing it told.
struct PgPrepared {
    std::string name;
    std::vector<Oid> paramTypes;
    std::vector<PgColumn> columns;
    int32_t functionCode = DBCAPI_FUNCTION_OTHER;
    bool gone = false;  // removed on the server by the session's own SQL (mutex_ held)
};

// The values of one row of a result (row 0 of a single-row result).
class PgRow : public ValueSource {
public:
    PgRow() = default;
    PgRow(const PgRow&) = delete;
    PgRow& operator=(const PgRow&) = delete;
    void reset(PGresult* result);
    // Takes other's row; index i then reads column (*columnMap)[i].
    void adopt(PgRow& other, const std::vector<int>* columnMap);
    ~PgRow() override { reset(nullptr); }
    bool empty() const { return result_ == nullptr; }
    ValueKind kind(int index) const override;
    int64_t int64At(int index) const override;
    double doubleAt(int index) const override;
    const char* textAt(int index, size_t& length) const override;
    const void* blobAt(int index, size_t& length) const override;
    int64_t memory() const;

private:
    int column(int index) const;
    PGresult* result_ = nullptr;
    const std::vector<int>* columnMap_ = nullptr;  // index -> column, -1 none
    mutable std::vector<std::string> bytes_;
    mutable std::vector<char> decoded_;
};

class PgCursor : public BackendCursor {
public:
    enum class Mode { Plain, SetSchema, Call };

    PgCursor(std::shared_ptr<PgSession> session, PgStatementText text, Mode mode);
    ~PgCursor() override;
    bool prepareOnServer(const std::string& schemaName, BackendError& err);

    const std::string& sql() const override { return text_.sql; }
    int32_t functionCode() const override { return functionCode_; }
    int paramCount() const override { return static_cast<int>(directions_.size()); }
    const char* paramName(int index) const override;
    bool bindNull(int index, BackendError& err) override;
    bool bindInt64(int index, int64_t value, BackendError& err) override;
    bool bindDouble(int index, double value, BackendError& err) override;
    bool bindText(int index, const char* data, size_t length, bool copy, BackendError& err) override;
    bool bindBlob(int index, const void* data, size_t length, bool copy, BackendError& err) override;
    void clearBindings() override;
    void reset() override;
    StepResult step(BackendError& err) override;
    int64_t changes() const override { return changes_; }
    int columnCount() const override { return mode_ == Mode::Plain ? static_cast<int>(columns_.size()) : 0; }
    ColumnOrigin columnOrigin(int index) const override;
    ValueKind kind(int index) const override { return row_.kind(index); }
    int64_t int64At(int index) const override { return row_.int64At(index); }
    double doubleAt(int index) const override { return row_.doubleAt(index); }
    const char* textAt(int index, size_t& length) const override { return row_.textAt(index, length); }
    const void* blobAt(int index, size_t& length) const override { return row_.blobAt(index, length); }
    int64_t memoryUsed() const override { return row_.memory(); }
    ParamDirection paramDirection(int index) const override;
    ExactType paramType(int index) const override;
    const ValueSource* outputs() const override;
    bool executeRows(uint32_t rows, const RowBinder& bindRow, std::vector<int32_t>& status, uint32_t& failedRow,
                     BackendError& err) override;

    // Takes the rest of the running result into memory (session lock held).
    void drain();

private:
    bool takeCached();
    void sizeBindings();
    bool prepareAndDescribe(const std::string& sql, BackendError& err);
    bool prepareThenDescribeMany(const std::string& sql, BackendError& err);
    void readDescription(const PGresult* described, bool withParams);
    bool describe(const std::string& statement, bool withParams, BackendError& err);
    bool replan(BackendError& err);
    bool describeMany(BackendError& err);
    bool send(BackendError& err);
    bool sendBound(BackendError& err);
    bool runChunk(uint32_t first, uint32_t end, const RowBinder& bindRow, std::vector<int32_t>& status,
                  uint32_t& failedRow, BackendError& err);
    bool readChunk(uint32_t first, uint32_t end, std::vector<int32_t>& status, uint32_t& failedRow,
                   BackendError& err);
    StepResult readNext(BackendError& err);
    StepResult finish(PGresult* last, BackendError& err);
    bool lookUpDirections(BackendError& err);
    void applyDirections(const std::string& modes, const std::vector<std::string>& signatureNames);
    bool checkIndex(int index, BackendError& err) const;
    bool sendFailed(BackendError& err) const;

    std::shared_ptr<PgSession> session_;
    PgStatementText text_;
    Mode mode_;
    int32_t functionCode_ = DBCAPI_FUNCTION_OTHER;
    std::shared_ptr<PgPrepared> statement_;
    bool cacheable_ = false;
    uint64_t executions_ = 0;
    std::string schemaName_;
    std::vector<Oid> paramTypes_;
    std::vector<ParamDirection> directions_;
    std::vector<int> outputColumn_;  // parameter -> column of the CALL's row, -1 none
    std::vector<PgColumn> columns_;
    std::vector<std::string> values_;
    std::vector<char> nulls_;
    std::vector<int> formats_;

    enum class Phase { Idle, Streaming, Drained, Finished };
    Phase phase_ = Phase::Idle;
    std::deque<PGresult*> buffered_;  // rows kept by drain()
    bool endFailed_ = false;
    BackendError endError_;
    int64_t changes_ = 0;
    bool schemaFound_ = false;
    PgRow row_;
    PgRow outputRow_;
};

}  // namespace zkv

#endif
