#include "conversion.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "value_rules.h"

namespace {

// The byte count of a text or binary value, or -1 when it cannot be one
// JavaScript value. Never more than the buffer holds.
int64_t byteCount(const dbcapi_data_value& value) {
    if (value.buffer == nullptr) {
        return 0;
    }
    int64_t count;
    if (value.length != nullptr) {
        count = *value.length > INT_MAX ? -1 : static_cast<int64_t>(*value.length);
    } else if (value.type == DBCAPI_STRING) {
        count = static_cast<int64_t>(strlen(value.buffer));
    } else {
        count = 0;
    }
    if (count < 0 || count > INT_MAX) {
        return -1;
    }
    if (value.buffer_size > 0 && static_cast<uint64_t>(count) > value.buffer_size) {
        count = static_cast<int64_t>(value.buffer_size);
    }
    return count;
}

// Failure to create a value is an error value, not a pending exception.
void dropPendingException(napi_env env) {
    bool pending = false;
    if (napi_is_exception_pending(env, &pending) == napi_ok && pending) {
        napi_value ignored;
        napi_get_and_clear_last_exception(env, &ignored);
    }
}

Napi::Value stringValue(Napi::Env& env, const dbcapi_data_value& value, int& errorCode) {
    int64_t count = byteCount(value);
    napi_value result = nullptr;
    if (count < 0 ||
        napi_create_string_utf8(env, count > 0 ? value.buffer : "", static_cast<size_t>(count), &result) != napi_ok) {
        dropPendingException(env);
        errorCode = JS_ERR_STRING_TOO_LONG;
        return env.Null();
    }
    return Napi::Value(env, result);
}

Napi::Value binaryValue(Napi::Env& env, const dbcapi_data_value& value, int& errorCode) {
    int64_t count = byteCount(value);
    napi_value result = nullptr;
    void* copied = nullptr;
    if (count < 0 ||
        napi_create_buffer_copy(env, static_cast<size_t>(count), value.buffer, &copied, &result) != napi_ok) {
        dropPendingException(env);
        errorCode = JS_ERR_STRING_TOO_LONG;
        return env.Null();
    }
    return Napi::Value(env, result);
}

Napi::Value int64Value(Napi::Env& env, int64_t number) {
    if (!isSafeInteger(number)) {
        return Napi::String::New(env, std::to_string(number));
    }
    return Napi::Number::New(env, static_cast<double>(number));
}

Napi::Value uint64Value(Napi::Env& env, uint64_t number) {
    if (!isSafeInteger(number)) {
        return Napi::String::New(env, std::to_string(number));
    }
    return Napi::Number::New(env, static_cast<double>(number));
}

Napi::Value smallIntValue(Napi::Env& env, int32_t number, dbcapi_native_type nativeType) {
    if (nativeType == DBCAPI_NATIVE_BOOLEAN) {
        return Napi::Boolean::New(env, number > 0);
    }
    return Napi::Number::New(env, number);
}

// Fixed-size numbers; a value without a buffer has no data and reads as null.
Napi::Value numericValue(Napi::Env& env, dbcapi_data_value& value, dbcapi_native_type nativeType) {
    if (value.buffer == nullptr) {
        return env.Null();
    }
    DbNumber number = readNumber(value.type, value.buffer);
    switch (number.kind) {
        case NK_DOUBLE: return Napi::Number::New(env, number.real);
        case NK_INT64: return int64Value(env, number.signed64);
        case NK_UINT64: return uint64Value(env, number.unsigned64);
        default: return smallIntValue(env, number.small, nativeType);
    }
}

}  // namespace

Napi::Value getReturnValue(Napi::Env& env, dbcapi_data_value& value, dbcapi_native_type nativeType,
                           int& errorCode) {
    errorCode = 0;
    if (value.is_null != nullptr && *value.is_null != 0) {
        return env.Null();
    }
    switch (value.type) {
        case DBCAPI_INVALID_TYPE:
            return env.Null();
        case DBCAPI_BINARY:
            return binaryValue(env, value, errorCode);
        case DBCAPI_STRING:
            return stringValue(env, value, errorCode);
        default:
            break;
    }
    if (numberKindOf(value.type) != NK_NONE) {
        return numericValue(env, value, nativeType);
    }
    errorCode = JS_ERR_INVALID_DATA_TYPE;
    return env.Undefined();
}

namespace {

Napi::String textOf(Napi::Env& env, const char* text) { return Napi::String::New(env, text != nullptr ? text : ""); }

}  // namespace

void setColumnInfo(Napi::Env& env, Napi::Object& target, dbcapi_column_info* info) {
    target.Set("columnName", textOf(env, info->name));
    target.Set("originalColumnName", textOf(env, info->column_name));
    if (info->table_name != nullptr) {
        target.Set("tableName", textOf(env, info->table_name));
    }
    if (info->owner_name != nullptr) {
        target.Set("ownerName", textOf(env, info->owner_name));
    }
    target.Set("type", Napi::Number::New(env, info->type));
    target.Set("typeName", Napi::String::New(env, getTypeName(info->type)));
    target.Set("nativeType", Napi::Number::New(env, info->native_type));
    target.Set("nativeTypeName", Napi::String::New(env, getNativeTypeName(info->native_type)));
    target.Set("precision", Napi::Number::New(env, info->precision));
    target.Set("scale", Napi::Number::New(env, info->scale));
    target.Set("nullable", Napi::Number::New(env, info->nullable != 0 ? 1 : 0));
}
