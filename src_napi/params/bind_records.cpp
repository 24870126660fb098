#include "bind_records.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "dbcapi/DBCAPI_DLL.h"

dbcapi_bind_data* newBindRecord() {
    dbcapi_bind_data* record = new dbcapi_bind_data();
    try {
        record->value.length = new size_t(0);
        record->value.is_null = new dbcapi_bool(0);
    } catch (...) {
        clearParameter(record, true);
        throw;
    }
    return record;
}

void clearParameter(dbcapi_bind_data* param, bool freeRecord) {
    if (param == nullptr) {
        return;
    }
    delete[] param->value.buffer;
    delete param->value.length;
    delete param->value.is_null;
    param->value.buffer = nullptr;
    param->value.length = nullptr;
    param->value.is_null = nullptr;
    param->value.buffer_size = 0;
    if (freeRecord) {
        delete param;
    }
}

void clearParameters(std::vector<dbcapi_bind_data*>& params) {
    for (dbcapi_bind_data* param : params) {
        clearParameter(param, true);
    }
    params.clear();
}

void clearParameters(dbcapi_bind_data** params, int count) {
    if (params == nullptr) {
        return;
    }
    for (int i = 0; i < count; i++) {
        clearParameter(params[i], true);
        params[i] = nullptr;
    }
}

namespace {

// Fills an empty copy (no owned pointers yet) from source.
void deepCopyInto(dbcapi_bind_data* copy, const dbcapi_bind_data* source) {
    if (source->value.buffer != nullptr) {
        copy->value.buffer = new char[source->value.buffer_size];
        memcpy(copy->value.buffer, source->value.buffer, source->value.buffer_size);
    }
    if (source->value.length != nullptr) {
        copy->value.length = new size_t(*source->value.length);
    }
    if (source->value.is_null != nullptr) {
        copy->value.is_null = new dbcapi_bool(*source->value.is_null);
    }
}

}  // namespace

void copyParameters(std::vector<dbcapi_bind_data*>& target, const std::vector<dbcapi_bind_data*>& source) {
    clearParameters(target);
    target.reserve(source.size());
    for (const dbcapi_bind_data* original : source) {
        dbcapi_bind_data* copy = new dbcapi_bind_data(*original);
        copy->value.buffer = nullptr;
        copy->value.length = nullptr;
        copy->value.is_null = nullptr;
        target.push_back(copy);
        deepCopyInto(copy, original);
    }
}

namespace {

bool isInput(dbcapi_data_direction direction) {
    return direction == DBCAPI_DD_INPUT || direction == DBCAPI_DD_INPUT_OUTPUT;
}

}  // namespace

bool checkParameterCount(ErrorInfo& e, int supplied, dbcapi_stmt* stmt) {
    int inputs = 0;
    int count = g_api.dbcapi_num_params(stmt);
    for (int i = 0; i < count; i++) {
        dbcapi_bind_data description = {};
        if (g_api.dbcapi_describe_bind_param(stmt, static_cast<uint32_t>(i), &description) &&
            isInput(description.direction)) {
            inputs++;
        }
    }
    if (supplied > inputs) {
        getErrorMsg(JS_ERR_TOO_MANY_PARAMETERS, e);
        return false;
    }
    if (supplied < inputs) {
        getErrorMsg(JS_ERR_NOT_ENOUGH_PARAMETERS, e);
        return false;
    }
    return true;
}

namespace {

dbcapi_bind_data* describedRecord(const dbcapi_bind_data& description) {
    dbcapi_bind_data* record = newBindRecord();
    record->direction = description.direction;
    record->value.type = description.value.type;
    record->name = description.name;
    return record;
}

// The whole text, blanks before a sign aside, must be a 32-bit integer.
bool parseInt32(const dbcapi_data_value& text, int32_t& out) {
    size_t length = text.length != nullptr ? *text.length : 0;
    if (text.buffer == nullptr || length == 0) {
        return false;
    }
    std::string digits(text.buffer, length);
    char* end = nullptr;
    errno = 0;
    long number = strtol(digits.c_str(), &end, 10);
    if (end == digits.c_str() || *end != '\0' || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) {
        return false;
    }
    out = static_cast<int32_t>(number);
    return true;
}

// A text for an integer parameter becomes a 4-byte integer in the described
// record. Returns false when the text is not an integer.
bool storeTextAsInt(dbcapi_bind_data* record, const dbcapi_bind_data* text) {
    int32_t number = 0;
    bool ok = parseInt32(text->value, number);
    record->value.buffer = new char[sizeof(number)];
    memcpy(record->value.buffer, &number, sizeof(number));
    record->value.buffer_size = sizeof(number);
    *record->value.length = sizeof(number);
    return ok;
}

}  // namespace

