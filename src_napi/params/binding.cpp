#include "binding.h"

#include <stdio.h>
#include <string.h>

#include <cmath>
#include <new>
#include <string>

#include "dbcapi/DBCAPI_DLL.h"
#include "js_errors.h"

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

bool bigIntValue(const Napi::Value& value, int64_t& out) {
    bool lossless = false;
    out = value.As<Napi::BigInt>().Int64Value(&lossless);
    return lossless;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned shifted = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    month = shifted < 10 ? shifted + 3 : shifted - 9;
    year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

// A Date as its instant in UTC, in the text form of TIMESTAMP values
// ("2024-02-29 13:45:00.250"); false for an invalid Date or a year outside
// 1 to 9999, which that form cannot hold.
bool dateText(const Napi::Value& value, std::string& out) {
    double ms = value.As<Napi::Date>().ValueOf();
    if (!std::isfinite(ms)) {
        return false;
    }
    const int64_t msPerDay = 86400000;
    int64_t total = static_cast<int64_t>(ms);
    int64_t days = total / msPerDay - (total % msPerDay < 0 ? 1 : 0);
    int64_t inDay = total - days * msPerDay;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    if (year < 1 || year > 9999) {
        return false;
    }
    char text[32];
    int length = snprintf(text, sizeof(text), "%04d-%02u-%02u %02d:%02d:%02d.%03d", static_cast<int>(year), month,
                          day, static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
                          static_cast<int>(inDay / 1000 % 60), static_cast<int>(inDay % 1000));
    out.assign(text, static_cast<size_t>(length));
    return true;
}

bool hasExactBinding(const Napi::Value& value) {
    int64_t integer = 0;
    std::string text;
    if (value.IsBigInt()) {
        return bigIntValue(value, integer);
    }
    return !value.IsDate() || dateText(value, text);
}

// What a value binds as, read with one type query.
enum class ParamKind { Null, Boolean, Number, String, BigInt, Date, Bytes, DataAtExec, Refused };

ParamKind paramKind(const Napi::Value& value) {
    switch (value.Type()) {
        case napi_null:
        case napi_undefined: return ParamKind::Null;
        case napi_boolean: return ParamKind::Boolean;
        case napi_number: return ParamKind::Number;
        case napi_string: return ParamKind::String;
        case napi_bigint: return ParamKind::BigInt;
        case napi_object:
        case napi_function:
            if (value.IsDate()) return ParamKind::Date;
            if (isNodeBuffer(value.Env(), value)) return ParamKind::Bytes;
            return isDataAtExecRequest(value.As<Napi::Object>()) ? ParamKind::DataAtExec : ParamKind::Refused;
        default: return ParamKind::Refused;
    }
}

// False for a BigInt or Date without an exact binding.
bool fillRecord(dbcapi_bind_data* record, const Napi::Value& value, ParamKind kind) {
    switch (kind) {
        case ParamKind::Null:
            record->value.type = DBCAPI_VAL32;
            *record->value.is_null = 1;
            return true;
        case ParamKind::Boolean: {
            int32_t flag = value.As<Napi::Boolean>().Value() ? 1 : 0;
            setBuffer(record, DBCAPI_VAL32, &flag, sizeof(flag), sizeof(flag));
            return true;
        }
        case ParamKind::Number: {
            double number = value.As<Napi::Number>().DoubleValue();
            setBuffer(record, DBCAPI_DOUBLE, &number, sizeof(number), sizeof(number));
            return true;
        }
        case ParamKind::String: {
            std::string text = value.As<Napi::String>().Utf8Value();
            setBuffer(record, DBCAPI_STRING, text.c_str(), text.size() + 1, text.size());
            return true;
        }
        case ParamKind::BigInt: {
            int64_t integer = 0;
            if (!bigIntValue(value, integer)) return false;
            setBuffer(record, DBCAPI_VAL64, &integer, sizeof(integer), sizeof(integer));
            return true;
        }
        case ParamKind::Date: {
            std::string text;
            if (!dateText(value, text)) return false;
            setBuffer(record, DBCAPI_STRING, text.c_str(), text.size() + 1, text.size());
            return true;
        }
        case ParamKind::Bytes: {
            Napi::Buffer<char> bytes = value.As<Napi::Buffer<char>>();
            setBuffer(record, DBCAPI_BINARY, bytes.Data(), bytes.Length(), bytes.Length());
            return true;
        }
        case ParamKind::DataAtExec:
            record->value.type = DBCAPI_INVALID_TYPE;
            *record->value.length = DBCAPI_DATA_AT_EXEC_LENGTH;
            return true;
        default: return false;
    }
}

}  // namespace

dbcapi_bind_data* getBindParameter(const Napi::Value& value) {
    ParamKind kind = value.IsEmpty() ? ParamKind::Refused : paramKind(value);
    if (kind == ParamKind::Refused) {
        return nullptr;
    }
    dbcapi_bind_data* record = nullptr;
    try {
        record = newBindRecord();
        if (fillRecord(record, value, kind)) {
            return record;
        }
    } catch (const std::bad_alloc&) {
        // Refused like any value that cannot be bound.
    }
    clearParameter(record, true);
    return nullptr;
}

void getErrorMsgRefusedParameter(const Napi::Value& value, int index, ErrorInfo& e) {
    if (value.IsEmpty() || !(value.IsBigInt() || value.IsDate()) || hasExactBinding(value)) {
        getErrorMsgBindingParam(e, index);
        return;
    }
    std::string what = value.IsBigInt() ? "a BigInt outside the signed 64-bit range"
                                        : "an invalid Date or one outside the years 1 to 9999";
    e = ErrorInfo(JS_ERR_INVALID_ARGUMENTS, "Can not bind parameter(" + std::to_string(index) + "): " + what + ".",
                  "HY000");
}

namespace {

bool getPositionalParameters(const Napi::Array& params, std::vector<dbcapi_bind_data*>& out, ErrorInfo& e) {
    uint32_t count = params.Length();
    for (uint32_t i = 0; i < count; i++) {
        Napi::Value value = params.Get(i);
        dbcapi_bind_data* record = getBindParameter(value);
        if (record == nullptr) {
            getErrorMsgRefusedParameter(value, static_cast<int>(i), e);
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
        Napi::Value value;
        if (description.name != nullptr && params.Has(description.name)) {
            value = params.Get(description.name);
            record = getBindParameter(value);
        }
        if (record == nullptr) {
            getErrorMsgRefusedParameter(value, j, e);
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
