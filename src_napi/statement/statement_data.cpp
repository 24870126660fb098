// Parameter data after an execution: streaming chunks of parameters bound
// with {sendParameterData: true}, in call order, and reading output
// parameters whole or in slices.
#include <stdlib.h>

#include "arguments.h"
#include "async_worker.h"
#include "connection.h"
#include "conversion.h"
#include "read_target.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "uv_lock.h"
#include "resultset.h"
#include "statement.h"
#include "value_rules.h"

namespace {

struct ParamChunkBaton {
    int index = 0;
    bool ends = true;  // no chunk: the parameter's data ends here
    ChunkCopy chunk;
    int32_t ticket = 0;
    dbcapi_bool result = 0;
};

struct GetParamDataBaton {
    int index = 0;
    size_t dataOffset = 0;
    ReadTarget target;
    int32_t bytesRead = 0;
    ResultSet* resultSet = nullptr;
};

struct GetParameterValueBaton {
    ResultSet* resultSet = nullptr;
    int index = 0;
};

size_t lobReadSize(dbcapi_native_type type, size_t length) {
    bool wide = type == DBCAPI_NATIVE_NCLOB || type == DBCAPI_NATIVE_TEXT;
    bool text = wide || type == DBCAPI_NATIVE_CLOB;
    return length * (wide ? 4 : 1) + (text ? 1 : 0);
}

}  // namespace

ResultSet* Statement::newestResultSet() const {
    return resultSets.empty() ? nullptr : resultSets.back();
}

Napi::Value Statement::sendParameterData(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    unsigned masks[] = {JS_NUMBER, JS_UNDEFINED | JS_NULL | JS_BUFFER, JS_FUNCTION};
    bool optional[] = {false, false, true};
    int callbackIndex = -1;
    int index = -1;
    if (!checkParameters(info, "sendParameterData(columnIndex, buffer[, callback])", 3, masks, &callbackIndex,
                         optional, nullptr) ||
        !checkParameterIndex(info, index) || !checkStatement(info, callbackIndex)) {
        return env.Undefined();
    }
    if (params[index]->value.type != DBCAPI_INVALID_TYPE) {
        std::string message =
            "The statement has not been executed with {sendParameterData: true} at index " + std::to_string(index);
        throwError(info, JS_ERR_INVALID_INDEX, message, "HY000", callbackIndex);
        return env.Undefined();
    }
    auto* baton = new ParamChunkBaton;
    baton->index = index;
    if (isNodeBuffer(info.Env(), info[1])) {
        ErrorInfo error;
        baton->ends = false;
        if (!baton->chunk.take(info[1].As<Napi::Buffer<char>>(), error)) {
            delete baton;
            throwError(info, error, callbackIndex);
            return env.Undefined();
        }
    }
    {
        UvLock lock(&chunkMutex);
        baton->ticket = nextChunkTicket++;
    }
    beginActivity();
    return runWork<Statement>(info, callbackIndex, this, baton, &Statement::sendParameterDataWork,
                              &Statement::sendParameterDataAfter, connection);
}

// Chunks run strictly in ticket order. Once a chunk has found the connection
// gone, the ticket will never advance, so every later chunk fails at once
// with that chunk's error instead of waiting for it.
bool Statement::waitForChunkTurn(int32_t ticket, ErrorInfo& error) {
    UvLock lock(&chunkMutex);
    while (currentChunkTicket != ticket && !chunkFailed) {
        uv_cond_wait(&chunkCondition, &chunkMutex);
    }
    if (currentChunkTicket != ticket) {
        error = chunkError;
        return false;
    }
    return true;
}

void Statement::finishChunk(bool failed, const ErrorInfo& error) {
    UvLock lock(&chunkMutex);
    if (failed) {
        chunkFailed = true;
        chunkError = error;
    } else {
        currentChunkTicket++;
    }
    uv_cond_broadcast(&chunkCondition);
}

