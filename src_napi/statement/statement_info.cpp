// Statement getters and settings that run on the calling thread: parameter
// and column descriptions, print lines, row status, statistics, packet size
// and time-out. Each reads the handle under the connection lock, so a drop
// running on a worker cannot free it underneath.
#include <string.h>

#include <memory>

#include "arguments.h"
#include "connection.h"
#include "conversion.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "js_errors.h"
#include "statement.h"

namespace {

const size_t kFirstPrintLineSize = 1024;
const int64_t kMaxPacketSize = 2147483647;

Napi::Object parameterInfoObject(Napi::Env env, const dbcapi_bind_param_info& info, dbcapi_data_type type) {
    Napi::Object object = Napi::Object::New(env);
    object.Set("name", info.name != nullptr ? Napi::Value(Napi::String::New(env, info.name)) : env.Undefined());
    object.Set("direction", Napi::Number::New(env, info.direction));
    object.Set("nativeType", Napi::Number::New(env, info.native_type));
    object.Set("nativeTypeName", Napi::String::New(env, getNativeTypeName(info.native_type)));
    object.Set("precision", Napi::Number::New(env, info.precision));
    object.Set("scale", Napi::Number::New(env, info.scale));
    object.Set("maxSize", Napi::Number::New(env, static_cast<double>(info.max_size)));
    object.Set("type", Napi::Number::New(env, type));
    object.Set("typeName", Napi::String::New(env, getTypeName(type)));
    return object;
}

}  // namespace

// The getters that need no argument check fail on a dropped statement
// rather than touch a freed handle.
void Statement::clearConnectionWarnings() {
    if (connection != nullptr) {
        connection->clearWarnings();
    }
}

bool Statement::checkHandle(const Napi::CallbackInfo& info) {
    if (isUsable()) {
        return true;
    }
    throwError(info, JS_ERR_STATEMENT_DROPPED, -1);
    return false;
}

Napi::Value Statement::getParameterInfo(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    ConnectionLock lock(this);
    if (!checkHandle(info)) {
        return env.Undefined();
    }
    Napi::Array result = Napi::Array::New(env);
    int count = g_api.dbcapi_num_params(stmt);
    for (int i = 0; i < count; i++) {
        dbcapi_bind_param_info paramInfo;
        dbcapi_bind_data description;
        memset(&paramInfo, 0, sizeof(paramInfo));
        memset(&description, 0, sizeof(description));
        if (!g_api.dbcapi_get_bind_param_info(stmt, i, &paramInfo) ||
            !g_api.dbcapi_describe_bind_param(stmt, i, &description)) {
            if (!env.IsExceptionPending()) {
                throwError(info, connection->handle(), -1);
            }
            continue;
        }
        result.Set(result.Length(), parameterInfoObject(env, paramInfo, description.value.type));
    }
    return env.IsExceptionPending() ? env.Undefined() : Napi::Value(result);
}

Napi::Value Statement::getParameterLength(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    unsigned masks[] = {JS_NUMBER};
    int index = -1;
    ConnectionLock lock(this);
    if (!checkParameters(info, "getParameterLength(paramIndex)", 1, masks, nullptr, nullptr, nullptr) ||
        !checkParameterIndex(info, index)) {
        return env.Undefined();
    }
    const dbcapi_data_value& value = params[index]->value;
    return Napi::Number::New(env, value.length != nullptr ? static_cast<double>(*value.length) : 0);
}

Napi::Value Statement::isParameterNull(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    unsigned masks[] = {JS_NUMBER};
    int index = -1;
    ConnectionLock lock(this);
    if (!checkParameters(info, "isParameterNull(paramIndex)", 1, masks, nullptr, nullptr, nullptr) ||
        !checkParameterIndex(info, index)) {
        return env.Undefined();
    }
    const dbcapi_data_value& value = params[index]->value;
    return Napi::Boolean::New(env, value.is_null != nullptr && *value.is_null != 0);
}

Napi::Value Statement::functionCode(const Napi::CallbackInfo& info) {
    clearConnectionWarnings();
    ConnectionLock lock(this);
    if (!checkHandle(info)) {
        return info.Env().Undefined();
    }
    return Napi::Number::New(info.Env(), g_api.dbcapi_get_function_code(stmt));
}

Napi::Value Statement::getColumnInfo(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    std::vector<dbcapi_column_info*> columnInfos;
    {
        ConnectionLock lock(this);
        if (!checkHandle(info)) {
            return env.Undefined();
        }
        fetchColumnInfos(stmt, columnInfos);
    }
    Napi::Array result = Napi::Array::New(env, columnInfos.size());
    for (size_t i = 0; i < columnInfos.size(); i++) {
        Napi::Object column = Napi::Object::New(env);
        setColumnInfo(env, column, columnInfos[i]);
        result.Set(static_cast<uint32_t>(i), column);
    }
    freeColumnInfos(columnInfos);
    return result;
}