int getBindParameters(std::vector<dbcapi_bind_data*>& values, std::vector<dbcapi_bind_data*>& out,
                      dbcapi_stmt* stmt) {
    clearParameters(out);
    int count = g_api.dbcapi_num_params(stmt);
    out.reserve(count > 0 ? static_cast<size_t>(count) : 0);
    size_t consumed = 0;
    int failedIndex = -1;
    for (int j = 0; j < count && failedIndex < 0; j++) {
        dbcapi_bind_data description = {};
        g_api.dbcapi_describe_bind_param(stmt, static_cast<uint32_t>(j), &description);
        if (!isInput(description.direction) || consumed == values.size()) {
            out.push_back(describedRecord(description));
            continue;
        }
        dbcapi_bind_data* value = values[consumed++];
        if (value->value.type == DBCAPI_STRING && description.value.type == DBCAPI_VAL32) {
            dbcapi_bind_data* record = describedRecord(description);
            out.push_back(record);
            if (!storeTextAsInt(record, value)) {
                failedIndex = j;
            }
            clearParameter(value, true);
            continue;
        }
        // A Buffer stays BINARY whatever the description: the library binds
        // bytes as text itself where the parameter's type is not binary.
        value->direction = description.direction;
        out.push_back(value);
    }
    values.erase(values.begin(), values.begin() + static_cast<long>(consumed));
    return failedIndex;
}

namespace {

// Large objects are read back in pieces, so they need no output buffer.
bool isReadInPieces(dbcapi_native_type type) {
    return type == DBCAPI_NATIVE_CLOB || type == DBCAPI_NATIVE_NCLOB || type == DBCAPI_NATIVE_BLOB ||
           type == DBCAPI_NATIVE_ST_GEOMETRY || type == DBCAPI_NATIVE_ST_POINT;
}

// Output values may be longer than the input; strings may take 4 bytes per
// character.
void ensureOutputBuffer(dbcapi_bind_data* record, size_t maxSize) {
    bool isString = record->value.type == DBCAPI_STRING;
    size_t needed = isString ? 4 * maxSize : maxSize;
    if (record->value.buffer != nullptr && record->value.buffer_size > needed) {
        return;
    }
    char* buffer = new char[needed + 1]();
    if (record->value.buffer != nullptr) {
        size_t keep = record->value.buffer_size < needed + 1 ? record->value.buffer_size : needed + 1;
        memcpy(buffer, record->value.buffer, keep);
        delete[] record->value.buffer;
    }
    record->value.buffer = buffer;
    record->value.buffer_size = needed + 1;
}

// The library's error of conn; a refusal it did not explain is still a
// failure.
void bindFailure(dbcapi_connection* conn, ErrorInfo& e) {
    getErrorMsg(conn, e);
    if (!e.isSet()) {
        getErrorMsg(JS_ERR_BINDING_PARAMETERS, e);
    }
}

}  // namespace

bool bindParameters(dbcapi_connection* conn, dbcapi_stmt* stmt, std::vector<dbcapi_bind_data*>& records,
                    ErrorInfo& e, bool& hasDataAtExec) {
    hasDataAtExec = false;
    bool hasOutputOnly = false;
    for (size_t i = 0; i < records.size(); i++) {
        uint32_t index = static_cast<uint32_t>(i);
        dbcapi_bind_param_info info = {};
        dbcapi_bind_data description = {};
        if (!g_api.dbcapi_get_bind_param_info(stmt, index, &info) ||
            !g_api.dbcapi_describe_bind_param(stmt, index, &description)) {
            bindFailure(conn, e);
            return false;
        }
        dbcapi_bind_data* record = records[i];
        if (description.direction == DBCAPI_DD_OUTPUT || description.direction == DBCAPI_DD_INPUT_OUTPUT) {
            hasOutputOnly = hasOutputOnly || description.direction == DBCAPI_DD_OUTPUT;
            if (!isReadInPieces(info.native_type)) {
                ensureOutputBuffer(record, info.max_size);
            }
        }
        description.value.buffer = record->value.buffer;
        description.value.buffer_size = record->value.buffer_size;
        description.value.length = record->value.length;
        description.value.is_null = record->value.is_null;
        // Streamed chunks are Buffers: bytes, whatever the description.
        if (record->value.type == DBCAPI_INVALID_TYPE) {
            hasDataAtExec = true;
            description.value.type = DBCAPI_BINARY;
        } else {
            description.value.type = record->value.type;
        }
        if (!g_api.dbcapi_bind_param(stmt, index, &description)) {
            bindFailure(conn, e);
            return false;
        }
    }
    if (hasOutputOnly && hasDataAtExec) {
        getErrorMsg(JS_ERR_BINDING_PARAMETERS, e);
        return false;
    }
    return true;
}
