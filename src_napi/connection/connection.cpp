#include "connection.h"

#include <stdlib.h>
#include <strings.h>

#include <algorithm>
#include <thread>

#include "async_worker.h"
#include "binding.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "environment.h"
#include "fetch.h"
#include "statement.h"

namespace {

const char* const kConnStrSuffix = ";CHARSET=UTF-8;SCROLLABLERESULT=0";

struct ProcessDefaults {
    bool fastInternalRows = true;
    bool resultSetCanBind = false;
    int rowSetSize = 1;
};

// Read once, on the first construction of a Connection.
const ProcessDefaults& processDefaults() {
    static const ProcessDefaults defaults = [] {
        ProcessDefaults d;
        const char* value = getenv("ZKV_NODEJS_FAST_INTERNAL_ROWS");
        if (value != nullptr && *value != '\0') {
            d.fastInternalRows = strtol(value, nullptr, 10) != 0;
        }
        value = getenv("_ZKV_NODEJS_RESULT_SET_CAN_BIND");
        if (value != nullptr && *value != '\0') {
            d.resultSetCanBind = strtol(value, nullptr, 10) != 0;
        }
        value = getenv("ZKV_NODEJS_ROW_SET_SIZE");
        if (value != nullptr && *value != '\0') {
            d.rowSetSize = std::max(1L, strtol(value, nullptr, 10));
        }
        return d;
    }();
    return defaults;
}

bool isParameterValue(const Napi::Value& value) {
    return value.IsString() || value.IsObject() || value.IsNumber() || value.IsUndefined() || value.IsNull();
}

// The schema name comes from a connection property: quoted as an identifier
// so that it cannot end the statement and start another.
std::string setSchemaStatement(const std::string& schema) {
    std::string sql = "SET SCHEMA \"";
    for (char c : schema) {
        sql += c;
        if (c == '"') {
            sql += '"';
        }
    }
    return sql + "\"";
}

// A script knows its connection string, not the pool key made from it: the
// key is the string completed as connect completes it, without applying
// any of its settings.
std::string completedConnectionString(const std::string& connStr) {
    ConnectionSettings scratch;
    SchedulingSwitches ignored = {[](bool) {}, [](bool) {}, [](int) {}};
    return getConnectionProperties(scratch, ignored, connStr + kConnStrSuffix);
}

struct ClearPoolBaton {
    int count = 0;
};

}  // namespace

// An error worker is of the connection kind, as any other queued work.
void queueErrorCallback(Napi::Function callback, const ErrorInfo& e) {
    auto* worker = new AsyncWorker<Connection>(callback, &e);
    worker->QueueClient();
}

void Connection::Init(Napi::Env env, Napi::Object exports) {
    Napi::Function cls = DefineClass(
        env, "Connection",
        {InstanceMethod("execInternal", &Connection::execInternal),
         InstanceMethod("prepare", &Connection::prepare),
         InstanceMethod("connect", &Connection::connect),
         InstanceMethod("disconnect", &Connection::disconnect),
         InstanceMethod("close", &Connection::disconnect),
         InstanceMethod("end", &Connection::disconnect),
         InstanceMethod("commit", &Connection::commit),
         InstanceMethod("rollback", &Connection::rollback),
         InstanceMethod("abort", &Connection::abort),
         InstanceMethod("getAutoCommit", &Connection::getAutoCommit),
         InstanceMethod("setAutoCommit", &Connection::setAutoCommit),
         InstanceMethod("getClientInfo", &Connection::getClientInfo),
         InstanceMethod("setClientInfo", &Connection::setClientInfo),
         InstanceMethod("onTrace", &Connection::onTrace),
         InstanceMethod("setRowSetSize", &Connection::setRowSetSize),
         InstanceMethod("state", &Connection::state),
         InstanceMethod("clearPool", &Connection::clearPool),
         InstanceMethod("getPooledConnectionCount", &Connection::getPooledConnectionCount),
         InstanceMethod("getOpenConnectionCount", &Connection::getOpenConnectionCount),
         InstanceMethod("getWarnings", &Connection::getWarnings)});
    moduleEnvironment(env).connectionClass = Napi::Persistent(cls);
    exports.Set("Connection", cls);
}

Napi::Value Connection::NewInstance(Napi::Value arg) {
    Napi::Env env = arg.Env();
    Napi::EscapableHandleScope scope(env);
    ModuleEnvironment& state = moduleEnvironment(env);
    Napi::Object object = state.connectionClass.New({arg});
    if (env.IsExceptionPending() || object.IsEmpty()) {
        return Napi::Value();
    }
    if (!state.addConnectionMethods.IsEmpty()) {
        state.addConnectionMethods.Call({object});
    }
    return scope.Escape(object);
}

