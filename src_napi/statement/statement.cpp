#include "statement.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <new>

#include "async_worker.h"
#include "batch_rows.h"
#include "bind_execute.h"
#include "binding.h"
#include "connection.h"
#include "db_values.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "environment.h"
#include "uv_lock.h"
#include "execute_baton.h"
#include "resultset.h"

namespace {

// What a prepared handle costs the client library, told to the garbage
// collector so that unreferenced statements are collected before that
// memory piles up.
const int64_t kHandleFootprint = 16 * 1024;

const char* const kExecInternalMessage =
    "Invalid parameter for function 'exec[ute]([params][, options][, callback])'";
const char* const kExecQuerySignature = "exec[ute]Query([params][, callback])";
const char* const kExecBatchSignature = "exec[ute]Batch([params][, callback])";
const char* const kResultSetOpenMessage =
    "There is already an open ResultSet associated with this Statement which must be closed first.";

struct ExecuteQueryBaton {
    bool hasParams = false;
    std::vector<dbcapi_bind_data*> inputValues;
    std::vector<dbcapi_bind_data*> bindParams;
    std::vector<dbcapi_column_info*> columnInfos;

    ~ExecuteQueryBaton() {
        clearParameters(inputValues);
        clearParameters(bindParams);
        freeColumnInfos(columnInfos);
    }
};

bool isBatchRows(const Napi::Value& params) {
    if (!params.IsArray()) {
        return false;
    }
    Napi::Array rows = params.As<Napi::Array>();
    if (rows.Length() == 0) {
        return false;
    }
    for (uint32_t i = 0; i < rows.Length(); i++) {
        if (!rows.Get(i).IsArray()) {
            return false;
        }
    }
    return true;
}

}  // namespace

struct ExecuteBatchBaton {
    std::vector<BatchColumn> columns;
    int affectedRows = -1;
    int rowCount = 0;
    int columnCount = 0;
};

void Statement::Init(Napi::Env env, Napi::Object exports) {
    Napi::Function cls = DefineClass(
        env, "Statement",
        {InstanceMethod("isValid", &Statement::isValid),
         InstanceMethod("execInternal", &Statement::execInternal),
         InstanceMethod("execQuery", &Statement::execQuery),
         InstanceMethod("executeQuery", &Statement::execQuery),
         InstanceMethod("execBatch", &Statement::execBatch),
         InstanceMethod("executeBatch", &Statement::execBatch),
         InstanceMethod("drop", &Statement::drop),
         InstanceMethod("getParameterInfo", &Statement::getParameterInfo),
         InstanceMethod("getParameterLength", &Statement::getParameterLength),
         InstanceMethod("getParameterValue", &Statement::getParameterValue),
         InstanceMethod("sendParameterData", &Statement::sendParameterData),
         InstanceMethod("isParameterNull", &Statement::isParameterNull),
         InstanceMethod("getData", &Statement::getData),
         InstanceMethod("functionCode", &Statement::functionCode),
         InstanceMethod("getColumnInfo", &Statement::getColumnInfo),
         InstanceMethod("getPrintLines", &Statement::getPrintLines),
         InstanceMethod("getRowStatus", &Statement::getRowStatus),
         InstanceMethod("getServerCPUTime", &Statement::getServerCPUTime),
         InstanceMethod("getServerMemoryUsage", &Statement::getServerMemoryUsage),
         InstanceMethod("getServerProcessingTime", &Statement::getServerProcessingTime),
         InstanceMethod("setPacketSize", &Statement::setPacketSize),
         InstanceMethod("getPacketSize", &Statement::getPacketSize),
         InstanceMethod("getStatementHash", &Statement::getStatementHash),
         InstanceMethod("setTimeout", &Statement::setTimeout)});
    moduleEnvironment(env).statementClass = Napi::Persistent(cls);
    exports.Set("Statement", cls);
}

