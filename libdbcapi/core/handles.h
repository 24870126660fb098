// The objects behind the opaque dbcapi handles, shared by the entry-point
// files of the library. core/ also holds the backend seam (backend.h),
// values, errors and SQL text.
#ifndef ZKV_HANDLES_H
#define ZKV_HANDLES_H

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "errors.h"
#include "export.h"
#include "values.h"

namespace zkv {

// Counts the live objects of one kind, for the test-only zkv_debug_live_counts.
template <int Kind>
struct LiveCount {
    static std::atomic<int>& value() {
        static std::atomic<int> count{0};
        return count;
    }
    LiveCount() { value()++; }
    LiveCount(const LiveCount&) : LiveCount() {}
    ~LiveCount() { value()--; }
};

}  // namespace zkv

struct dbcapi_connection {
    zkv::LiveCount<0> live;
    zkv::ErrorState error;
    std::map<std::string, std::string> properties;  // names lower-cased
    std::shared_ptr<zkv::BackendSession> session;
    std::mutex sessionMutex;  // session pointer against a concurrent abort
    bool external = false;
    bool autocommit = true;
    uint32_t isolation = 1;
    bool isolationSet = false;  // else the session keeps the server's default
    std::map<std::string, std::string> clientInfo;
    bool traceOn = false;
    std::string trace;
    dbcapi_warning_callback warningCallback = nullptr;
    void* warningContext = nullptr;
};

namespace zkv {

// One statement of an SQL text, with its result once executed.
struct StatementPart {
    std::unique_ptr<BackendCursor> cursor;
    std::vector<ColumnMeta> columns;
    bool described = false;  // columns holds the per-cursor metadata
    int64_t affected = 0;
    bool pendingRow = false;  // stepped by execute, not handed out yet
    bool onRow = false;       // the cursor stands on a row the caller fetched
    bool done = false;
    int64_t rowsFetched = 0;
};

struct ParamSlot {
    bool bound = false;
    dbcapi_bind_data data{};
    bool atExec = false;
    bool finished = false;
    std::string streamed;  // data-at-exec chunks, appended in call order
};

struct ColumnScratch {
    Scratch number{};
    size_t length = 0;
    dbcapi_bool isNull = 0;
};

// A fetched value that did not fit its bound slot, kept for dbcapi_get_column.
struct AsideValue {
    uint32_t row = 0;
    size_t col = 0;
    dbcapi_data_type type = DBCAPI_STRING;
    std::string bytes;
    size_t length = 0;
    dbcapi_bool isNull = 0;
};

struct Stats {
    int64_t cpuMicros = 0;
    int64_t wallMicros = 0;

    // Records the memory of cursor now, or, when the cursor measures on
    // demand, remembers the cursor until memory() is asked for. The cursor
    // must outlive the record or be settled before it goes.
    void noteMemory(const BackendCursor& cursor) {
        memorySource_ = cursor.measuresOnDemand() ? &cursor : nullptr;
        if (!memorySource_) memory_ = cursor.memoryUsed();
    }
    int64_t memory() const { return memorySource_ ? memorySource_->memoryUsed() : memory_; }
    // Measures now if cursor is the one measured on demand.
    void settleMemory(const BackendCursor& cursor) {
        if (memorySource_ != &cursor) return;
        memory_ = cursor.memoryUsed();
        memorySource_ = nullptr;
    }

private:
    int64_t memory_ = 0;
    const BackendCursor* memorySource_ = nullptr;
};

}  // namespace zkv

struct dbcapi_stmt {
    zkv::LiveCount<1> live;
    dbcapi_connection* conn = nullptr;
    std::string sql;
    std::vector<std::unique_ptr<zkv::StatementPart>> parts;
    size_t current = 0;
    size_t tailOffset = 0;  // start of the statements not prepared yet
    size_t firstTail = 0;   // end of the first statement in sql
    bool executed = false;
    int32_t functionCode = 0;

    std::vector<zkv::ParamSlot> params;
    std::vector<std::string> paramNames;  // without their marker character
    bool awaitingData = false;
    uint32_t batchSize = 1;
    bool batchExecuted = false;
    size_t paramRowSize = 0;
    std::vector<int32_t> rowStatus;

    uint32_t rowsetSize = 1;
    uint32_t columnRowSize = 0;
    std::vector<dbcapi_data_value> boundColumns;
    std::vector<char> columnIsBound;
    bool anyBound = false;
    int32_t fetchedRows = 0;
    uint32_t rowsetPos = 0;
    std::vector<zkv::ColumnScratch> scratch;
    std::vector<zkv::AsideValue> aside;  // of the current row set

    int32_t timeoutSeconds = 0;
    int32_t packetSize = 131072;
    std::list<std::string> printLines;  // a list: an empty deque still allocates
    zkv::Stats execStats;
    zkv::Stats fetchStats;
};

namespace zkv {

// Library registry of live connection handles (library.cpp).
void registerConnection(dbcapi_connection* conn);
void unregisterConnection(dbcapi_connection* conn);
bool isLiveConnection(dbcapi_connection* conn);
bool interruptConnection(dbcapi_connection* conn);

// Runs for the duration of one call on a connection: clears its error,
// arms timeout and hooks, and routes warnings and print lines. The clock is
// read once here for the deadline, the CPU time and the call's wall time.
class CallScope : public CallHooks {
public:
    CallScope(dbcapi_connection* conn, dbcapi_stmt* stmt, int32_t timeoutSeconds = 0);
    ~CallScope() override;
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    void onWarning(int32_t code, const char* sqlstate, const char* message) override;
    void onPrintLine(const char* text, size_t length) override;
    // Steady-clock nanoseconds as the call began (0 without a session).
    int64_t startNs() const { return startNs_; }

private:
    dbcapi_connection* conn_;
    dbcapi_stmt* stmt_;
    int64_t startNs_ = 0;
};

bool requireSession(dbcapi_connection* conn);
// With auto-commit off, opens the transaction the next statement runs in.
bool openImplicitTransaction(dbcapi_connection* conn, int32_t functionCode);

// statement.cpp
bool executeStatement(dbcapi_stmt* stmt);
// Binds row 0 of the parameters and runs the text from its first statement.
bool runFirstStatement(dbcapi_stmt* stmt);
StatementPart* currentPart(dbcapi_stmt* stmt);
// Runs the statements after the last result, up to one that returns rows.
bool runStatementsAfter(dbcapi_stmt* stmt);
void describePart(dbcapi_stmt* stmt, StatementPart& part);

// binding.cpp
bool bindParamsForRow(dbcapi_stmt* stmt, BackendCursor& cursor, uint32_t row, bool copy, BackendError& err);
bool hasDataAtExec(const dbcapi_stmt* stmt);
bool executeBatch(dbcapi_stmt* stmt);
// After an execute: output parameter values into their bound buffers.
bool storeOutputParams(dbcapi_stmt* stmt);
// The bytes of output parameter index (text or binary), null when null.
bool outputBytes(dbcapi_stmt* stmt, uint32_t index, const char*& data, size_t& length);
void resetParamData(dbcapi_stmt* stmt);

// fetch.cpp
void resetFetchState(dbcapi_stmt* stmt);
bool fetchNext(dbcapi_stmt* stmt);

// trace.cpp
void traceStatement(dbcapi_connection* conn, const std::string& sql, int64_t micros);
int64_t steadyNanos();

}  // namespace zkv

#endif