Connection::Connection(const Napi::CallbackInfo& info)
    : Napi::ObjectWrap<Connection>(info), execReuse(new FetchReuseByText) {
    const ProcessDefaults& defaults = processDefaults();
    settings.fastInternalRows = defaults.fastInternalRows;
    settings.resultSetCanBind = defaults.resultSetCanBind;
    rowSetSize = defaults.rowSetSize;
    if (info.Length() > 0) {
        Napi::Value params = info[0];
        if (params.IsString() || params.IsObject()) {
            takeParameters(params, errorInfo);
        } else if (!params.IsUndefined() && !params.IsNull()) {
            getErrorMsgIP(0, "createConnection[createClient]([conn_params])", "string|object",
                          getJSTypeName(getJSType(params)).c_str(), errorInfo);
            return;
        }
    }
    if (mutexInit(&connMutex, &errorInfo, &connMutexInitialised)) {
        mutexInit(&warningsMutex, &errorInfo, &warningsMutexInitialised);
    }
}

// A finalized connection never blocks the JavaScript thread on the network:
// a still-open handle is closed on a thread of its own.
Connection::~Connection() {
    for (Statement* statement : statements) {
        statement->forgetConnection();
    }
    clearConnProps();
    for (warningMessage* warning : warnings) {
        delete warning;
    }
    if (connMutexInitialised) {
        uv_mutex_destroy(&connMutex);
    }
    if (warningsMutexInitialised) {
        uv_mutex_destroy(&warningsMutex);
    }
    if (conn != nullptr) {
        dbcapi_connection* handle = conn;
        std::vector<std::function<void()>> work;
        work.swap(orphanedWork);
        std::thread([handle, work] {
            for (const std::function<void()>& step : work) {
                step();
            }
            closeConnectionHandle(handle, true);
        }).detach();
        if (connected) {
            releaseOpenConnection();
        }
    }
}

// A string replaces the parameters; an object replaces them too, its
// properties included, rather than adding to the earlier object's.
bool Connection::takeParameters(Napi::Value params, ErrorInfo& error) {
    useExternalHandle = false;
    connStrPending = true;
    clearConnProps();
    if (params.IsString()) {
        connStr = params.As<Napi::String>().Utf8Value();
        propsFromObject = false;
    } else {
        connStr.clear();
        propsFromObject = true;
    }
    bool ok = params.IsString() ? checkConnectionStringNames(connStr, error)
                                : getConnectionString(params.Env(), params.As<Napi::Object>(), connStr, propNames,
                                                      propValues, error);
    if (!ok) {
        clearConnProps();
        connStr.clear();
        connStrPending = false;
    }
    return ok;
}

void Connection::clearConnProps() {
    ::clearConnProps(propNames, propValues);
}

void Connection::completeConnectionString() {
    if (!connStrPending) {
        return;
    }
    connStr += kConnStrSuffix;
    if (propsFromObject) {
        getConnectionProperties(settings, propNames, propValues);
    } else {
        connStr = getConnectionProperties(settings, connStr);
    }
    connStrPending = false;
}

void Connection::addStatement(Statement* statement) {
    if (statement->connection != nullptr) {
        statement->connection->Unref();
    }
    statement->connection = this;
    Ref();
    std::lock_guard<std::mutex> guard(statementsMutex);
    statements.insert(statement);
}

void Connection::removeStatement(Statement* statement) {
    std::lock_guard<std::mutex> guard(statementsMutex);
    statements.erase(statement);
}

// A collected statement leaves the list while a disconnect's work may be
// walking it: the list lock makes the two take turns.
void Connection::forgetStatement(Statement* statement) {
    std::lock_guard<std::mutex> guard(statementsMutex);
    statements.erase(statement);
    statement->forgetConnection();
}

void Connection::orphanStatementHandle(dbcapi_stmt* handle) {
    addOrphanedWork([handle] { g_api.dbcapi_free_stmt(handle); });
}

void Connection::addOrphanedWork(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(orphansMutex);
    orphanedWork.push_back(std::move(work));
}

// Caller holds connMutex.
void Connection::freeOrphanedHandles() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> guard(orphansMutex);
        work.swap(orphanedWork);
    }
    for (const std::function<void()>& step : work) {
        step();
    }
}

