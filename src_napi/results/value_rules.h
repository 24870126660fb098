// The rules every output path follows when a database value becomes a
// JavaScript value, and the column types that cannot be fetched in one piece.
#ifndef ZELK_VALUE_RULES_H
#define ZELK_VALUE_RULES_H

#include <stdint.h>
#include <string.h>

#include "dbcapi/dbcapi.h"

// Integers beyond 2^53 - 1 cannot be numbers without losing digits: they
// become decimal text.
const double kMaxSafeInteger = 9007199254740991.0;

inline bool isSafeInteger(int64_t value) {
    double asDouble = static_cast<double>(value);
    return asDouble >= -kMaxSafeInteger && asDouble <= kMaxSafeInteger;
}

inline bool isSafeInteger(uint64_t value) { return static_cast<double>(value) <= kMaxSafeInteger; }

// What a fixed-size number type becomes: a double, a 64-bit integer (a
// number while safe, else decimal text) or a small integer (a boolean for
// BOOLEAN columns). NK_NONE: not a fixed-size number.
enum NumberKind { NK_NONE, NK_DOUBLE, NK_INT64, NK_UINT64, NK_SMALL };

inline NumberKind numberKindOf(dbcapi_data_type type) {
    switch (type) {
        case DBCAPI_DOUBLE:
        case DBCAPI_FLOAT: return NK_DOUBLE;
        case DBCAPI_VAL64: return NK_INT64;
        case DBCAPI_UVAL64:
        case DBCAPI_UVAL32: return NK_UINT64;
        case DBCAPI_VAL32:
        case DBCAPI_VAL16:
        case DBCAPI_UVAL16:
        case DBCAPI_VAL8:
        case DBCAPI_UVAL8: return NK_SMALL;
        default: return NK_NONE;
    }
}

// A fixed-size number read from a value's buffer (which need not be aligned);
// only the member of its kind is set. 8-bit values read unsigned.
struct DbNumber {
    NumberKind kind = NK_NONE;
    double real = 0;
    int64_t signed64 = 0;
    uint64_t unsigned64 = 0;
    int32_t small = 0;
};

// Bound buffers carry no alignment promise.
template <typename T>
inline T readUnaligned(const char* data) {
    T value;
    memcpy(&value, data, sizeof(T));
    return value;
}

inline DbNumber readNumber(dbcapi_data_type type, const char* data) {
    DbNumber number;
    number.kind = numberKindOf(type);
    switch (type) {
        case DBCAPI_DOUBLE: number.real = readUnaligned<double>(data); break;
        case DBCAPI_FLOAT: number.real = readUnaligned<float>(data); break;
        case DBCAPI_VAL64: number.signed64 = readUnaligned<int64_t>(data); break;
        case DBCAPI_UVAL64: number.unsigned64 = readUnaligned<uint64_t>(data); break;
        case DBCAPI_UVAL32: number.unsigned64 = readUnaligned<uint32_t>(data); break;
        case DBCAPI_VAL32: number.small = readUnaligned<int32_t>(data); break;
        case DBCAPI_VAL16: number.small = readUnaligned<int16_t>(data); break;
        case DBCAPI_UVAL16: number.small = readUnaligned<uint16_t>(data); break;
        case DBCAPI_VAL8:
        case DBCAPI_UVAL8: number.small = readUnaligned<uint8_t>(data); break;
        default: break;
    }
    return number;
}

// Large objects: read in pieces by getData and never bound to a row slot.
inline bool isLargeObjectType(dbcapi_native_type type) {
    switch (type) {
        case DBCAPI_NATIVE_CLOB:
        case DBCAPI_NATIVE_NCLOB:
        case DBCAPI_NATIVE_BLOB:
        case DBCAPI_NATIVE_TEXT:
        case DBCAPI_NATIVE_ST_GEOMETRY:
        case DBCAPI_NATIVE_ST_POINT:
            return true;
        default:
            return false;
    }
}

#endif
