#include "binding.h"

#include <string.h>

#include <new>
#include <string>

#include "dbcapi/DBCAPI_DLL.h"
#include "errors.h"

namespace {

void setBuffer(dbcapi_bind_data* record, dbcapi_data_type type, const void* data, size_t size, size_t length) {
    record->value.type = type;
    record->value.buffer = new char[size];
    if (size > 0) {  // an empty Buffer has no data pointer
        memcpy(record->value.buffer, data, size);
    }
    record->value.buffer_size = size;
    *record->value.length = length;
}

// An object such as {sendParameterData: true} asks for the value to be sent
// later in chunks.
bool isDataAtExecRequest(const Napi::Object& object) {
    Napi::Array names = object.GetPropertyNames();
    if (names.IsEmpty()) {
        return false;
    }
    for (uint32_t i = 0; i < names.Length(); i++) {
        Napi::Value name = names.Get(i);
        std::string nameText;
        convertToString(name, nameText);
        if (!compareString(nameText, "sendParameterData", false)) {
            continue;
        }
        std::string valueText;
        convertToString(object.Get(name), valueText);
        if (compareString(valueText, "true", false)) {
            return true;
        }
    }
    return false;
}

void fillRecord(dbcapi_bind_data* record, const Napi::Value& value) {
    if (value.IsBoolean()) {
        int32_t flag = value.As<Napi::Boolean>().Value() ? 1 : 0;
        setBuffer(record, DBCAPI_VAL32, &flag, sizeof(flag), sizeof(flag));
    } else if (value.IsNumber()) {
        double number = value.As<Napi::Number>().DoubleValue();
        setBuffer(record, DBCAPI_DOUBLE, &number, sizeof(number), sizeof(number));
    } else if (value.IsString()) {
        std::string text = value.As<Napi::String>().Utf8Value();
        setBuffer(record, DBCAPI_STRING, text.c_str(), text.size() + 1, text.size());
    } else if (isNodeBuffer(value.Env(), value)) {
        Napi::Buffer<char> bytes = value.As<Napi::Buffer<char>>();
        setBuffer(record, DBCAPI_BINARY, bytes.Data(), bytes.Length(), bytes.Length());
    } else {
        record->value.type = DBCAPI_INVALID_TYPE;
        *record->value.length = DBCAPI_DATA_AT_EXEC_LENGTH;
    }
}

bool isBindable(const Napi::Value& value) {
    if (value.IsNull() || value.IsUndefined() || value.IsBoolean() || value.IsNumber() || value.IsString() ||
        isNodeBuffer(value.Env(), value)) {
        return true;
    }
    return value.IsObject() && isDataAtExecRequest(value.As<Napi::Object>());
}

}  // namespace

dbcapi_bind_data* getBindParameter(const Napi::Value& value) {
    if (value.IsEmpty() || !isBindable(value)) {
        return nullptr;
    }
    dbcapi_bind_data* record = nullptr;
    try {
        record = newBindRecord();
        if (value.IsNull() || value.IsUndefined()) {
            record->value.type = DBCAPI_VAL32;
            *record->value.is_null = 1;
        } else {
            fillRecord(record, value);
        }
    } catch (const std::bad_alloc&) {
        // Refused like any value that cannot be bound.
        clearParameter(record, true);
        return nullptr;
    }
    return record;
}

namespace {

bool getPositionalParameters(const Napi::Array& params, std::vector<dbcapi_bind_data*>& out, ErrorInfo& e) {
    for (uint32_t i = 0; i < params.Length(); i++) {
        dbcapi_bind_data* record = getBindParameter(params.Get(i));
        if (record == nullptr) {
            getErrorMsgBindingParam(e, static_cast<int>(i));
            return false;
        }
        out.push_back(record);
    }
    return true;
}

bool getNamedParameters(const Napi::Object& params, std::vector<dbcapi_bind_data*>& out, dbcapi_stmt* stmt,
                        ErrorInfo& e) {
    int count = g_api.dbcapi_num_params(stmt);
    for (int j = 0; j < count; j++) {
        dbcapi_bind_data description = {};
        g_api.dbcapi_describe_bind_param(stmt, static_cast<uint32_t>(j), &description);
        if (description.direction != DBCAPI_DD_INPUT && description.direction != DBCAPI_DD_INPUT_OUTPUT) {
            continue;
        }
        dbcapi_bind_data* record = nullptr;
        if (description.name != nullptr && params.Has(description.name)) {
            record = getBindParameter(params.Get(description.name));
        }
        if (record == nullptr) {
            getErrorMsgBindingParam(e, j);
            return false;
        }
        out.push_back(record);
    }
    return true;
}

}  // namespace

bool getInputParameters(const Napi::Value& params, std::vector<dbcapi_bind_data*>& out, dbcapi_stmt* stmt,
                        ErrorInfo& e) {
    clearParameters(out);
    bool ok = true;
    if (params.IsArray()) {
        ok = getPositionalParameters(params.As<Napi::Array>(), out, e);
    } else if (params.IsObject() && stmt != nullptr) {
        ok = getNamedParameters(params.As<Napi::Object>(), out, stmt, e);
    }
    if (!ok) {
        clearParameters(out);
    }
    return ok;
}

bool getExecuteOptions(const Napi::Object& options, ExecuteOptions* executeOptions) {
    Napi::Env env = options.Env();
    Napi::Array names = options.GetPropertyNames();
    if (names.IsEmpty()) {
        return false;
    }
    for (uint32_t i = 0; i < names.Length(); i++) {
        Napi::Value name = names.Get(i);
        std::string nameText;
        std::string valueText;
        convertToString(name, nameText);
        convertToString(options.Get(name), valueText);
        bool on = compareString(valueText, "true", false);
        if (compareString(nameText, "nestTables", false)) {
            executeOptions->nestTables = on;
        } else if (compareString(nameText, "rowsAsArray", false)) {
            executeOptions->rowsAsArray = on;
        } else if (compareString(nameText, "fastInternalRows", false)) {
            executeOptions->fastInternalRows = on;
        }
    }
    return !env.IsExceptionPending();
}