Napi::Value Connection::connect(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    const char* signature = "connect(conn_params[, callback])";
    size_t count = info.Length();
    int callbackIndex = -1;
    Napi::Value params = env.Undefined();
    if (count == 1 && info[0].IsFunction()) {
        callbackIndex = 0;
    } else if (count >= 1) {
        params = info[0];
        if (count >= 2 && info[1].IsFunction()) {
            callbackIndex = 1;
        } else if (count >= 2 && !info[1].IsUndefined() && !info[1].IsNull()) {
            throwErrorIP(info, 1, signature, "function", getJSTypeName(getJSType(info[1])).c_str(), -1);
            return env.Undefined();
        }
    }
    if (!isParameterValue(params)) {
        throwErrorIP(info, 0, signature, "string|object", getJSTypeName(getJSType(params)).c_str(), callbackIndex);
        return env.Undefined();
    }
    if (params.IsNumber()) {
        useExternalHandle = true;
        externalHandle = params.As<Napi::Number>().Int64Value();
    } else {
        ErrorInfo error;
        bool taken = !(params.IsString() || params.IsObject()) || takeParameters(params, error);
        // A throwing getter or proxy: the script gets its exception, no connect runs.
        if (env.IsExceptionPending()) {
            return env.Undefined();
        }
        if (!taken) {
            throwError(info, error, callbackIndex);
            return env.Undefined();
        }
        useExternalHandle = false;
        completeConnectionString();
    }
    return runWork<Connection>(info, callbackIndex, this, nullptr, &Connection::connectWork,
                               &Connection::connectAfter, this);
}

// Opens or adopts the handle; on failure the handle is freed and conn stays null.
bool Connection::openHandle(ErrorInfo& error) {
    if (useExternalHandle) {
        if (conn != nullptr) {
            g_api.dbcapi_free_connection(conn);
        }
        conn = g_api.dbcapi_make_connection(reinterpret_cast<void*>(externalHandle));
        if (conn == nullptr) {
            getErrorMsg(static_cast<dbcapi_connection*>(nullptr), error);
            if (!error.isSet()) {
                getErrorMsg(JS_ERR_NOT_CONNECTED, error);
            }
            return false;
        }
        enableTraceBuffering();
        return true;
    }
    if (settings.pooling && conn == nullptr) {
        conn = g_conn_pool_manager.allocate(connStr, connectTime, settings.poolingCheck,
                                            traceOptions.empty() ? nullptr : traceOptions.c_str());
        if (conn != nullptr) {
            traceBufferingPending = false;
            return true;
        }
    }
    if (conn == nullptr) {
        conn = g_api.dbcapi_new_connection();
        if (conn == nullptr) {
            getErrorMsg(JS_ERR_ALLOCATION_FAILED, error);
            return false;
        }
    }
    enableTraceBuffering();
    bool ok;
    if (propsFromObject) {
        ok = true;
        for (size_t i = 0; ok && i < propNames.size(); i++) {
            ok = g_api.dbcapi_set_connect_property(conn, propNames[i]->c_str(), propValues[i]->c_str());
        }
        ok = ok && g_api.dbcapi_set_connect_property(conn, "CHARSET", "UTF-8") &&
             g_api.dbcapi_set_connect_property(conn, "SCROLLABLERESULT", "0") && g_api.dbcapi_connect2(conn);
    } else {
        ok = g_api.dbcapi_connect(conn, connStr.c_str());
    }
    if (!ok) {
        getErrorMsg(conn, error);
        g_api.dbcapi_free_connection(conn);
        conn = nullptr;
        return false;
    }
    connectTime = TimePoint::getCurrentTime();
    return true;
}

void Connection::connectWork(ErrorInfo& error, void*) {
    ConnectionLock lock(this);
    if (!reserveOpenConnection()) {
        getErrorMsg(JS_ERR_TOO_MANY_CONNECTIONS, error);
        return;
    }
    if (isValid()) {
        releaseOpenConnection();
        getErrorMsg(JS_ERR_CONNECTED, error);
        return;
    }
    if (!openHandle(error)) {
        releaseOpenConnection();
        return;
    }
    g_api.dbcapi_set_autocommit(conn, autoCommit);
    g_api.dbcapi_register_warning_callback(conn, &Connection::warningCallback, this);
    connected = true;
    closed = false;
    disconnecting = false;
    sessionCount++;
}

Napi::Value Connection::connectAfter(ErrorInfo& error, void*, Napi::Env env) {
    doTraceCallback(env);
    return env.Undefined();
}

Napi::Value Connection::disconnect(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "disconnect([callback])", callbackIndex)) {
        return env.Undefined();
    }
    if (!isValid()) {
        if (callbackIndex >= 0) {
            queueErrorCallback(info[callbackIndex].As<Napi::Function>(), ErrorInfo());
        }
        return env.Undefined();
    }
    disconnecting = true;
    for (Statement* statement : statements) {
        statement->_setDropping();
    }
    return runWork<Connection>(info, callbackIndex, this, nullptr, &Connection::disconnectWork,
                               &Connection::disconnectAfter, this);
}

