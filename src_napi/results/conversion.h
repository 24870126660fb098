// Database values and column descriptions as JavaScript values. JavaScript
// thread only; the native half (type names, column-info copies, fetch
// buffers) is db_values.h.
#ifndef ZELK_CONVERSION_H
#define ZELK_CONVERSION_H

#include <napi.h>

#include "db_values.h"
#include "dbcapi/dbcapi.h"
#include "error_info.h"

// errorCode is 0 on success, -20018 when a string or buffer of the value's
// size cannot be made (result null) or -20019 for an unknown data type
// (result undefined). Numbers follow value_rules.h.
Napi::Value getReturnValue(Napi::Env& env, dbcapi_data_value& value, dbcapi_native_type nativeType,
                           int& errorCode);

// Sets columnName, originalColumnName, tableName and ownerName (when
// present), type, typeName, nativeType, nativeTypeName, precision, scale and
// nullable on target, in this order.
void setColumnInfo(Napi::Env& env, Napi::Object& target, dbcapi_column_info* info);

#endif
