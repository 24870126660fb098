#include "resultset.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <new>
#include <string>

#include "arguments.h"
#include "async_worker.h"
#include "connection.h"
#include "conversion.h"
#include "environment.h"
#include "read_target.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "result_builder.h"
#include "statement.h"

int ResultSet::_max_get_value_async_recurse_depth = 0;
std::atomic<int> ResultSet::_get_value_async_recurse_depth(0);

namespace {

const unsigned kAnyType = 0xFFFF;
const char* const kGetDataSignature = "getData(colIndex, dataOffset, buffer, bufferOffset, length[, callback])";

enum BindOutcome { BIND_OK, BIND_FAILED, BIND_OUT_OF_MEMORY };

// A value copied out of the client library (or the bound row slot) while the
// connection lock is held, so converting it later races with no fetch.
struct OwnedValue {
    std::vector<char> bytes;
    size_t size = 0;
    size_t length = 0;
    bool hasLength = false;
    dbcapi_bool isNull = 0;
    dbcapi_data_type type = DBCAPI_INVALID_TYPE;
    bool hasData = false;

    void copyFrom(const dbcapi_data_value& value) {
        type = value.type;
        isNull = value.is_null != nullptr ? *value.is_null : 0;
        hasLength = value.length != nullptr;
        length = hasLength ? *value.length : 0;
        hasData = value.buffer != nullptr;
        size = hasData && !isNull ? value.buffer_size : 0;
        if (hasData) {
            bytes.assign(value.buffer, value.buffer + size);
            bytes.push_back('\0');
        }
    }

    dbcapi_data_value view() {
        dbcapi_data_value value;
        memset(&value, 0, sizeof(value));
        value.buffer = hasData ? bytes.data() : nullptr;
        value.buffer_size = size;
        value.length = hasLength ? &length : nullptr;
        value.type = type;
        value.is_null = &isNull;
        return value;
    }
};

struct GetValueBaton {
    int columnIndex = 0;
    OwnedValue value;
};

struct GetValuesBaton {
    bool asArray = false;
    std::vector<OwnedValue> values;
};

struct GetDataBaton {
    int columnIndex = 0;
    size_t dataOffset = 0;
    ReadTarget target;
    int32_t bytesRead = 0;
};

// The library's error on conn, unless it only says that the rows or the
// results have ended.
void getErrorUnlessEnded(dbcapi_connection* conn, ErrorInfo& error) {
    getErrorMsg(conn, error);
    if (error.code == DBCAPI_NO_MORE_ROWS) {
        error.clearMessage();
    }
}

}  // namespace

void ResultSet::Init(Napi::Env env, Napi::Object exports) {
    Napi::Function cls = DefineClass(
        env, "ResultSet",
        {InstanceMethod("close", &ResultSet::close),
         InstanceMethod("isClosed", &ResultSet::isClosed),
         InstanceMethod("getRowCount", &ResultSet::getRowCount),
         InstanceMethod("getColumnCount", &ResultSet::getColumnCount),
         InstanceMethod("getColumnName", &ResultSet::getColumnName),
         InstanceMethod("getColumnInfo", &ResultSet::getColumnInfo),
         InstanceMethod("getValue", &ResultSet::getValue),
         InstanceMethod("getValues", &ResultSet::getValues),
         InstanceMethod("getValueLength", &ResultSet::getValueLength),
         InstanceMethod("getData", &ResultSet::getData),
         InstanceMethod("next", &ResultSet::next),
         InstanceMethod("nextResult", &ResultSet::nextResult),
         InstanceMethod("hasNextResult", &ResultSet::hasNextResult),
         InstanceMethod("getServerCPUTime", &ResultSet::getServerCPUTime),
         InstanceMethod("getServerMemoryUsage", &ResultSet::getServerMemoryUsage),
         InstanceMethod("getServerProcessingTime", &ResultSet::getServerProcessingTime),
         InstanceMethod("isNull", &ResultSet::isNull),
         InstanceMethod("fetchRows", &ResultSet::fetchRows)});
    moduleEnvironment(env).resultSetClass = Napi::Persistent(cls);
    exports.Set("ResultSet", cls);
}