Napi::Value Statement::NewInstance(Napi::Value arg) {
    Napi::Env env = arg.Env();
    Napi::EscapableHandleScope scope(env);
    ModuleEnvironment& state = moduleEnvironment(env);
    Napi::Object object = state.statementClass.New({arg});
    if (env.IsExceptionPending() || object.IsEmpty()) {
        return Napi::Value();
    }
    if (!state.addStatementMethods.IsEmpty()) {
        state.addStatementMethods.Call({object});
        if (env.IsExceptionPending()) {
            return Napi::Value();
        }
    }
    return scope.Escape(object);
}

Statement::Statement(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<Statement>(info), fetchReuse(new FetchReuse) {
    if (!mutexInit(&chunkMutex, &errorInfo, &chunkMutexInitialised) ||
        !condInit(&chunkCondition, &errorInfo, &chunkConditionInitialised) ||
        !mutexInit(&activeMutex, &errorInfo, &activeMutexInitialised)) {
        return;
    }
    condInit(&idleCondition, &errorInfo, &idleConditionInitialised);
}

// A collected statement's handle is freed by the next work of its
// connection, under the connection lock, so collection never waits for the
// client library.
Statement::~Statement() {
    clearParameters(params);
    delete keptBaton;
    if (chunkMutexInitialised) {
        uv_mutex_destroy(&chunkMutex);
    }
    if (chunkConditionInitialised) {
        uv_cond_destroy(&chunkCondition);
    }
    if (activeMutexInitialised) {
        uv_mutex_destroy(&activeMutex);
    }
    if (idleConditionInitialised) {
        uv_cond_destroy(&idleCondition);
    }
    // Result sets hold their statement, so any left are being finalized
    // with it as their environment ends.
    for (ResultSet* resultSet : resultSets) {
        resultSet->statement = nullptr;
    }
    if (connection != nullptr) {
        Connection* owner = connection;
        owner->forgetStatement(this);
        owner->Unref();
    } else if (!dropped && stmt != nullptr) {
        g_api.dbcapi_free_stmt(stmt);
    }
    stmt = nullptr;
    if (countsFootprint) {
        Napi::MemoryManagement::AdjustExternalMemory(Env(), -kHandleFootprint);
    }
    if (zelk_stopped_all_work()) {
        SuppressDestruct();
    }
}

void Statement::adopt(const std::string& sqlText, dbcapi_stmt* handle,
                      const std::vector<dbcapi_bind_param_info>& infos) {
    sql = sqlText;
    stmt = handle;
    paramInfos = infos;
    Napi::MemoryManagement::AdjustExternalMemory(Env(), kHandleFootprint);
    countsFootprint = true;
}

void Statement::addResultSet(ResultSet* resultSet) {
    if (resultSet->statement != nullptr) {
        resultSet->statement->Unref();
    }
    resultSet->statement = this;
    Ref();
    std::lock_guard<std::mutex> guard(resultSetsMutex);
    resultSets.push_back(resultSet);
}

void Statement::removeResultSet(ResultSet* resultSet) {
    std::lock_guard<std::mutex> guard(resultSetsMutex);
    resultSets.remove(resultSet);
}

void Statement::forgetResultSet(ResultSet* resultSet) {
    std::lock_guard<std::mutex> guard(resultSetsMutex);
    resultSets.remove(resultSet);
    resultSet->statement = nullptr;
    if (!resultSet->bound || resultSet->closed || resultSet->stmt == nullptr || connection == nullptr) {
        return;
    }
    dbcapi_stmt* handle = resultSet->stmt;
    auto values = std::make_shared<DataValueCollection>(std::move(resultSet->boundValues));
    connection->addOrphanedWork([handle, values] { g_api.dbcapi_clear_column_bindings(handle); });
}

void Statement::release() {
    for (ResultSet* resultSet : resultSets) {
        if (resultSet->statement != nullptr) {
            resultSet->statement->Unref();
            resultSet->statement = nullptr;
        }
        if (resultSet->heldByStatement) {
            resultSet->heldByStatement = false;
            resultSet->Unref();
        }
    }
    resultSets.clear();
    delete keptBaton;
    keptBaton = nullptr;
    if (connection != nullptr) {
        connection->Unref();
        connection = nullptr;
    }
    if (heldByConnection) {
        heldByConnection = false;
        Unref();
    }
}

// Until now only the script and calls in flight held the statement; from
// here its connection does too, until release. A statement already
// collected, whose finalizer has not run yet, cannot be held any more.
void Statement::_setDropping() {
    if (dropping) {
        return;
    }
    heldByConnection = Ref() > 0;
    dropping = true;
    for (ResultSet* resultSet : resultSets) {
        resultSet->_setClosing();
    }
}

// Unbinding left by collected result sets must reach the handle before it
// is freed.
void Statement::_drop() {
    if (dropped) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(resultSetsMutex);
        if (connection != nullptr) {
            connection->freeOrphanedHandles();
        }
        for (ResultSet* resultSet : resultSets) {
            resultSet->_close();
        }
    }
    dropped = true;
    if (stmt != nullptr) {
        g_api.dbcapi_free_stmt(stmt);
        stmt = nullptr;
    }
}

