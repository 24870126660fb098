// Connection: client information, trace delivery and warnings.
#include <memory>

#include "binding.h"
#include "connection.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "uv_lock.h"
#include "js_errors.h"

namespace {

const size_t kClientInfoBufferSize = 51200;
const size_t kTraceChunkSize = 4096;

}  // namespace

Napi::Value Connection::getClientInfo(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {JS_STRING};
    if (!checkParameters(info, "getClientInfo(key)", 1, masks, nullptr, nullptr, nullptr)) {
        return env.Undefined();
    }
    std::string key = info[0].As<Napi::String>().Utf8Value();
    ConnectionLock lock(this);
    if (!isValid()) {
        throwError(info, JS_ERR_NOT_CONNECTED, -1);
        return env.Undefined();
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kClientInfoBufferSize]);
    if (!buffer || !g_api.dbcapi_get_clientinfo_utf8(conn, key.c_str(), buffer.get(), kClientInfoBufferSize)) {
        return env.Null();
    }
    return Napi::String::New(env, buffer.get());
}

Napi::Value Connection::setClientInfo(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {JS_STRING, JS_UNDEFINED | JS_NULL | JS_STRING};
    if (!checkParameters(info, "setClientInfo(key, value)", 2, masks, nullptr, nullptr, nullptr)) {
        return env.Undefined();
    }
    std::string key = info[0].As<Napi::String>().Utf8Value();
    std::string value;
    if (info[1].IsString()) {
        convertToString(info[1], value);
    }
    ConnectionLock lock(this);
    if (conn == nullptr) {
        conn = g_api.dbcapi_new_connection();
        if (conn == nullptr) {
            throwError(info, JS_ERR_ALLOCATION_FAILED, -1);
            return env.Undefined();
        }
        enableTraceBuffering();
    }
    bool known = false;
    for (const std::string& existing : clientInfoKeys) {
        known = known || existing == key;
    }
    if (!known) {
        clientInfoKeys.push_back(key);
    }
    g_api.dbcapi_set_clientinfo(conn, key.c_str(), value.empty() ? nullptr : value.c_str());
    return env.Undefined();
}

Napi::Value Connection::onTrace(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {JS_NULL | JS_STRING, JS_NULL | JS_FUNCTION};
    if (!checkParameters(info, "onTrace(options, callback)", 2, masks, nullptr, nullptr, nullptr)) {
        return env.Undefined();
    }
    if (info[0].IsNull() || info[1].IsNull()) {
        clearTraceCallback();
        return env.Undefined();
    }
    convertToString(info[0], traceOptions);
    traceCallback.Reset(info[1].As<Napi::Function>(), 1);
    traceBufferingPending = true;
    enableTraceBuffering();
    return env.Undefined();
}

// Without a handle the request waits until connect or setClientInfo makes one.
void Connection::enableTraceBuffering() {
    if (conn == nullptr || !traceBufferingPending) {
        return;
    }
    g_api.dbcapi_enable_trace_buffering(conn, traceOptions.c_str());
    traceBufferingPending = false;
}

void Connection::clearTraceCallback() {
    if (!traceOptions.empty() && conn != nullptr) {
        g_api.dbcapi_enable_trace_buffering(conn, nullptr);
        traceOptions.clear();
    }
    traceBufferingPending = false;
}

// Delivers the buffered trace chunk by chunk, never joined.
void Connection::doTraceCallback(Napi::Env env) {
    if (traceOptions.empty() || conn == nullptr || traceCallback.IsEmpty()) {
        return;
    }
    char buffer[kTraceChunkSize];
    while (!env.IsExceptionPending()) {
        size_t length = g_api.dbcapi_read_buffered_trace(conn, buffer, sizeof(buffer), 0);
        if (length == 0) {
            break;
        }
        traceCallback.Call({Napi::String::New(env, buffer, length)});
    }
}

Napi::Value Connection::getWarnings(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    ConnectionLock lock(this);
    UvLock warningsLock(&warningsMutex);
    Napi::Array result = Napi::Array::New(env, warnings.size());
    for (size_t i = 0; i < warnings.size(); i++) {
        Napi::Object warning = Napi::Object::New(env);
        warning.Set("code", Napi::Number::New(env, warnings[i]->code));
        warning.Set("message", Napi::String::New(env, *warnings[i]->message));
        warning.Set("sqlState", Napi::String::New(env, *warnings[i]->sqlState));
        result.Set(static_cast<uint32_t>(i), warning);
        delete warnings[i];
    }
    warnings.clear();
    return result;
}

void Connection::clearWarnings() {
    if (!warningsMutexInitialised) {
        return;
    }
    UvLock lock(&warningsMutex);
    for (warningMessage* warning : warnings) {
        delete warning;
    }
    warnings.clear();
}

void Connection::addWarning(int code, const char* message, const char* sqlState) {
    UvLock lock(&warningsMutex);
    warnings.push_back(new warningMessage{code, new std::string(message != nullptr ? message : ""),
                                          new std::string(sqlState != nullptr ? sqlState : "")});
}

// Runs inside client-library calls, on the thread holding connMutex.
void Connection::warningCallback(dbcapi_stmt*, const char* message, int32_t code, const char* sqlState,
                                 void* context) {
    static_cast<Connection*>(context)->addWarning(code, message, sqlState);
}