Napi::Value ResultSet::NewInstance(Napi::Value statement) {
    Napi::Env env = statement.Env();
    Napi::EscapableHandleScope scope(env);
    Napi::Object object = moduleEnvironment(env).resultSetClass.New({statement});
    if (env.IsExceptionPending() || object.IsEmpty()) {
        return Napi::Value();
    }
    return scope.Escape(object);
}

ResultSet::ResultSet(const Napi::CallbackInfo& info) : Napi::ObjectWrap<ResultSet>(info) {}

// The handle belongs to the statement and is never freed here.
ResultSet::~ResultSet() {
    if (statement != nullptr) {
        Statement* owner = statement;
        owner->forgetResultSet(this);
        owner->Unref();
    }
    freeColumnInfos(columnInfos);
    boundValues.clear();
    freeRenamedColumnNames();
    if (zelk_stopped_all_work()) {
        SuppressDestruct();
    }
}

void ResultSet::setMaxGetValueAsyncRecurseDepth() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* value = getenv("_ZKV_NODEJS_MAX_RESULT_SET_GET_VALUE_ASYNC_RECURSE_DEPTH");
        if (value != nullptr && *value != '\0') {
            long depth = strtol(value, nullptr, 10);
            _max_get_value_async_recurse_depth = depth < 0 ? 0 : static_cast<int>(depth);
        }
    });
}

// Caller holds the connection lock.
bool ResultSet::bindForOneRow() {
    try {
        if (allocateAndBindColumns(stmt, 1, columnInfos, boundValues)) {
            return true;
        }
        g_api.dbcapi_clear_column_bindings(stmt);
        boundValues.clear();
        return false;
    } catch (const std::bad_alloc&) {
        g_api.dbcapi_clear_column_bindings(stmt);
        boundValues.clear();
        throw;
    }
}

void ResultSet::init(dbcapi_stmt* handle, const std::vector<dbcapi_column_info*>& columns) {
    stmt = handle;
    columnCount = copyColumnInfos(columnInfos, columns);
    Connection* connection = owningConnection();
    if (connection == nullptr || !connection->getResultSetCanBind() || anyLobsInColInfo(columnInfos)) {
        return;
    }
    setMaxGetValueAsyncRecurseDepth();
    try {
        bound = bindForOneRow();
    } catch (const std::bad_alloc&) {
        bound = false;
    }
}

// From here its statement holds the result set too, until release.
void ResultSet::_setClosing() {
    closing = true;
    heldByStatement = Ref() > 0;
}

void ResultSet::_close() {
    if (!closed) {
        closed = true;
        stmt = nullptr;
    }
}

Connection* ResultSet::owningConnection() const {
    return statement != nullptr ? statement->connection : nullptr;
}

void ResultSet::clearWarnings() {
    Connection* connection = owningConnection();
    if (connection != nullptr) {
        connection->clearWarnings();
    }
}

void ResultSet::afterCommon(Napi::Env env) {
    Connection* connection = owningConnection();
    if (connection != nullptr) {
        connection->doTraceCallback(env);
    }
}

bool ResultSet::isUsable() const {
    return !closed && !closing && stmt != nullptr && statement != nullptr;
}

bool ResultSet::checkUsable(const Napi::CallbackInfo& info, int callbackIndex) {
    if (isUsable()) {
        return true;
    }
    throwError(info, JS_ERR_RESULTSET_CLOSED, callbackIndex);
    return false;
}

bool ResultSet::checkColumnIndex(const Napi::CallbackInfo& info, int& index, int callbackIndex) {
    int64_t requested = -1;
    if (info.Length() > 0 && integerInRange(info[0], 0, columnCount - 1, requested)) {
        index = static_cast<int>(requested);
        return true;
    }
    throwError(info, JS_ERR_INVALID_INDEX, "Invalid column index.", "HY000", callbackIndex);
    return false;
}

// Work functions run under the connection lock and re-check what the
// JavaScript thread checked: a drop or disconnect may have come in between.
bool ResultSet::checkWorkState(ErrorInfo& error, bool connectionValid) {
    if (!connectionValid) {
        getErrorMsg(JS_ERR_NOT_CONNECTED, error);
        return false;
    }
    if (closed || stmt == nullptr) {
        getErrorMsg(JS_ERR_RESULTSET_CLOSED, error);
        return false;
    }
    return true;
}