void Statement::forgetConnection() {
    if (!dropped && stmt != nullptr) {
        connection->orphanStatementHandle(stmt);
        stmt = nullptr;
    }
    connection = nullptr;
}

void Statement::beginActivity() {
    UvLock lock(&activeMutex);
    activeCount++;
}

void Statement::endActivity() {
    UvLock lock(&activeMutex);
    if (activeCount > 0 && --activeCount == 0) {
        uv_cond_broadcast(&idleCondition);
    }
}

void Statement::afterCommon(Napi::Env env) {
    if (connection != nullptr) {
        connection->doTraceCallback(env);
    }
}

bool Statement::requireHandle(const ConnectionLock& lock, ErrorInfo& error) const {
    if (!lock.requireValid(error)) {
        return false;
    }
    if (stmt == nullptr) {
        getErrorMsg(JS_ERR_STATEMENT_DROPPED, error);
        return false;
    }
    return true;
}

bool Statement::checkStatement(const Napi::CallbackInfo& info, int callbackIndex) {
    if (isUsable()) {
        return true;
    }
    throwError(info, JS_ERR_STATEMENT_DROPPED, callbackIndex);
    return false;
}

bool Statement::checkParameterIndex(const Napi::CallbackInfo& info, int& index) {
    const char* message = "Invalid parameter index.";
    int64_t requested = -1;
    index = info.Length() > 0 && integerInRange(info[0], 0, INT32_MAX, requested) ? static_cast<int>(requested) : -1;
    if (index >= 0 && static_cast<size_t>(index) < params.size()) {
        return true;
    }
    if (index >= 0 && static_cast<size_t>(index) < paramInfos.size() && params.empty()) {
        message = "The statement has not been executed yet.";
    }
    throwError(info, JS_ERR_INVALID_INDEX, message, "HY000", -1);
    return false;
}

// Named parameters are looked up in the statement's descriptions, so the
// handle is read under the connection lock.
bool Statement::getNamedOrPositional(const Napi::Value& params, std::vector<dbcapi_bind_data*>& out,
                                     ErrorInfo& error) {
    if (params.IsArray()) {
        return getInputParameters(params, out, stmt, error);
    }
    ConnectionLock lock(this);
    return getInputParameters(params, out, stmt, error);
}

Napi::Value Statement::isValid(const Napi::CallbackInfo& info) {
    clearConnectionWarnings();
    return Napi::Boolean::New(info.Env(), !dropped && !dropping);
}