Napi::Value Statement::getPrintLines(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    ConnectionLock lock(this);
    if (!checkHandle(info)) {
        return env.Undefined();
    }
    Napi::Array lines = Napi::Array::New(env);
    size_t bufferSize = kFirstPrintLineSize;
    std::unique_ptr<char[]> buffer(new char[bufferSize]);
    for (;;) {
        size_t length = 0;
        int result = g_api.dbcapi_get_print_line(stmt, 4, buffer.get(), &length, bufferSize, 1);
        if (result == DBCAPI_PRINT_LINE_OK) {
            lines.Set(lines.Length(), Napi::String::New(env, buffer.get(), length));
        } else if (result == DBCAPI_PRINT_LINE_TRUNCATED) {
            bufferSize = length + 4;
            buffer.reset(new char[bufferSize]);
        } else {
            break;
        }
    }
    return lines;
}

Napi::Value Statement::getRowStatus(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    ConnectionLock lock(this);
    if (!checkHandle(info)) {
        return env.Undefined();
    }
    const int32_t* status = batchRowCount > 0 ? g_api.dbcapi_get_row_status(stmt) : nullptr;
    if (status == nullptr) {
        return env.Undefined();
    }
    Napi::Array result = Napi::Array::New(env, batchRowCount);
    for (int32_t i = 0; i < batchRowCount; i++) {
        result.Set(static_cast<uint32_t>(i), Napi::Number::New(env, status[i]));
    }
    return result;
}

// One number the client library keeps for a live handle.
template <typename R>
Napi::Value Statement::handleNumber(const Napi::CallbackInfo& info, R (*read)(dbcapi_stmt*)) {
    clearConnectionWarnings();
    ConnectionLock lock(this);
    if (!checkHandle(info)) {
        return info.Env().Undefined();
    }
    return Napi::Number::New(info.Env(), static_cast<double>(read(stmt)));
}

Napi::Value Statement::getServerCPUTime(const Napi::CallbackInfo& info) {
    return handleNumber(info, g_api.dbcapi_get_stmt_server_cpu_time);
}

Napi::Value Statement::getServerMemoryUsage(const Napi::CallbackInfo& info) {
    return handleNumber(info, g_api.dbcapi_get_stmt_server_memory_usage);
}

Napi::Value Statement::getServerProcessingTime(const Napi::CallbackInfo& info) {
    return handleNumber(info, g_api.dbcapi_get_stmt_server_processing_time);
}

Napi::Value Statement::setPacketSize(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    unsigned masks[] = {JS_NUMBER};
    if (!checkParameters(info, "setPacketSize(packetSize)", 1, masks, nullptr, nullptr, nullptr)) {
        return env.Undefined();
    }
    int64_t size = 0;
    if (!integerInRange(info[0], 0, kMaxPacketSize, size)) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS,
                   "Invalid PacketSize: the packet size should be greater than 0 and less than 2147483647.", "HY000",
                   -1);
        return env.Undefined();
    }
    ConnectionLock lock(this);
    if (checkStatement(info, -1)) {
        g_api.dbcapi_set_stmt_packet_size(stmt, static_cast<int32_t>(size));
    }
    return env.Undefined();
}

Napi::Value Statement::getPacketSize(const Napi::CallbackInfo& info) {
    return handleNumber(info, g_api.dbcapi_get_stmt_packet_size);
}

Napi::Value Statement::getStatementHash(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    ConnectionLock lock(this);
    if (!checkHandle(info)) {
        return env.Undefined();
    }
    char hash[33];
    memset(hash, 0, sizeof(hash));
    if (g_api.dbcapi_get_stmt_statement_hash(stmt, hash, sizeof(hash)) != 0) {
        return env.Undefined();
    }
    hash[sizeof(hash) - 1] = '\0';
    return Napi::String::New(env, hash);
}

Napi::Value Statement::setTimeout(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    unsigned masks[] = {JS_NUMBER};
    if (!checkParameters(info, "setTimeout(timeout)", 1, masks, nullptr, nullptr, nullptr)) {
        return env.Undefined();
    }
    int64_t timeout = 0;
    if (!integerInRange(info[0], 0, INT32_MAX, timeout)) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, "Invalid timeout.", "HY000", -1);
        return env.Undefined();
    }
    ConnectionLock lock(this);
    if (checkStatement(info, -1) && !g_api.dbcapi_set_query_timeout(stmt, static_cast<int32_t>(timeout))) {
        throwError(info, connection->handle(), -1);
    }
    return env.Undefined();
}