void ResultSet::freeRenamedColumnNames() {
    renamedNames.clear();
    renamedInitialised = false;
}

// The keys an execute's rows get; without memory for them the plain names serve.
void ResultSet::initializeRenamedColumnNames() {
    if (renamedInitialised) {
        return;
    }
    renamedInitialised = true;
    try {
        std::vector<const char*> names;
        for (int i = 0; i < columnCount; i++) {
            names.push_back(columnInfos[i]->name);
        }
        renamedNames = makeColumnKeys(names, {}, false);
    } catch (const std::bad_alloc&) {
        renamedNames.clear();
    }
}

const char* ResultSet::columnKey(int index) const {
    if (!renamedNames.empty()) {
        return renamedNames[index].c_str();
    }
    return columnInfos[index]->name != nullptr ? columnInfos[index]->name : "";
}

// The bound record of a column at the current row slot.
dbcapi_data_value ResultSet::boundValue(int index) const {
    const dbcapi_data_value& column = *boundValues[index];
    dbcapi_data_value value = column;
    value.buffer = column.buffer + static_cast<size_t>(currentRow) * column.buffer_size;
    value.length = column.length + currentRow;
    value.is_null = column.is_null + currentRow;
    if (isAside(column, static_cast<size_t>(currentRow))) {
        g_api.dbcapi_get_column(stmt, static_cast<uint32_t>(index), &value);
    }
    return value;
}

Napi::Value ResultSet::convertValue(Napi::Env env, dbcapi_data_value& value, int index, ErrorInfo& error) {
    int errorCode = 0;
    Napi::Value result = getReturnValue(env, value, columnInfos[index]->native_type, errorCode);
    if (errorCode != 0) {
        getErrorMsg(errorCode, error);
        return env.Undefined();
    }
    return result;
}

Napi::Value ResultSet::isClosed(const Napi::CallbackInfo& info) {
    clearWarnings();
    return Napi::Boolean::New(info.Env(), closed || closing);
}

Napi::Value ResultSet::close(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "close([callback])", callbackIndex)) {
        return env.Undefined();
    }
    if (closed || closing) {
        if (callbackIndex >= 0) {
            queueErrorCallback(info[callbackIndex].As<Napi::Function>(), ErrorInfo());
        }
        return env.Undefined();
    }
    closing = true;
    if (statement != nullptr) {
        statement->removeResultSet(this);
    }
    return runWork<ResultSet>(info, callbackIndex, this, nullptr, &ResultSet::closeWork, &ResultSet::closeAfter,
                              owningConnection());
}

// Letting go of the handle needs no live connection; unbinding does, and a
// gone connection has no statement left to unbind.
void ResultSet::closeWork(ErrorInfo& error, void*) {
    ConnectionLock lock(this);
    if (!closing) {
        getErrorMsg(JS_ERR_RESULTSET_CLOSED, error);
        return;
    }
    if (closed) {
        return;
    }
    if (bound && stmt != nullptr && lock.isValid()) {
        g_api.dbcapi_clear_column_bindings(stmt);
    }
    // A statement left part-way holds its read snapshot in the backend
    // until it is reset: others' commits would stay invisible.
    if (stmt != nullptr && lock.isValid()) {
        g_api.dbcapi_reset(stmt);
    }
    closed = true;
    stmt = nullptr;
}

// Out of its statement's list, the result set gives up its count on it.
Napi::Value ResultSet::closeAfter(ErrorInfo& error, void*, Napi::Env env) {
    afterCommon(env);
    if (statement != nullptr) {
        statement->Unref();
        statement = nullptr;
    }
    return env.Undefined();
}

Napi::Value ResultSet::next(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "next([callback])", callbackIndex) ||
        !checkUsable(info, callbackIndex)) {
        return env.Undefined();
    }
    return runWork<ResultSet>(info, callbackIndex, this, new bool(false), &ResultSet::nextWork,
                              &ResultSet::nextAfter, owningConnection());
}