Napi::Value Statement::execInternal(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    if (info.Length() <= 2) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, kExecInternalMessage, "HY000", -1);
        return env.Undefined();
    }
    int callbackIndex = info[2].IsFunction() ? 2 : -1;
    Napi::Value paramsArg = info[0];
    if (!paramsArg.IsArray() && !paramsArg.IsObject() && !paramsArg.IsFunction() && !paramsArg.IsNull() &&
        !paramsArg.IsUndefined()) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, kExecInternalMessage, "HY000", callbackIndex);
        return env.Undefined();
    }
    // A function is an object to Node-API, but never parameter values.
    bool hasParams = paramsArg.IsArray() || (paramsArg.IsObject() && !paramsArg.IsFunction());
    if (!checkExecParametersDescribed(info, hasParams, paramInfos, callbackIndex)) {
        return env.Undefined();
    }
    if (isBatchRows(paramsArg)) {
        return runBatch(info, callbackIndex);
    }
    if (!checkStatement(info, callbackIndex)) {
        return env.Undefined();
    }
    batchRowCount = -1;
    ExecuteBaton* baton = spareBaton.take();
    baton->result.options.fastInternalRows = connection->getFastInternalRowsDefault();
    baton->result.builder.setMemoryLimit(connection->getResultSetArrayLimit());
    Napi::Value options = info[1];
    if ((options.IsObject() || options.IsFunction()) &&
        !getExecuteOptions(options.As<Napi::Object>(), &baton->result.options)) {
        delete baton;
        return env.Undefined();
    }
    ErrorInfo error;
    if (hasParams && !getNamedOrPositional(paramsArg, baton->inputValues, error)) {
        delete baton;
        throwError(info, error, callbackIndex);
        return env.Undefined();
    }
    baton->result.into = resultAreaArgument(info, 3, callbackIndex);
    beginActivity();
    return runWork<Statement>(info, callbackIndex, this, baton, &Statement::executeWork, &Statement::executeAfter,
                              connection);
}

void Statement::resetChunkTickets() {
    UvLock lock(&chunkMutex);
    nextChunkTicket = 0;
    currentChunkTicket = 0;
    chunkFailed = false;
    chunkError = ErrorInfo();
}

void Statement::executeWork(ErrorInfo& error, void* data) {
    StatementThread active(this);
    ConnectionLock lock(this);
    auto* baton = static_cast<ExecuteBaton*>(data);
    if (!requireHandle(lock, error)) {
        return;
    }
    dbcapi_connection* conn = connection->handle();
    if (!g_api.dbcapi_reset(stmt)) {
        getErrorMsg(conn, error);
        return;
    }
    auto awaitParameterData = [&] {
        baton->keep = true;
        resetChunkTickets();
        paramDataSent.assign(std::max(0, g_api.dbcapi_num_params(stmt)), false);
    };
    if (!bindAndExecute(conn, stmt, baton->inputValues, baton->bindParams, true, error, awaitParameterData)) {
        return;
    }
    // The records just bound become the statement's; a kept baton still
    // needs its own for the parameter data to come.
    if (baton->keep) {
        copyParameters(params, baton->bindParams);
    } else {
        params.swap(baton->bindParams);
    }
    fetchWholeResult(conn, stmt, connection->getRowSetSize(), baton->result, error, fetchReuse.get());
}

void Statement::keepBaton(ExecuteBaton* baton) {
    delete keptBaton;
    keptBaton = baton;
}

Napi::Value Statement::executeAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<ExecuteBaton> baton(static_cast<ExecuteBaton*>(data));
    afterCommon(env);
    Napi::Value result = env.Undefined();
    if (!error.isSet()) {
        result = fillResult(env, baton->result, error);
    }
    // The caller's area is only good for this call.
    releaseResultArea(env, baton->result.into);
    if (baton->keep) {
        baton->result.clearValues();
        keepBaton(baton.release());
    } else {
        spareBaton.giveBack(baton.release());
    }
    return result;
}

Napi::Value Statement::execQuery(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    bool hasParams = false;
    int callbackIndex = -1;
    if (!checkExecParametersGeneric(info, kExecQuerySignature, hasParams, callbackIndex) ||
        !checkExecParametersDescribed(info, hasParams, paramInfos, callbackIndex) ||
        !checkStatement(info, callbackIndex)) {
        return env.Undefined();
    }
    if (!resultSets.empty()) {
        throwError(info, JS_ERR_RESULTSET_OPEN, kResultSetOpenMessage, "HY000", callbackIndex);
        return env.Undefined();
    }
    batchRowCount = -1;
    auto* baton = new ExecuteQueryBaton;
    baton->hasParams = hasParams;
    ErrorInfo error;
    if (hasParams && !getNamedOrPositional(info[0], baton->inputValues, error)) {
        delete baton;
        throwError(info, error, callbackIndex);
        return env.Undefined();
    }
    beginActivity();
    return runWork<Statement>(info, callbackIndex, this, baton, &Statement::executeQueryWork,
                              &Statement::executeQueryAfter, connection);
}