// Brings the handle back to the state a new owner expects; stops at the
// first step that fails, with that step's error.
bool Connection::resetForPool(ErrorInfo& error) {
    bool ok = autoCommit ? g_api.dbcapi_commit(conn) : g_api.dbcapi_rollback(conn);
    if (ok && !autoCommit) {
        ok = g_api.dbcapi_set_autocommit(conn, 1);
    }
    if (ok) {
        for (const std::string& key : clientInfoKeys) {
            g_api.dbcapi_set_clientinfo(conn, key.c_str(), nullptr);
        }
        ok = g_api.dbcapi_set_transaction_isolation(conn, settings.isolationLevel);
    }
    if (ok && !settings.locale.empty()) {
        ok = g_api.dbcapi_set_clientinfo(conn, "LOCALE", settings.locale.c_str());
    }
    if (ok && !settings.client.empty()) {
        ok = g_api.dbcapi_set_clientinfo(conn, "CLIENT", settings.client.c_str());
    }
    if (ok && !settings.currentSchema.empty()) {
        dbcapi_stmt* stmt = g_api.dbcapi_execute_direct(conn, setSchemaStatement(settings.currentSchema).c_str());
        ok = stmt != nullptr;
        if (ok) {
            g_api.dbcapi_free_stmt(stmt);
        }
    }
    if (!ok) {
        getErrorMsg(conn, error);
    }
    return ok;
}

// A handle whose reset failed is in a state no later owner expects: it is
// closed, and error tells why.
void Connection::parkOrClose(ErrorInfo& error) {
    if (!settings.pooling || useExternalHandle) {
        closeConnectionHandle(conn, !useExternalHandle);
        return;
    }
    if (!resetForPool(error)) {
        closeConnectionHandle(conn, true);
        return;
    }
    bool parked = false;
    {
        PoolLock lock;
        bool full = g_max_pool_size >= 1 && g_conn_pool_manager.getConnectionCount() >= g_max_pool_size;
        parked = !full && g_conn_pool_manager.add(connStr, conn, settings.maxPoolSize,
                                                  settings.connectionLifetime, connectTime);
    }
    if (!parked) {
        closeConnectionHandle(conn, true);
    }
}

void Connection::disconnectWork(ErrorInfo& error, void*) {
    ConnectionLock lock(this);
    if (conn == nullptr || !connected) {
        getErrorMsg(JS_ERR_NOT_CONNECTED, error);
        return;
    }
    if (!disconnecting) {
        getErrorMsg(JS_ERR_INVALID_OBJECT, error);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(statementsMutex);
        for (Statement* statement : statements) {
            statement->_drop();
        }
    }
    clearTraceCallback();
    closed = true;
    freeOrphanedHandles();
    g_api.dbcapi_register_warning_callback(conn, nullptr, this);
    parkOrClose(error);
    connected = false;
    conn = nullptr;
    releaseOpenConnection();
}

Napi::Value Connection::disconnectAfter(ErrorInfo& error, void*, Napi::Env env) {
    std::unordered_set<Statement*> children;
    {
        std::lock_guard<std::mutex> guard(statementsMutex);
        children.swap(statements);
    }
    for (Statement* statement : children) {
        statement->release();
    }
    return env.Undefined();
}

Napi::Value Connection::commit(const Napi::CallbackInfo& info) {
    clearWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "commit([callback])", callbackIndex)) {
        return info.Env().Undefined();
    }
    return runWork<Connection>(info, callbackIndex, this, nullptr, &Connection::commitWork,
                               &Connection::transactionAfter, this);
}

Napi::Value Connection::rollback(const Napi::CallbackInfo& info) {
    clearWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "rollback([callback])", callbackIndex)) {
        return info.Env().Undefined();
    }
    return runWork<Connection>(info, callbackIndex, this, nullptr, &Connection::rollbackWork,
                               &Connection::transactionAfter, this);
}

void Connection::commitWork(ErrorInfo& error, void*) {
    ConnectionLock lock(this);
    if (lock.requireValid(error) && !g_api.dbcapi_commit(conn)) {
        getErrorMsg(conn, error);
    }
}

void Connection::rollbackWork(ErrorInfo& error, void*) {
    ConnectionLock lock(this);
    if (lock.requireValid(error) && !g_api.dbcapi_rollback(conn)) {
        getErrorMsg(conn, error);
    }
}