void Statement::sendParameterDataWork(ErrorInfo& error, void* data) {
    StatementThread active(this);
    auto* baton = static_cast<ParamChunkBaton*>(data);
    if (!waitForChunkTurn(baton->ticket, error)) {
        return;
    }
    ConnectionLock lock(this);
    if (!requireHandle(lock, error)) {
        finishChunk(true, error);
        return;
    }
    uint32_t index = static_cast<uint32_t>(baton->index);
    if (!baton->ends) {
        if (index < paramDataSent.size()) {
            paramDataSent[index] = true;
        }
        baton->result = g_api.dbcapi_send_param_data(stmt, index, const_cast<char*>(baton->chunk.data()),
                                                     baton->chunk.length());
    } else {
        bool anySent = index < paramDataSent.size() && paramDataSent[index];
        baton->result = anySent ? 1 : g_api.dbcapi_send_param_data(stmt, index, nullptr, 0);
        if (baton->result) {
            baton->result = g_api.dbcapi_finish_param_data(stmt, index);
        }
    }
    finishChunk(false, error);
    if (!baton->result) {
        getErrorMsg(connection->handle(), error);
    }
}

Napi::Value Statement::sendParameterDataAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<ParamChunkBaton> baton(static_cast<ParamChunkBaton*>(data));
    afterCommon(env);
    return env.Undefined();
}

// Parameter reads go through the newest open result set's handle when
// there is one; the baton keeps that result set alive for the call.
ResultSet* Statement::pinNewestResultSet() {
    ResultSet* resultSet = newestResultSet();
    // One collected already, whose finalizer has not run yet, cannot be held.
    if (resultSet != nullptr && resultSet->Ref() == 0) {
        return nullptr;
    }
    return resultSet;
}

dbcapi_stmt* Statement::parameterHandle(ResultSet* resultSet) const {
    return resultSet != nullptr && resultSet->handle() != nullptr ? resultSet->handle() : stmt;
}

Napi::Value Statement::getParameterValue(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    unsigned masks[] = {JS_NUMBER, JS_FUNCTION};
    bool optional[] = {false, true};
    int callbackIndex = -1;
    int index = -1;
    if (!checkParameters(info, "getParameterValue(paramIndex[, callback])", 2, masks, &callbackIndex, optional,
                         nullptr) ||
        !checkParameterIndex(info, index) || !checkStatement(info, callbackIndex)) {
        return env.Undefined();
    }
    auto* baton = new GetParameterValueBaton;
    baton->index = index;
    baton->resultSet = pinNewestResultSet();
    beginActivity();
    return runWork<Statement>(info, callbackIndex, this, baton, &Statement::getParamValueWork,
                              &Statement::getParamValueAfter, connection);
}

void Statement::getParamValueWork(ErrorInfo& error, void* data) {
    StatementThread active(this);
    ConnectionLock lock(this);
    auto* baton = static_cast<GetParameterValueBaton*>(data);
    if (!lock.requireValid(error)) {
        return;
    }
    dbcapi_stmt* handle = parameterHandle(baton->resultSet);
    if (handle == nullptr || static_cast<size_t>(baton->index) >= params.size()) {
        getErrorMsg(JS_ERR_STATEMENT_DROPPED, error);
        return;
    }
    dbcapi_native_type nativeType = static_cast<size_t>(baton->index) < paramInfos.size()
                                        ? paramInfos[baton->index].native_type
                                        : DBCAPI_NATIVE_NULL;
    dbcapi_data_value& value = params[baton->index]->value;
    size_t length = value.length != nullptr ? *value.length : 0;
    // A large output arrives whole only when it fit the buffer bound for its input.
    bool whole = value.buffer != nullptr && length <= value.buffer_size;
    if (!isLargeObjectType(nativeType) || whole || length == 0) {
        return;
    }
    size_t size = lobReadSize(nativeType, length);
    delete[] value.buffer;
    value.buffer = new char[size];
    value.buffer_size = size;
    int32_t read = g_api.dbcapi_get_param_data(handle, baton->index, 0, value.buffer, size);
    if (read == -1) {
        *value.length = 0;
        getErrorMsg(connection->handle(), error);
    } else {
        *value.length = static_cast<size_t>(read);
    }
}

