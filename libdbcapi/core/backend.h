// The seam between the dbcapi entry points and a database engine. The entry
// points only talk to BackendSession / BackendCursor, so another engine (a
// server backend) can be added without touching the module or the C layer.
#ifndef ZKV_BACKEND_H
#define ZKV_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dbcapi/dbcapi.h"

namespace zkv {

struct BackendError {
    int32_t code = 0;
    std::string sqlstate;
    std::string message;
};

enum class ValueKind { Null, Integer, Real, Text, Blob };
enum class StepResult { Row, Done, Error };

// Callbacks a session makes into the call that is running on it (warnings
// and print lines raised from SQL).
class CallHooks {
public:
    virtual ~CallHooks() = default;
    virtual void onWarning(int32_t code, const char* sqlstate, const char* message) = 0;
    virtual void onPrintLine(const char* text, size_t length) = 0;
};

// A type the server states exactly (codes of dbcapi.h); when known it
// takes precedence over the declared type name.
struct ExactType {
    bool known = false;
    int nativeType = 0;
    int dataType = 0;
    size_t maxSize = 0;
    uint16_t precision = 0;
    uint16_t scale = 0;
};

struct ColumnOrigin {
    const char* name = nullptr;        // name as the result shows it
    const char* columnName = nullptr;  // name in its table, or the name above
    const char* tableName = nullptr;
    const char* ownerName = nullptr;   // schema (database) name
    const char* declaredType = nullptr;
    bool nullable = true;
    ExactType exact;
};

// Values of one row, addressed by index.
class ValueSource {
public:
    virtual ~ValueSource() = default;
    virtual ValueKind kind(int index) const = 0;
    virtual int64_t int64At(int index) const = 0;
    virtual double doubleAt(int index) const = 0;
    virtual const char* textAt(int index, size_t& length) const = 0;
    virtual const void* blobAt(int index, size_t& length) const = 0;
};

// What the entry points derived from a cursor's columns, kept with a cached
// statement so that a cursor over it need not derive it again.
struct ColumnMemo {
    virtual ~ColumnMemo() = default;
};

// Parameter directions use the codes of dbcapi_data_direction.
enum ParamDirection { kParamInput = 1, kParamOutput = 2, kParamInputOutput = 3 };

class BackendCursor : public ValueSource {
public:
    virtual const std::string& sql() const = 0;
    virtual int32_t functionCode() const = 0;
    virtual int paramCount() const = 0;
    virtual const char* paramName(int index) const = 0;  // with marker, or null
    virtual bool bindNull(int index, BackendError& err) = 0;
    virtual bool bindInt64(int index, int64_t value, BackendError& err) = 0;
    virtual bool bindDouble(int index, double value, BackendError& err) = 0;
    // Static binds require the bytes to outlive the next reset.
    virtual bool bindText(int index, const char* data, size_t length, bool copy, BackendError& err) = 0;
    virtual bool bindBlob(int index, const void* data, size_t length, bool copy, BackendError& err) = 0;
    virtual void clearBindings() = 0;
    virtual void reset() = 0;
    virtual StepResult step(BackendError& err) = 0;
    virtual int64_t changes() const = 0;
    virtual int columnCount() const = 0;
    virtual ColumnOrigin columnOrigin(int index) const = 0;
    virtual int64_t memoryUsed() const = 0;
    // True when measuring is costly enough to be done only when asked for;
    // the cursor must then still measure sensibly after later steps.
    virtual bool measuresOnDemand() const { return false; }
    // The memo kept for these columns, or null; none once the statement
    // has been prepared again (after a schema change) since it was kept.
    virtual std::shared_ptr<const ColumnMemo> columnMemo() const { return nullptr; }
    virtual void keepColumnMemo(std::shared_ptr<const ColumnMemo> memo) {}
    // Parameter descriptions and output values; the defaults describe
    // untyped input parameters (the embedded backend).
    virtual ParamDirection paramDirection(int index) const { return kParamInput; }
    virtual ExactType paramType(int index) const { return ExactType(); }
    // Values of the output parameters after an execute, by parameter index;
    // null when the statement has none.
    virtual const ValueSource* outputs() const { return nullptr; }
    // Executes once per row, bindRow binding that row's values; status[row]
    // gets the rows each execute changed. On failure failedRow is the row
    // that failed. The default runs the rows one after the other.
    using RowBinder = std::function<bool(uint32_t row, BackendError& err)>;
    virtual bool executeRows(uint32_t rows, const RowBinder& bindRow, std::vector<int32_t>& status,
                             uint32_t& failedRow, BackendError& err);
};

class BackendSession {
public:
    virtual ~BackendSession() = default;
    // Prepares the first statement of sql; consumed receives the bytes used.
    // Returns null without error when only blanks or comments remain.
    virtual std::unique_ptr<BackendCursor> prepare(const char* sql, size_t length, size_t& consumed,
                                                   BackendError& err) = 0;
    virtual bool execute(const char* sql, BackendError& err) = 0;
    virtual bool inTransaction() const = 0;
    // Thread-safe: may be called while another thread runs a statement.
    virtual void interrupt() = 0;
    // Called before each call: forgets an old interrupt, arms a deadline
    // (steady-clock nanoseconds, 0 for none) and the hooks of this call.
    // startNs: the steady clock as the call began, read once by the caller.
    virtual void beginCall(int64_t startNs, int64_t deadlineNs, CallHooks* hooks) = 0;
    virtual void endCall() = 0;
    // CPU microseconds the current call has used so far. Reading the thread
    // CPU clock is a system call, so it is read only once a call has run
    // 1000 virtual-machine steps; shorter calls count their wall time up to
    // nowNs, the steady clock the caller has just read.
    virtual int64_t callCpuMicros(int64_t nowNs) const = 0;
    // Runs a batch as one unit: a savepoint inside a transaction, else a
    // transaction of its own.
    virtual bool beginAtomic(BackendError& err) = 0;
    virtual bool endAtomic(bool commit, BackendError& err) = 0;
    // Client information the session forwards to the server, if it can.
    virtual void setClientInfo(const std::string& key, const std::string& value) {}
    // Isolation level of the transactions to come (0 read uncommitted to 3
    // serializable); the embedded backend is always serializable.
    virtual bool setIsolationLevel(int level, BackendError& err) { return true; }
};

struct SessionOptions {
    std::string databaseFile;  // empty: private in-memory database
    std::string currentSchema;  // empty: main
    bool readOnly = false;
    bool fileMustExist = false;  // else a missing file is created
    size_t statementCacheSize = 64;  // idle prepared statements kept; 0: none
};

std::shared_ptr<BackendSession> openSqliteSession(const SessionOptions& options, BackendError& err);
// properties: the connection's properties, names lower-cased;
// isolationLevel: as for setIsolationLevel, -1 keeps the server's default.
std::shared_ptr<BackendSession> openPgSession(const std::map<std::string, std::string>& properties,
                                              const std::map<std::string, std::string>& clientInfo,
                                              int isolationLevel, BackendError& err);

}  // namespace zkv

#endif
