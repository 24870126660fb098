// Connection.execInternal: runs one SQL text and returns its whole result.
#include "async_worker.h"
#include "bind_execute.h"
#include "connection.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "db_values.h"
#include "execute_baton.h"

namespace {

const char* const kExecSignatureMessage =
    "Invalid parameter for function 'exec[ute](sql[, params][, options][, callback])'";

bool validExecArguments(const Napi::CallbackInfo& info) {
    if (info.Length() < 4 || !info[0].IsString()) {
        return false;
    }
    Napi::Value params = info[1];
    return params.IsArray() || params.IsObject() || params.IsNull() || params.IsUndefined();
}

// Named values of a direct execute: the statement does not exist yet, so
// each value keeps its name until the work function has prepared it.
bool getNamedInputParameters(const Napi::Object& params, ExecuteBaton* baton, ErrorInfo& error) {
    // A proxy or getter may throw: its exception is left pending for the script.
    Napi::Array keys = params.GetPropertyNames();
    if (keys.IsEmpty()) {
        return false;
    }
    for (uint32_t i = 0; i < keys.Length(); i++) {
        Napi::Value key = keys.Get(i);
        Napi::Value value = params.Get(key);
        if (value.IsEmpty()) {
            return false;
        }
        dbcapi_bind_data* record = getBindParameter(value);
        if (record == nullptr) {
            getErrorMsgRefusedParameter(value, static_cast<int>(i), error);
            return false;
        }
        baton->inputValues.push_back(record);
        baton->inputNames.push_back(key.ToString().Utf8Value());
    }
    return true;
}

int findNamedValue(const ExecuteBaton* baton, const char* name) {
    for (size_t k = 0; name != nullptr && k < baton->inputNames.size(); k++) {
        if (baton->inputValues[k] != nullptr && baton->inputNames[k] == name) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

// Puts named values in the order of the statement's input parameters; values
// no parameter asks for are dropped.
bool orderNamedValues(dbcapi_stmt* stmt, ExecuteBaton* baton, ErrorInfo& error) {
    std::vector<dbcapi_bind_data*> ordered;
    int count = g_api.dbcapi_num_params(stmt);
    bool ok = true;
    for (int j = 0; ok && j < count; j++) {
        dbcapi_bind_data description = {};
        ok = g_api.dbcapi_describe_bind_param(stmt, static_cast<uint32_t>(j), &description);
        if (!ok || (description.direction != DBCAPI_DD_INPUT && description.direction != DBCAPI_DD_INPUT_OUTPUT)) {
            continue;
        }
        int k = findNamedValue(baton, description.name);
        if (k < 0) {
            getErrorMsgBindingParam(error, j);
            ok = false;
            break;
        }
        ordered.push_back(baton->inputValues[k]);
        baton->inputValues[k] = nullptr;
    }
    if (!ok && !error.isSet()) {
        getErrorMsgBindingParam(error, static_cast<int>(ordered.size()));
    }
    baton->inputValues.swap(ordered);
    clearParameters(ordered);
    baton->inputNames.clear();
    return ok;
}

// Prepares, binds and executes; returns the statement, or null with error set.
dbcapi_stmt* executeWithParameters(dbcapi_connection* conn, ExecuteBaton* baton, ErrorInfo& error) {
    dbcapi_stmt* stmt = g_api.dbcapi_prepare(conn, baton->sql.c_str());
    if (stmt == nullptr) {
        getErrorMsg(conn, error);
        return nullptr;
    }
    bool ok = baton->inputNames.empty() || orderNamedValues(stmt, baton, error);
    ok = ok && bindAndExecute(conn, stmt, baton->inputValues, baton->bindParams, true, error);
    if (!ok) {
        g_api.dbcapi_free_stmt(stmt);
        return nullptr;
    }
    return stmt;
}

}  // namespace

Napi::Value Connection::execInternal(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    int callbackIndex = info.Length() > 3 && info[3].IsFunction() ? 3 : -1;
    if (!validExecArguments(info)) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, kExecSignatureMessage, "HY000", callbackIndex);
        return env.Undefined();
    }
    if (!isValid()) {
        throwError(info, JS_ERR_INVALID_OBJECT, callbackIndex);
        return env.Undefined();
    }
    ExecuteBaton* baton = spareBaton.take();
    baton->sql = info[0].As<Napi::String>().Utf8Value();
    baton->result.options.fastInternalRows = settings.fastInternalRows;
    baton->result.builder.setMemoryLimit(settings.resultSetArrayLimit);
    ErrorInfo error;
    if (info[2].IsObject() && !getExecuteOptions(info[2].As<Napi::Object>(), &baton->result.options)) {
        getErrorMsg(JS_ERR_INVALID_ARGUMENTS, error);
    }
    if (!error.isSet() && info[1].IsArray()) {
        getInputParameters(info[1], baton->inputValues, nullptr, error);
    } else if (!error.isSet() && info[1].IsObject()) {
        getNamedInputParameters(info[1].As<Napi::Object>(), baton, error);
    }
    if (error.isSet() || env.IsExceptionPending()) {
        delete baton;
        throwError(info, error, callbackIndex);
        return env.Undefined();
    }
    baton->result.into = resultAreaArgument(info, 4, callbackIndex);
    return runWork<Connection>(info, callbackIndex, this, baton, &Connection::executeWork,
                               &Connection::executeAfter, this);
}

void Connection::executeWork(ErrorInfo& error, void* data) {
    ConnectionLock lock(this);
    auto* baton = static_cast<ExecuteBaton*>(data);
    if (!lock.requireValid(error)) {
        return;
    }
    dbcapi_stmt* stmt;
    if (baton->inputValues.empty()) {
        stmt = g_api.dbcapi_execute_direct(conn, baton->sql.c_str());
        if (stmt == nullptr) {
            getErrorMsg(conn, error);
        }
    } else {
        stmt = executeWithParameters(conn, baton, error);
    }
    if (stmt == nullptr) {
        return;
    }
    fetchWholeResult(conn, stmt, rowSetSize, baton->result, error, &execReuse->forText(baton->sql));
    g_api.dbcapi_free_stmt(stmt);
}

Napi::Value Connection::executeAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<ExecuteBaton> baton(static_cast<ExecuteBaton*>(data));
    doTraceCallback(env);
    Napi::Value result = error.isSet() ? env.Undefined() : fillResult(env, baton->result, error);
    releaseResultArea(env, baton->result.into);
    spareBaton.giveBack(baton.release());
    return result;
}