void Statement::executeQueryWork(ErrorInfo& error, void* data) {
    StatementThread active(this);
    ConnectionLock lock(this);
    auto* baton = static_cast<ExecuteQueryBaton*>(data);
    if (!requireHandle(lock, error)) {
        return;
    }
    dbcapi_connection* conn = connection->handle();
    if (!bindAndExecute(conn, stmt, baton->inputValues, baton->bindParams, baton->hasParams, error)) {
        return;
    }
    copyParameters(params, baton->bindParams);
    fetchColumnInfos(stmt, baton->columnInfos);
}

Napi::Value Statement::executeQueryAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<ExecuteQueryBaton> baton(static_cast<ExecuteQueryBaton*>(data));
    afterCommon(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    if (dropping || dropped || stmt == nullptr) {
        getErrorMsg(JS_ERR_INVALID_OBJECT, error);
        return env.Undefined();
    }
    Napi::Value object = ResultSet::NewInstance(Value());
    if (object.IsEmpty() || env.IsExceptionPending()) {
        getErrorMsg(JS_ERR_GENERAL_ERROR, error);
        return env.Undefined();
    }
    ResultSet* resultSet = ResultSet::Unwrap(object.As<Napi::Object>());
    addResultSet(resultSet);
    ConnectionLock lock(this);
    resultSet->init(stmt, baton->columnInfos);
    return object;
}

// Column types must agree across rows; null and undefined adopt the type of
// a later value. The shape of every row is checked before any value is read.
bool Statement::checkBatchRows(const Napi::CallbackInfo& info, int callbackIndex, BatchReader& reader) {
    Napi::Value rows = info.Length() > 0 ? info[0] : info.Env().Undefined();
    bool shaped = false;
    bool read = false;
    try {
        shaped = reader.readShape(rows);
        read = shaped && reader.readValues();
    } catch (const std::bad_alloc&) {
        throwError(info, JS_ERR_OUT_OF_MEMORY, callbackIndex);
        return false;
    }
    if (!shaped) {
        std::string message = std::string("Invalid parameter 1 for function '") + kExecBatchSignature +
                              "': expected an array of arrays with same length.";
        throwError(info, JS_ERR_INVALID_ARGUMENTS, message, "HY000", callbackIndex);
        return false;
    }
    if (!read) {
        throwError(info, JS_ERR_BINDING_PARAMETERS, callbackIndex);
        return false;
    }
    if (reader.mismatchColumn() >= 0) {
        std::string message = "Invalid parameter: 'parameter (" + std::to_string(reader.mismatchColumn()) +
                              ")' contains different types.";
        throwError(info, JS_ERR_INVALID_ARGUMENTS, message, "HY000", callbackIndex);
        return false;
    }
    return true;
}

Napi::Value Statement::execBatch(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    bool hasParams = false;
    int callbackIndex = -1;
    if (!checkExecParametersGeneric(info, kExecBatchSignature, hasParams, callbackIndex) ||
        !checkExecParametersDescribed(info, hasParams, paramInfos, callbackIndex)) {
        return env.Undefined();
    }
    return runBatch(info, callbackIndex);
}

// Rows in info[0]; whatever follows them was checked by the caller (exec
// passes its options there, which a batch does not use).
Napi::Value Statement::runBatch(const Napi::CallbackInfo& info, int callbackIndex) {
    Napi::Env env = info.Env();
    BatchReader reader(env);
    if (!checkBatchRows(info, callbackIndex, reader) || !checkStatement(info, callbackIndex)) {
        return env.Undefined();
    }
    batchRowCount = static_cast<int32_t>(reader.rowCount());
    // A throwing getter leaves its exception pending; no batch runs then.
    if (!reader.finish() || env.IsExceptionPending()) {
        throwError(info, JS_ERR_BINDING_PARAMETERS, callbackIndex);
        return env.Undefined();
    }
    auto* baton = new ExecuteBatchBaton;
    baton->rowCount = static_cast<int>(reader.rowCount());
    baton->columnCount = static_cast<int>(reader.columnCount());
    baton->columns.swap(reader.columns());
    beginActivity();
    return runWork<Statement>(info, callbackIndex, this, baton, &Statement::executeBatchWork,
                              &Statement::executeBatchAfter, connection);
}