void ResultSet::nextWork(ErrorInfo& error, void* data) {
    ConnectionLock lock(this);
    bool* hasRow = static_cast<bool*>(data);
    if (!checkWorkState(error, lock.isValid())) {
        return;
    }
    fetched = true;
    if (columnCount <= 0) {
        return;
    }
    *hasRow = g_api.dbcapi_fetch_next(stmt) != 0;
    currentRow = 0;
    getErrorUnlessEnded(lock.connection()->handle(), error);
}

Napi::Value ResultSet::nextAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<bool> hasRow(static_cast<bool*>(data));
    afterCommon(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    return Napi::Boolean::New(env, *hasRow);
}

Napi::Value ResultSet::nextResult(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    int callbackIndex = -1;
    if (!checkCallbackOnly(info, "nextResult([callback])", callbackIndex) ||
        !checkUsable(info, callbackIndex)) {
        return env.Undefined();
    }
    return runWork<ResultSet>(info, callbackIndex, this, new bool(false), &ResultSet::nextResultWork,
                              &ResultSet::nextResultAfter, owningConnection());
}

void ResultSet::nextResultWork(ErrorInfo& error, void* data) {
    ConnectionLock lock(this);
    bool* hasResult = static_cast<bool*>(data);
    if (!checkWorkState(error, lock.isValid())) {
        return;
    }
    *hasResult = g_api.dbcapi_get_next_result(stmt) != 0;
    getErrorUnlessEnded(lock.connection()->handle(), error);
    boundValues.clear();
    freeRenamedColumnNames();
    freeColumnInfos(columnInfos);
    columnCount = 0;
    currentRow = 0;
    if (*hasResult) {
        columnCount = std::max(0, fetchColumnInfos(stmt, columnInfos));
    }
    if (!bound) {
        return;
    }
    bound = false;
    if (!*hasResult || anyLobsInColInfo(columnInfos)) {
        return;
    }
    try {
        bound = bindForOneRow();
    } catch (const std::bad_alloc&) {
        getErrorMsg(JS_ERR_OUT_OF_MEMORY, error);
        *hasResult = false;
    }
}

Napi::Value ResultSet::nextResultAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<bool> hasResult(static_cast<bool*>(data));
    afterCommon(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    return Napi::Boolean::New(env, *hasResult);
}

// Delivers a bound value on the calling thread: returned without a
// callback, handed to the callback at once with one.
Napi::Value ResultSet::doGetValueUsingBindCol(const Napi::CallbackInfo& info, int columnIndex, int callbackIndex) {
    Napi::Env env = info.Env();
    ErrorInfo error;
    Napi::Value value;
    {
        ConnectionLock lock(this);
        dbcapi_data_value view = boundValue(columnIndex);
        value = convertValue(env, view, columnIndex, error);
    }
    if (callbackIndex < 0) {
        if (error.isSet()) {
            throwError(info, error, -1);
            return env.Undefined();
        }
        return value;
    }
    int depth = _get_value_async_recurse_depth.load();
    while (!_get_value_async_recurse_depth.compare_exchange_weak(depth, depth + 1)) {
    }
    Napi::Function callback = info[callbackIndex].As<Napi::Function>();
    if (error.isSet()) {
        callback.Call({createError(env, error).Value()});
    } else {
        callback.Call({env.Undefined(), value});
    }
    return env.Undefined();
}

Napi::Value ResultSet::getValue(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {kAnyType, JS_FUNCTION};
    bool optional[] = {false, true};
    int callbackIndex = -1;
    int index = -1;
    if (!checkParameters(info, "getValue(colIndex[, callback])", 2, masks, nullptr, optional, nullptr)) {
        return env.Undefined();
    }
    callbackIndex = info.Length() > 1 && info[1].IsFunction() ? 1 : -1;
    if (!checkUsable(info, callbackIndex) || !checkColumnIndex(info, index, callbackIndex)) {
        return env.Undefined();
    }
    if (bound) {
        if (callbackIndex < 0 || _max_get_value_async_recurse_depth > _get_value_async_recurse_depth.load()) {
            return doGetValueUsingBindCol(info, index, callbackIndex);
        }
        _get_value_async_recurse_depth.store(0);
        auto* baton = new GetValueBaton;
        baton->columnIndex = index;
        {
            ConnectionLock lock(this);
            baton->value.copyFrom(boundValue(index));
        }
        return runWork<ResultSet>(info, callbackIndex, this, baton, nullptr, &ResultSet::getValueAfter,
                                  owningConnection());
    }
    auto* baton = new GetValueBaton;
    baton->columnIndex = index;
    return runWork<ResultSet>(info, callbackIndex, this, baton, &ResultSet::getValueWork, &ResultSet::getValueAfter,
                              owningConnection());
}

