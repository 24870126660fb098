// Statement: one prepared client-library statement handle, executed singly,
// in batches or as a result set, with parameter data streamed after an
// execution.
#ifndef ZELK_STATEMENT_H
#define ZELK_STATEMENT_H

#include <napi.h>
#include <stdint.h>
#include <uv.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dbcapi/dbcapi.h"
#include "error_info.h"
#include "execute_baton.h"

class BatchReader;
class Connection;
class ConnectionLock;
class ResultSet;
struct ExecuteBaton;
struct ExecuteBatchBaton;
struct FetchReuse;

class Statement : public Napi::ObjectWrap<Statement> {
public:
    static void Init(Napi::Env env, Napi::Object exports);
    // Creates the object and runs the statement hook; empty when
    // construction threw. Only the script holds the object until it is
    // dropped, so an unreferenced statement is collected.
    static Napi::Value NewInstance(Napi::Value arg);

    explicit Statement(const Napi::CallbackInfo& info);
    ~Statement() override;

    const ErrorInfo& constructionError() const { return errorInfo; }
    // Hands a freshly prepared handle to the statement (prepare completion).
    void adopt(const std::string& sqlText, dbcapi_stmt* handle, const std::vector<dbcapi_bind_param_info>& infos);

    // Object graph (JavaScript thread, except _drop: work, connection lock held).
    void addResultSet(ResultSet* resultSet);
    void removeResultSet(ResultSet* resultSet);
    void release();
    void _setDropping();
    void _drop();
    // Lets go of the connection (no reference change); a live handle goes
    // to the connection's orphans.
    void forgetConnection();
    // A result set being finalized leaves the list; columns it bound are
    // unbound, under the connection lock, before their memory goes.
    void forgetResultSet(ResultSet* resultSet);

    // Counts work items that use the handle; drop waits for none.
    void beginActivity();
    void endActivity();

    dbcapi_stmt* handle() const { return stmt; }
    bool isUsable() const { return stmt != nullptr && !dropped && !dropping; }

    Connection* connection = nullptr;

private:
    // Methods (statement.cpp).
    Napi::Value isValid(const Napi::CallbackInfo& info);
    Napi::Value execInternal(const Napi::CallbackInfo& info);
    Napi::Value execQuery(const Napi::CallbackInfo& info);
    Napi::Value execBatch(const Napi::CallbackInfo& info);
    Napi::Value runBatch(const Napi::CallbackInfo& info, int callbackIndex);
    Napi::Value drop(const Napi::CallbackInfo& info);

    // Synchronous getters (statement_info.cpp).
    Napi::Value getParameterInfo(const Napi::CallbackInfo& info);
    Napi::Value getParameterLength(const Napi::CallbackInfo& info);
    Napi::Value isParameterNull(const Napi::CallbackInfo& info);
    Napi::Value functionCode(const Napi::CallbackInfo& info);
    Napi::Value getColumnInfo(const Napi::CallbackInfo& info);
    Napi::Value getPrintLines(const Napi::CallbackInfo& info);
    Napi::Value getRowStatus(const Napi::CallbackInfo& info);
    Napi::Value getServerCPUTime(const Napi::CallbackInfo& info);
    Napi::Value getServerMemoryUsage(const Napi::CallbackInfo& info);
    Napi::Value getServerProcessingTime(const Napi::CallbackInfo& info);
    Napi::Value setPacketSize(const Napi::CallbackInfo& info);
    Napi::Value getPacketSize(const Napi::CallbackInfo& info);
    Napi::Value getStatementHash(const Napi::CallbackInfo& info);
    Napi::Value setTimeout(const Napi::CallbackInfo& info);

    // Parameter data (statement_data.cpp).
    Napi::Value sendParameterData(const Napi::CallbackInfo& info);
    Napi::Value getParameterValue(const Napi::CallbackInfo& info);
    Napi::Value getData(const Napi::CallbackInfo& info);