Napi::Value Statement::getParamValueAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<GetParameterValueBaton> baton(static_cast<GetParameterValueBaton*>(data));
    afterCommon(env);
    if (baton->resultSet != nullptr) {
        baton->resultSet->Unref();
    }
    if (error.isSet()) {
        return env.Undefined();
    }
    if (static_cast<size_t>(baton->index) >= params.size()) {
        getErrorMsg(JS_ERR_STATEMENT_DROPPED, error);
        return env.Undefined();
    }
    dbcapi_native_type nativeType = static_cast<size_t>(baton->index) < paramInfos.size()
                                        ? paramInfos[baton->index].native_type
                                        : DBCAPI_NATIVE_NULL;
    int errorCode = 0;
    Napi::Value value = getReturnValue(env, params[baton->index]->value, nativeType, errorCode);
    if (errorCode != 0) {
        getErrorMsg(errorCode, error);
        return env.Undefined();
    }
    return value;
}

// Refuses a slice that would end past the caller's buffer.
Napi::Value Statement::getData(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearConnectionWarnings();
    unsigned masks[] = {JS_NUMBER, JS_NUMBER, JS_BUFFER, JS_NUMBER, JS_NUMBER, JS_FUNCTION};
    bool optional[] = {false, false, false, false, false, true};
    int callbackIndex = -1;
    int index = -1;
    if (!checkParameters(info, "getData(paramIndex, dataOffset, buffer, bufferOffset, length[, callback])", 6,
                         masks, &callbackIndex, optional, nullptr) ||
        !checkParameterIndex(info, index) || !checkStatement(info, callbackIndex)) {
        return env.Undefined();
    }
    int64_t dataOffset = 0;
    int64_t bufferOffset = 0;
    int64_t length = 0;
    Napi::Buffer<char> buffer = info[2].As<Napi::Buffer<char>>();
    const char* message = nullptr;
    if (!integerInRange(info[1], 0, INT32_MAX, dataOffset)) {
        message = "Invalid dataOffset.";
    } else if (!integerInRange(info[3], 0, INT32_MAX, bufferOffset)) {
        message = "Invalid bufferOffset.";
    } else if (!integerInRange(info[4], 0, INT32_MAX, length)) {
        message = "Invalid length.";
    } else if (static_cast<size_t>(bufferOffset + length) > buffer.ByteLength()) {
        message = "getData buffer is not large enough to copy length bytes to bufferOffset.";
    }
    if (message != nullptr) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, message, "HY000", callbackIndex);
        return env.Undefined();
    }
    auto* baton = new GetParamDataBaton;
    baton->index = index;
    baton->dataOffset = static_cast<size_t>(dataOffset);
    baton->target.aim(buffer, static_cast<size_t>(bufferOffset), static_cast<size_t>(length), callbackIndex < 0);
    baton->resultSet = pinNewestResultSet();
    beginActivity();
    return runWork<Statement>(info, callbackIndex, this, baton, &Statement::getParamDataWork,
                              &Statement::getParamDataAfter, connection);
}

void Statement::getParamDataWork(ErrorInfo& error, void* data) {
    StatementThread active(this);
    ConnectionLock lock(this);
    auto* baton = static_cast<GetParamDataBaton*>(data);
    if (!lock.requireValid(error)) {
        return;
    }
    dbcapi_stmt* handle = parameterHandle(baton->resultSet);
    if (handle == nullptr) {
        getErrorMsg(JS_ERR_STATEMENT_DROPPED, error);
        return;
    }
    char* bytes = baton->target.bytes(error);
    if (bytes == nullptr) {
        return;
    }
    baton->bytesRead =
        g_api.dbcapi_get_param_data(handle, baton->index, baton->dataOffset, bytes, baton->target.length());
    if (baton->bytesRead == -1) {
        getErrorMsg(connection->handle(), error);
    }
}

Napi::Value Statement::getParamDataAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<GetParamDataBaton> baton(static_cast<GetParamDataBaton*>(data));
    afterCommon(env);
    if (baton->resultSet != nullptr) {
        baton->resultSet->Unref();
    }
    if (error.isSet()) {
        return env.Undefined();
    }
    if (!baton->target.deliver(static_cast<size_t>(baton->bytesRead), error)) {
        return env.Undefined();
    }
    return Napi::Number::New(env, baton->bytesRead);
}