void ResultSet::getValueWork(ErrorInfo& error, void* data) {
    ConnectionLock lock(this);
    auto* baton = static_cast<GetValueBaton*>(data);
    if (!checkWorkState(error, lock.isValid())) {
        return;
    }
    dbcapi_data_value value;
    memset(&value, 0, sizeof(value));
    if (!g_api.dbcapi_get_column(stmt, baton->columnIndex, &value)) {
        getErrorMsg(lock.connection()->handle(), error);
        return;
    }
    baton->value.copyFrom(value);
}

Napi::Value ResultSet::getValueAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<GetValueBaton> baton(static_cast<GetValueBaton*>(data));
    afterCommon(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    if (baton->columnIndex >= columnCount) {
        getErrorMsg(JS_ERR_RESULTSET_CLOSED, error);
        return env.Undefined();
    }
    dbcapi_data_value value = baton->value.view();
    return convertValue(env, value, baton->columnIndex, error);
}

Napi::Value ResultSet::getValues(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    int callbackIndex = -1;
    bool hasOptions = false;
    if (info.Length() > 0 && info[0].IsFunction()) {
        callbackIndex = 0;
    } else {
        unsigned masks[] = {JS_OBJECT, JS_FUNCTION};
        bool optional[] = {true, true};
        bool present[] = {false, false};
        if (!checkParameters(info, "getValues([options][, callback])", 2, masks, &callbackIndex, optional,
                             present)) {
            return env.Undefined();
        }
        hasOptions = present[0];
    }
    if (!checkUsable(info, callbackIndex)) {
        return env.Undefined();
    }
    auto* baton = new GetValuesBaton;
    if (hasOptions) {
        convertToBool(info[0].As<Napi::Object>().Get("asArray"), baton->asArray);
        // A throwing getter: the script gets its exception, nothing is queued.
        if (env.IsExceptionPending()) {
            delete baton;
            return env.Undefined();
        }
    }
    if (!bound) {
        return runWork<ResultSet>(info, callbackIndex, this, baton, &ResultSet::getValuesWork,
                                  &ResultSet::getValuesAfter, owningConnection());
    }
    {
        ConnectionLock lock(this);
        baton->values.resize(columnCount);
        for (int i = 0; i < columnCount; i++) {
            baton->values[i].copyFrom(boundValue(i));
        }
    }
    if (callbackIndex >= 0) {
        return runWork<ResultSet>(info, callbackIndex, this, baton, nullptr, &ResultSet::getValuesAfter,
                                  owningConnection());
    }
    ErrorInfo error;
    Napi::Value result = getValuesAfter(error, baton, env);
    if (error.isSet()) {
        throwError(info, error, -1);
        return env.Undefined();
    }
    return result;
}

void ResultSet::getValuesWork(ErrorInfo& error, void* data) {
    ConnectionLock lock(this);
    auto* baton = static_cast<GetValuesBaton*>(data);
    if (!checkWorkState(error, lock.isValid())) {
        return;
    }
    try {
        baton->values.resize(columnCount);
    } catch (const std::bad_alloc&) {
        getErrorMsg(JS_ERR_OUT_OF_MEMORY, error);
        return;
    }
    for (int i = 0; i < columnCount; i++) {
        dbcapi_data_value value;
        memset(&value, 0, sizeof(value));
        if (!g_api.dbcapi_get_column(stmt, i, &value)) {
            getErrorMsg(lock.connection()->handle(), error);
            return;
        }
        baton->values[i].copyFrom(value);
    }
}

