#include "pg_types.h"

#include "export.h"

namespace zkv {
namespace {

// Built-in type OIDs (fixed by the server's catalog).
enum : PgOid {
    kBool = 16, kBytea = 17, kChar = 18, kName = 19, kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25, kOid = 26,
    kFloat4 = 700, kFloat8 = 701, kBpchar = 1042, kVarchar = 1043, kDate = 1082, kTime = 1083,
    kTimestamp = 1114, kTimestampTz = 1184, kTimeTz = 1266, kNumeric = 1700, kUuid = 2950,
};

// The embedded backend's large-object size, kept so both report alike.
constexpr size_t kLargeBytes = 1000000000;

ExactType make(dbcapi_native_type native, dbcapi_data_type type, size_t maxSize, uint16_t precision = 0) {
    ExactType t;
    t.known = true;
    t.nativeType = native;
    t.dataType = type;
    t.maxSize = maxSize;
    t.precision = precision;
    return t;
}

ExactType chars(dbcapi_native_type native, size_t n) { return make(native, DBCAPI_STRING, n); }

ExactType dateTime(dbcapi_native_type native, size_t n) {
    return make(native, DBCAPI_STRING, n, static_cast<uint16_t>(n));
}

// Digits of fractional seconds a time column shows: typmod, or 6 when free.
size_t fractionBytes(int typmod) {
    int digits = typmod < 0 ? 6 : typmod;
    return digits > 0 ? static_cast<size_t>(digits) + 1 : 0;
}

ExactType numeric(int typmod) {
    ExactType t = make(DBCAPI_NATIVE_DECIMAL, DBCAPI_STRING, 128, 38);
    if (typmod >= 4) {
        t.precision = static_cast<uint16_t>(((typmod - 4) >> 16) & 0xffff);
        t.scale = static_cast<uint16_t>((typmod - 4) & 0xffff);
    }
    return t;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

ExactType pgColumnType(PgOid type, int typmod) {
    switch (type) {
        case kInt2: return make(DBCAPI_NATIVE_SMALLINT, DBCAPI_VAL16, 2, 5);
        case kInt4: return make(DBCAPI_NATIVE_INT, DBCAPI_VAL32, 4, 10);
        case kInt8: return make(DBCAPI_NATIVE_BIGINT, DBCAPI_VAL64, 8, 19);
        case kOid: return make(DBCAPI_NATIVE_BIGINT, DBCAPI_VAL64, 8, 10);
        case kBool: return make(DBCAPI_NATIVE_BOOLEAN, DBCAPI_UVAL8, 1, 1);
        case kFloat4: return make(DBCAPI_NATIVE_REAL, DBCAPI_DOUBLE, 8, 7);
        case kFloat8: return make(DBCAPI_NATIVE_DOUBLE, DBCAPI_DOUBLE, 8, 15);
        case kNumeric: return numeric(typmod);
        case kChar: return chars(DBCAPI_NATIVE_CHAR, 1);
        case kName: return chars(DBCAPI_NATIVE_NVARCHAR, 63);
        case kUuid: return chars(DBCAPI_NATIVE_NVARCHAR, 36);
        case kBpchar:
            if (typmod > 4) return chars(DBCAPI_NATIVE_CHAR, static_cast<size_t>(typmod - 4));
            return make(DBCAPI_NATIVE_TEXT, DBCAPI_STRING, kLargeBytes);
        case kVarchar:
            if (typmod > 4) return chars(DBCAPI_NATIVE_NVARCHAR, static_cast<size_t>(typmod - 4));
            return make(DBCAPI_NATIVE_TEXT, DBCAPI_STRING, kLargeBytes);
        case kText: return make(DBCAPI_NATIVE_TEXT, DBCAPI_STRING, kLargeBytes);
        case kBytea: return make(DBCAPI_NATIVE_BLOB, DBCAPI_BINARY, kLargeBytes);
        case kDate: return dateTime(DBCAPI_NATIVE_DATE, 10);
        case kTime: return dateTime(DBCAPI_NATIVE_TIME, 8 + fractionBytes(typmod));
        case kTimeTz: return dateTime(DBCAPI_NATIVE_TIME, 14 + fractionBytes(typmod));
        case kTimestamp:
        case kTimestampTz: return dateTime(DBCAPI_NATIVE_TIMESTAMP, 32);
        default: return make(DBCAPI_NATIVE_NCLOB, DBCAPI_STRING, kLargeBytes);
    }
}

ExactType pgParamType(PgOid type) {
    ExactType t = pgColumnType(type, -1);
    if (t.nativeType == DBCAPI_NATIVE_TEXT) t.nativeType = DBCAPI_NATIVE_NCLOB;
    return t;
}

ValueKind pgValueKind(PgOid type) {
    switch (type) {
        case kInt2: case kInt4: case kInt8: case kOid: case kBool: return ValueKind::Integer;
        case kFloat4: case kFloat8: return ValueKind::Real;
        case kBytea: return ValueKind::Blob;
        default: return ValueKind::Text;
    }
}

bool decodeBytea(const char* text, size_t length, std::string& out) {
    out.clear();
    if (length >= 2 && text[0] == '\\' && text[1] == 'x') {
        out.reserve((length - 2) / 2);
        for (size_t i = 2; i + 1 < length; i += 2) {
            int high = hexDigit(text[i]), low = hexDigit(text[i + 1]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
        }
        return length % 2 == 0;
    }
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != '\\') {
            out += text[i];
        } else if (i + 1 < length && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < length) {
            out += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0'));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace zkv