    // Work and after-functions.
    void executeWork(ErrorInfo& error, void* baton);
    Napi::Value executeAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void executeQueryWork(ErrorInfo& error, void* baton);
    Napi::Value executeQueryAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void executeBatchWork(ErrorInfo& error, void* baton);
    Napi::Value executeBatchAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void dropWork(ErrorInfo& error, void* baton);
    Napi::Value dropAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void sendParameterDataWork(ErrorInfo& error, void* baton);
    Napi::Value sendParameterDataAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void getParamValueWork(ErrorInfo& error, void* baton);
    Napi::Value getParamValueAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void getParamDataWork(ErrorInfo& error, void* baton);
    Napi::Value getParamDataAfter(ErrorInfo& error, void* baton, Napi::Env env);

    // Checks and helpers.
    bool checkStatement(const Napi::CallbackInfo& info, int callbackIndex);
    // A work function's preamble under lock: connected and not dropped.
    bool requireHandle(const ConnectionLock& lock, ErrorInfo& error) const;
    bool checkParameterIndex(const Napi::CallbackInfo& info, int& index);
    bool checkHandle(const Napi::CallbackInfo& info);
    template <typename R>
    Napi::Value handleNumber(const Napi::CallbackInfo& info, R (*read)(dbcapi_stmt*));
    void clearConnectionWarnings();
    ResultSet* pinNewestResultSet();
    dbcapi_stmt* parameterHandle(ResultSet* resultSet) const;
    bool checkBatchRows(const Napi::CallbackInfo& info, int callbackIndex, BatchReader& reader);
    bool bindBatchColumns(dbcapi_connection* conn, ExecuteBatchBaton& baton, ErrorInfo& error);
    bool getNamedOrPositional(const Napi::Value& params, std::vector<dbcapi_bind_data*>& out, ErrorInfo& error);
    void afterCommon(Napi::Env env);
    void resetChunkTickets();
    bool waitForChunkTurn(int32_t ticket, ErrorInfo& error);
    void finishChunk(bool failed, const ErrorInfo& error);
    ResultSet* newestResultSet() const;
    void keepBaton(ExecuteBaton* baton);

    ErrorInfo errorInfo;
    // Changed on the JavaScript thread, walked by _drop on a worker.
    std::list<ResultSet*> resultSets;
    std::mutex resultSetsMutex;
    dbcapi_stmt* stmt = nullptr;
    std::vector<dbcapi_bind_data*> params;
    ExecuteBaton* keptBaton = nullptr;
    SpareBaton spareBaton;
    std::unique_ptr<FetchReuse> fetchReuse;  // work functions only, under the connection lock
    std::string sql;
    std::vector<dbcapi_bind_param_info> paramInfos;
    bool dropped = false;
    bool heldByConnection = false;  // the reference taken by _setDropping
    bool countsFootprint = false;   // the handle's memory is reported to the collector
    bool dropping = false;
    std::vector<bool> paramDataSent;
    uv_mutex_t chunkMutex;
    bool chunkMutexInitialised = false;
    uv_cond_t chunkCondition;
    bool chunkConditionInitialised = false;
    int32_t nextChunkTicket = 0;
    int32_t currentChunkTicket = -1;
    bool chunkFailed = false;  // a chunk found the connection gone; later ones fail alike
    ErrorInfo chunkError;
    int32_t batchRowCount = -1;
    uv_mutex_t activeMutex;
    bool activeMutexInitialised = false;
    uv_cond_t idleCondition;
    bool idleConditionInitialised = false;
    uint64_t activeCount = 0;
};

// Held by every work function that uses the handle; ends the activity that
// the method began before queueing.
class StatementThread {
public:
    explicit StatementThread(Statement* statement) : statement_(statement) {}
    ~StatementThread() { statement_->endActivity(); }
    StatementThread(const StatementThread&) = delete;
    StatementThread& operator=(const StatementThread&) = delete;

private:
    Statement* statement_;
};

#endif