Napi::Value ResultSet::getValuesAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<GetValuesBaton> baton(static_cast<GetValuesBaton*>(data));
    afterCommon(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    if (baton->values.size() != static_cast<size_t>(columnCount)) {
        getErrorMsg(JS_ERR_RESULTSET_CLOSED, error);
        return env.Undefined();
    }
    Napi::Array array = Napi::Array::New(env, columnCount);
    Napi::Object object = Napi::Object::New(env);
    if (!baton->asArray) {
        initializeRenamedColumnNames();
    }
    for (int i = 0; i < columnCount; i++) {
        dbcapi_data_value value = baton->values[i].view();
        Napi::Value converted = convertValue(env, value, i, error);
        if (error.isSet()) {
            return env.Undefined();
        }
        if (baton->asArray) {
            array.Set(static_cast<uint32_t>(i), converted);
        } else {
            object.Set(columnKey(i), converted);
        }
    }
    return baton->asArray ? Napi::Value(array) : Napi::Value(object);
}

Napi::Value ResultSet::getData(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {kAnyType, JS_NUMBER, JS_BUFFER, JS_NUMBER, JS_NUMBER, JS_FUNCTION};
    bool optional[] = {false, false, false, false, false, true};
    int callbackIndex = -1;
    int index = -1;
    if (!checkParameters(info, kGetDataSignature, 6, masks, &callbackIndex, optional, nullptr) ||
        !checkUsable(info, callbackIndex) || !checkColumnIndex(info, index, callbackIndex)) {
        return env.Undefined();
    }
    int64_t dataOffset = 0;
    int64_t bufferOffset = 0;
    int64_t length = 0;
    const char* message = nullptr;
    if (!integerInRange(info[1], 0, kMaxSafeInteger, dataOffset)) {
        message = "Invalid dataOffset.";
    } else if (!integerInRange(info[3], 0, kMaxSafeInteger, bufferOffset)) {
        message = "Invalid bufferOffset.";
    } else if (!integerInRange(info[4], 1, kMaxSafeInteger, length)) {
        message = "Invalid length.";
    } else if (!info[2].IsTypedArray() ||
               static_cast<uint64_t>(bufferOffset + length) > info[2].As<Napi::TypedArray>().ByteLength()) {
        message = "getData buffer is not large enough to copy length bytes to bufferOffset.";
    }
    if (message != nullptr) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, message, "HY000", callbackIndex);
        return env.Undefined();
    }
    auto* baton = new GetDataBaton;
    baton->columnIndex = index;
    baton->dataOffset = static_cast<size_t>(dataOffset);
    baton->target.aim(info[2].As<Napi::TypedArray>(), static_cast<size_t>(bufferOffset), static_cast<size_t>(length),
                      callbackIndex < 0);
    return runWork<ResultSet>(info, callbackIndex, this, baton, &ResultSet::getDataWork, &ResultSet::getDataAfter,
                              owningConnection());
}

void ResultSet::getDataWork(ErrorInfo& error, void* data) {
    ConnectionLock lock(this);
    auto* baton = static_cast<GetDataBaton*>(data);
    if (!checkWorkState(error, lock.isValid())) {
        return;
    }
    char* bytes = baton->target.bytes(error);
    if (bytes == nullptr) {
        return;
    }
    baton->bytesRead = g_api.dbcapi_get_data(stmt, baton->columnIndex, baton->dataOffset, bytes,
                                             baton->target.length());
    if (baton->bytesRead == -1) {
        getErrorMsg(lock.connection()->handle(), error);
    }
}

Napi::Value ResultSet::getDataAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<GetDataBaton> baton(static_cast<GetDataBaton*>(data));
    afterCommon(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    if (!baton->target.deliver(static_cast<size_t>(baton->bytesRead), error)) {
        return env.Undefined();
    }
    return Napi::Number::New(env, baton->bytesRead);
}

Napi::Value ResultSet::getValueLength(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {kAnyType};
    int index = -1;
    ConnectionLock lock(this);
    if (!checkParameters(info, "getValueLength(colIndex)", 1, masks, nullptr, nullptr, nullptr) ||
        !checkUsable(info, -1) || !checkColumnIndex(info, index, -1)) {
        return env.Undefined();
    }
    dbcapi_data_info dataInfo;
    memset(&dataInfo, 0, sizeof(dataInfo));
    if (!g_api.dbcapi_get_data_info(stmt, index, &dataInfo)) {
        throwError(info, lock.connection()->handle(), -1);
        return env.Undefined();
    }
    return Napi::Number::New(env, static_cast<double>(dataInfo.data_size));
}

