// Batched reading of a result set: up to N rows per worker round trip,
// written into the binary transport that lib/decoder.js turns into rows.
#include <new>
#include <string>
#include <vector>

#include "arguments.h"
#include "async_worker.h"
#include "connection.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "fetch.h"
#include "result_builder.h"
#include "resultset.h"

namespace {

const uint32_t kMaxBatchRows = 65536;

struct FetchRowsBaton {
    uint32_t maxRows = 1;
    InternalResultSetBuilder builder;
};

}  // namespace

Napi::Value ResultSet::fetchRows(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    clearWarnings();
    unsigned masks[] = {JS_NUMBER, JS_FUNCTION};
    int callbackIndex = -1;
    if (!checkParameters(info, "fetchRows(maxRows, callback)", 2, masks, &callbackIndex, nullptr, nullptr) ||
        !checkUsable(info, callbackIndex)) {
        return env.Undefined();
    }
    int64_t maxRows = info[0].As<Napi::Number>().Int64Value();
    if (maxRows < 1 || maxRows > kMaxBatchRows) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, "Invalid maxRows.", "HY000", callbackIndex);
        return env.Undefined();
    }
    auto* baton = new FetchRowsBaton;
    baton->maxRows = static_cast<uint32_t>(maxRows);
    return runWork<ResultSet>(info, callbackIndex, this, baton, &ResultSet::fetchRowsWork,
                              &ResultSet::fetchRowsAfter, owningConnection());
}

// Names are renamed as getValues renames them; no table names, since
// getValues does not nest.
void ResultSet::appendBatchNames(InternalResultSetBuilder& builder) const {
    std::vector<const char*> names;
    for (int i = 0; i < columnCount; i++) {
        names.push_back(columnInfos[i]->name);
    }
    for (const std::string& key : makeColumnKeys(names, {}, false)) {
        builder.appendColumnName(key.data(), key.size());
    }
    for (int i = 0; i < columnCount; i++) {
        builder.appendColumnTableName(nullptr, 0);
    }
}

// Appends the values of the row just fetched; false when the library
// failed or a value has no transport form.
bool ResultSet::appendCurrentRow(InternalResultSetBuilder& builder) {
    for (int c = 0; c < columnCount; c++) {
        ValueView view;
        // A value the library kept aside from its bound slot is read like an unbound one.
        if (bound && !isAside(*boundValues[c], 0)) {
            view = boundValueView(*boundValues[c], 0);
        } else {
            dbcapi_data_value value = {};
            if (!g_api.dbcapi_get_column(stmt, static_cast<uint32_t>(c), &value)) {
                return false;
            }
            view = fetchedValueView(value);
        }
        if (!builder.appendValue(view, columnInfos[c]->native_type)) {
            return false;
        }
    }
    builder.endRow();
    return true;
}

// Stops at the end of the rows, so a batch shorter than asked for is the last.
void ResultSet::fetchRowsWork(ErrorInfo& error, void* data) {
    ConnectionLock lock(this);
    auto* baton = static_cast<FetchRowsBaton*>(data);
    if (!checkWorkState(error, lock.isValid())) {
        return;
    }
    fetched = true;
    if (columnCount <= 0) {
        return;
    }
    dbcapi_connection* conn = lock.connection()->handle();
    InternalResultSetBuilder& builder = baton->builder;
    try {
        appendBatchNames(builder);
        for (uint32_t r = 0; r < baton->maxRows; r++) {
            currentRow = 0;
            if (!g_api.dbcapi_fetch_next(stmt)) {
                getErrorMsg(conn, error);
                if (error.code == DBCAPI_NO_MORE_ROWS) {
                    error.clearMessage();
                }
                return;
            }
            if (!appendCurrentRow(builder)) {
                getErrorMsg(conn, error);
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        builder.noteAllocationFailure();
    }
    if (!error.isSet() && builder.hasFailed()) {
        builder.fillError(error);
    }
    if (!error.isSet() && builder.rowCount() < baton->maxRows) {
        getErrorMsg(JS_ERR_GENERAL_ERROR, error);
    }
}

// The transport buffer, or an empty array for a result without columns.
Napi::Value ResultSet::fetchRowsAfter(ErrorInfo& error, void* data, Napi::Env env) {
    SmartPointer<FetchRowsBaton> baton(static_cast<FetchRowsBaton*>(data));
    afterCommon(env);
    if (error.isSet()) {
        return env.Undefined();
    }
    napi_value buffer = transportBuffer(env, baton->builder, error);
    if (buffer == nullptr) {
        return error.isSet() ? env.Undefined() : Napi::Array::New(env, 0);
    }
    return Napi::Value(env, buffer);
}