Napi::Value Connection::transactionAfter(ErrorInfo& error, void*, Napi::Env env) {
    doTraceCallback(env);
    return env.Undefined();
}

// Queued without the connection key: behind the connection's running job
// an abort would come too late to interrupt it.
Napi::Value Connection::abort(const Napi::CallbackInfo& info) {
    clearWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "abort([callback])", callbackIndex)) {
        return info.Env().Undefined();
    }
    return runWork<Connection>(info, callbackIndex, this, nullptr, &Connection::abortWork, nullptr, nullptr);
}

void Connection::abortWork(ErrorInfo& error, void*) {
    if (!isValid()) {
        getErrorMsg(JS_ERR_NOT_CONNECTED, error);
        return;
    }
    g_api.dbcapi_abort(conn);
}

Napi::Value Connection::getAutoCommit(const Napi::CallbackInfo& info) {
    clearWarnings();
    ConnectionLock lock(this);
    return Napi::Boolean::New(info.Env(), autoCommit);
}

Napi::Value Connection::setAutoCommit(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {JS_BOOLEAN};
    if (!checkParameters(info, "setAutoCommit(flag)", 1, masks, nullptr, nullptr, nullptr)) {
        return env.Undefined();
    }
    ErrorInfo error;
    {
        ConnectionLock lock(this);
        bool flag = false;
        convertToBool(info[0], flag);
        autoCommit = flag;
        if (conn != nullptr && connected && !g_api.dbcapi_set_autocommit(conn, autoCommit)) {
            getErrorMsg(conn, error);
        }
    }
    if (error.isSet()) {
        throwError(info, error, -1);
        return env.Undefined();
    }
    doTraceCallback(env);
    return env.Undefined();
}

Napi::Value Connection::setRowSetSize(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {JS_NUMBER};
    if (!checkParameters(info, "setRowSetSize(rowSetSize)", 1, masks, nullptr, nullptr, nullptr)) {
        return env.Undefined();
    }
    int64_t size = 0;
    if (!integerInRange(info[0], 1, INT32_MAX, size)) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, "Invalid row set size.", "HY000", -1);
        return env.Undefined();
    }
    ConnectionLock lock(this);
    rowSetSize = static_cast<int>(size);
    return env.Undefined();
}

Napi::Value Connection::state(const Napi::CallbackInfo& info) {
    clearWarnings();
    return Napi::String::New(info.Env(), connected ? "connected" : "disconnected");
}

Napi::Value Connection::getOpenConnectionCount(const Napi::CallbackInfo& info) {
    clearWarnings();
    if (!checkParameters(info, "getOpenConnectionCount()", 0, nullptr, nullptr, nullptr, nullptr)) {
        return info.Env().Undefined();
    }
    return Napi::Number::New(info.Env(), ::getOpenConnectionCount());
}

Napi::Value Connection::getPooledConnectionCount(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {JS_STRING};
    bool optional[] = {true};
    if (!checkParameters(info, "getPooledConnectionCount([connStr])", 1, masks, nullptr, optional, nullptr)) {
        return env.Undefined();
    }
    std::string key = info.Length() > 0 && info[0].IsString() ? info[0].As<Napi::String>().Utf8Value() : "";
    std::string completed = key.empty() ? key : completedConnectionString(key);
    ConnectionLock lock(this);
    PoolLock poolLock;
    int count = g_conn_pool_manager.getConnectionCount(key);
    if (strcasecmp(completed.c_str(), key.c_str()) != 0) {
        count += g_conn_pool_manager.getConnectionCount(completed);
    }
    return Napi::Number::New(env, count);
}

// Not keyed by the connection: it closes other connections' parked handles
// and need not wait for this connection's work.
Napi::Value Connection::clearPool(const Napi::CallbackInfo& info) {
    clearWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "clearPool([callback])", callbackIndex)) {
        return info.Env().Undefined();
    }
    return runWork<Connection>(info, callbackIndex, this, new ClearPoolBaton, &Connection::clearPoolWork,
                               &Connection::clearPoolAfter, nullptr);
}

void Connection::clearPoolWork(ErrorInfo& error, void* baton) {
    ConnectionLock lock(this);
    auto* b = static_cast<ClearPoolBaton*>(baton);
    if (!g_conn_pool_manager.clearPool(b->count)) {
        error = g_conn_pool_manager.lastError();
    }
}

Napi::Value Connection::clearPoolAfter(ErrorInfo& error, void* baton, Napi::Env env) {
    SmartPointer<ClearPoolBaton> b(static_cast<ClearPoolBaton*>(baton));
    if (error.isSet()) {
        return env.Undefined();
    }
    return Napi::Number::New(env, b->count);
}