Napi::Value ResultSet::isNull(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {kAnyType};
    int index = -1;
    ConnectionLock lock(this);
    if (!checkParameters(info, "isNull(colIndex)", 1, masks, nullptr, nullptr, nullptr) || !checkUsable(info, -1) ||
        !checkColumnIndex(info, index, -1)) {
        return env.Undefined();
    }
    dbcapi_data_info dataInfo;
    memset(&dataInfo, 0, sizeof(dataInfo));
    if (!g_api.dbcapi_get_data_info(stmt, index, &dataInfo)) {
        throwError(info, lock.connection()->handle(), -1);
        return env.Undefined();
    }
    return Napi::Boolean::New(env, dataInfo.is_null != 0);
}

Napi::Value ResultSet::getColumnCount(const Napi::CallbackInfo& info) {
    clearWarnings();
    ConnectionLock lock(this);
    if (!checkUsable(info, -1)) {
        return info.Env().Undefined();
    }
    return Napi::Number::New(info.Env(), columnCount);
}

Napi::Value ResultSet::getColumnName(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {kAnyType};
    int index = -1;
    if (!checkParameters(info, "getColumnName(colIndex)", 1, masks, nullptr, nullptr, nullptr) || !isUsable()) {
        return env.Undefined();
    }
    ConnectionLock lock(this);
    if (!checkColumnIndex(info, index, -1)) {
        return env.Undefined();
    }
    const char* name = columnInfos[index]->name;
    return Napi::String::New(env, name != nullptr ? name : "");
}

Napi::Value ResultSet::getColumnInfo(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    ConnectionLock lock(this);
    Napi::Array result = Napi::Array::New(env, columnInfos.size());
    for (size_t i = 0; i < columnInfos.size(); i++) {
        Napi::Object column = Napi::Object::New(env);
        setColumnInfo(env, column, columnInfos[i]);
        result.Set(static_cast<uint32_t>(i), column);
    }
    return result;
}

Napi::Value ResultSet::getRowCount(const Napi::CallbackInfo& info) {
    clearWarnings();
    ConnectionLock lock(this);
    if (!checkUsable(info, -1)) {
        return info.Env().Undefined();
    }
    return Napi::Number::New(info.Env(), g_api.dbcapi_num_rows(stmt));
}

Napi::Value ResultSet::hasNextResult(const Napi::CallbackInfo& info) {
    clearWarnings();
    ConnectionLock lock(this);
    if (!checkUsable(info, -1)) {
        return info.Env().Undefined();
    }
    return Napi::Boolean::New(info.Env(), g_api.dbcapi_has_next_result(stmt) != 0);
}

Napi::Value ResultSet::getServerCPUTime(const Napi::CallbackInfo& info) {
    clearWarnings();
    ConnectionLock lock(this);
    if (!checkUsable(info, -1)) {
        return info.Env().Undefined();
    }
    return Napi::Number::New(info.Env(), static_cast<double>(g_api.dbcapi_get_resultset_server_cpu_time(stmt)));
}

Napi::Value ResultSet::getServerMemoryUsage(const Napi::CallbackInfo& info) {
    clearWarnings();
    ConnectionLock lock(this);
    if (!checkUsable(info, -1)) {
        return info.Env().Undefined();
    }
    return Napi::Number::New(info.Env(),
                             static_cast<double>(g_api.dbcapi_get_resultset_server_memory_usage(stmt)));
}

Napi::Value ResultSet::getServerProcessingTime(const Napi::CallbackInfo& info) {
    clearWarnings();
    ConnectionLock lock(this);
    if (!checkUsable(info, -1)) {
        return info.Env().Undefined();
    }
    return Napi::Number::New(info.Env(),
                             static_cast<double>(g_api.dbcapi_get_resultset_server_processing_time(stmt)));
}