// Binds every column as a row set of rowCount rows.
bool Statement::bindBatchColumns(dbcapi_connection* conn, ExecuteBatchBaton& baton, ErrorInfo& error) {
    for (int j = 0; j < baton.columnCount; j++) {
        dbcapi_bind_data column;
        memset(&column, 0, sizeof(column));
        if (!g_api.dbcapi_describe_bind_param(stmt, j, &column)) {
            getErrorMsg(conn, error);
            return false;
        }
        BatchColumn& values = baton.columns[j];
        if (!values.layOut(static_cast<size_t>(baton.rowCount))) {
            getErrorMsg(JS_ERR_OUT_OF_MEMORY, error);
            return false;
        }
        values.describe(column.value);
        if (!g_api.dbcapi_bind_param(stmt, j, &column)) {
            getErrorMsg(conn, error);
            return false;
        }
    }
    return true;
}

void Statement::executeBatchWork(ErrorInfo& error, void* data) {
    StatementThread active(this);
    ConnectionLock lock(this);
    auto* baton = static_cast<ExecuteBatchBaton*>(data);
    if (!lock.requireValid(error)) {
        return;
    }
    if (dropped) {
        getErrorMsg(JS_ERR_STATEMENT_DROPPED, error);
        return;
    }
    dbcapi_connection* conn = connection->handle();
    if (stmt == nullptr) {
        if (sql.empty()) {
            getErrorMsg(JS_ERR_INVALID_OBJECT, error);
            return;
        }
        stmt = g_api.dbcapi_prepare(conn, sql.c_str());
        if (stmt == nullptr) {
            getErrorMsg(conn, error);
            return;
        }
    }
    if (!checkParameterCount(error, baton->columnCount, stmt)) {
        return;
    }
    if (!g_api.dbcapi_reset(stmt)) {
        getErrorMsg(conn, error);
        return;
    }
    if (!bindBatchColumns(conn, *baton, error)) {
        return;
    }
    if (!g_api.dbcapi_set_batch_size(stmt, baton->rowCount) || !g_api.dbcapi_execute(stmt)) {
        getErrorMsg(conn, error);
        return;
    }
    baton->affectedRows = g_api.dbcapi_affected_rows(stmt);
}

Napi::Value Statement::executeBatchAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<ExecuteBatchBaton> baton(static_cast<ExecuteBatchBaton*>(data));
    afterCommon(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    return Napi::Number::New(env, baton->affectedRows);
}

Napi::Value Statement::drop(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "drop([callback])", callbackIndex)) {
        return env.Undefined();
    }
    if (dropped || dropping) {
        if (callbackIndex >= 0) {
            queueErrorCallback(info[callbackIndex].As<Napi::Function>(), ErrorInfo());
        }
        return env.Undefined();
    }
    _setDropping();
    return runWork<Statement>(info, callbackIndex, this, nullptr, &Statement::dropWork, &Statement::dropAfter,
                              connection);
}

void Statement::dropWork(ErrorInfo& error, void*) {
    {
        UvLock active(&activeMutex);
        while (activeCount > 0) {
            uv_cond_wait(&idleCondition, &activeMutex);
        }
    }
    ConnectionLock lock(this);
    if (!lock.requireValid(error)) {
        return;
    }
    if (!dropping) {
        getErrorMsg(JS_ERR_INVALID_OBJECT, error);
    } else {
        _drop();
    }
}

// The statement stays in its connection's list until this point, so that a
// disconnect overtaking the drop still frees the handle. While that
// disconnect is pending the list is its own: it frees what this drop could
// not and releases the statement once.
Napi::Value Statement::dropAfter(ErrorInfo& error, void*, Napi::Env env) {
    if (connection != nullptr) {
        afterCommon(env);
    }
    if (connection != nullptr && !connection->isDisconnecting()) {
        connection->removeStatement(this);
        release();
    }
    return env.Undefined();
}
