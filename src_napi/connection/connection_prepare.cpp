// Connection.prepare: prepares an SQL text and hands the handle to a new
// Statement.
#include <string.h>

#include "arguments.h"
#include "async_worker.h"
#include "connection.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "statement.h"

namespace {

const char* const kPrepareSignature = "prepare(sql, [callback])";
const char* const kDisconnectedMessage = "The connection has been disconnected and cannot be used further";

// The baton never frees stmt: the completion hands it on or frees it.
struct PrepareBaton {
    std::string sql;
    dbcapi_stmt* stmt = nullptr;
    uint32_t session = 0;  // the connect that stmt belongs to
    std::vector<dbcapi_bind_param_info> paramInfos;
};

}  // namespace

Napi::Value Connection::prepare(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {JS_STRING, JS_FUNCTION};
    bool optional[] = {false, true};
    int callbackIndex = -1;
    if (!checkParameters(info, kPrepareSignature, 2, masks, &callbackIndex, optional, nullptr)) {
        return env.Undefined();
    }
    if (!isValid()) {
        throwError(info, JS_ERR_NOT_CONNECTED, callbackIndex);
        return env.Undefined();
    }
    auto* baton = new PrepareBaton;
    baton->sql = info[0].As<Napi::String>().Utf8Value();
    return runWork<Connection>(info, callbackIndex, this, baton, &Connection::prepareWork,
                               &Connection::prepareAfter, this);
}

void Connection::prepareWork(ErrorInfo& error, void* data) {
    ConnectionLock lock(this);
    auto* baton = static_cast<PrepareBaton*>(data);
    if (!lock.requireValid(error)) {
        return;
    }
    baton->session = sessionCount;
    baton->stmt = g_api.dbcapi_prepare(conn, baton->sql.c_str());
    if (baton->stmt == nullptr) {
        getErrorMsg(conn, error);
        return;
    }
    int count = g_api.dbcapi_num_params(baton->stmt);
    for (int i = 0; i < count; i++) {
        dbcapi_bind_param_info paramInfo;
        memset(&paramInfo, 0, sizeof(paramInfo));
        g_api.dbcapi_get_bind_param_info(baton->stmt, i, &paramInfo);
        baton->paramInfos.push_back(paramInfo);
    }
}

Napi::Value Connection::prepareAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<PrepareBaton> baton(static_cast<PrepareBaton*>(data));
    // A disconnect, and maybe a new connect since, overtook the prepare: its
    // handle belongs to a closed session and must not reach a Statement.
    bool overtaken = baton->stmt != nullptr && baton->session != sessionCount;
    if (disconnecting || overtaken) {
        if (baton->stmt != nullptr) {
            ConnectionLock lock(this);
            g_api.dbcapi_free_stmt(baton->stmt);
        }
        error = ErrorInfo(JS_ERR_DISCONNECTED_DURING_PREPARE, kDisconnectedMessage, "HY000");
        return env.Undefined();
    }
    doTraceCallback(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    Napi::Value object = Statement::NewInstance(env.Null());
    Statement* statement = object.IsEmpty() || env.IsExceptionPending()
                               ? nullptr
                               : Statement::Unwrap(object.As<Napi::Object>());
    if (statement == nullptr || statement->constructionError().isSet()) {
        if (statement != nullptr) {
            error = statement->constructionError();
        } else if (!env.IsExceptionPending()) {
            getErrorMsg(JS_ERR_GENERAL_ERROR, error);
        }
        ConnectionLock lock(this);
        g_api.dbcapi_free_stmt(baton->stmt);
        return env.Undefined();
    }
    statement->adopt(baton->sql, baton->stmt, baton->paramInfos);
    addStatement(statement);
    return object;
}
