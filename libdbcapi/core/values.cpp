#include "values.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "errors.h"

namespace zkv {
namespace {

// SQLite's default maximum length of one text or blob.
constexpr size_t kMaxValueBytes = 1000000000;

struct TypeRule {
    const char* name;
    dbcapi_native_type native;
    dbcapi_data_type type;
    size_t maxSize;
    uint16_t precision;
};

const TypeRule kRules[] = {
    {"INTEGER", DBCAPI_NATIVE_INT, DBCAPI_VAL64, 8, 19},
    {"INT", DBCAPI_NATIVE_INT, DBCAPI_VAL64, 8, 19},
    {"BIGINT", DBCAPI_NATIVE_BIGINT, DBCAPI_VAL64, 8, 19},
    {"SMALLINT", DBCAPI_NATIVE_SMALLINT, DBCAPI_VAL16, 2, 5},
    {"TINYINT", DBCAPI_NATIVE_TINYINT, DBCAPI_UVAL8, 1, 3},
    {"BOOLEAN", DBCAPI_NATIVE_BOOLEAN, DBCAPI_UVAL8, 1, 1},
    {"BOOL", DBCAPI_NATIVE_BOOLEAN, DBCAPI_UVAL8, 1, 1},
    {"DOUBLE", DBCAPI_NATIVE_DOUBLE, DBCAPI_DOUBLE, 8, 15},
    {"DOUBLE PRECISION", DBCAPI_NATIVE_DOUBLE, DBCAPI_DOUBLE, 8, 15},
    {"FLOAT", DBCAPI_NATIVE_DOUBLE, DBCAPI_DOUBLE, 8, 15},
    {"REAL", DBCAPI_NATIVE_REAL, DBCAPI_DOUBLE, 8, 15},
    {"TEXT", DBCAPI_NATIVE_TEXT, DBCAPI_STRING, kMaxValueBytes, 0},
    {"CLOB", DBCAPI_NATIVE_CLOB, DBCAPI_STRING, kMaxValueBytes, 0},
    {"NCLOB", DBCAPI_NATIVE_NCLOB, DBCAPI_STRING, kMaxValueBytes, 0},
    {"BLOB", DBCAPI_NATIVE_BLOB, DBCAPI_BINARY, kMaxValueBytes, 0},
    {"DATE", DBCAPI_NATIVE_DATE, DBCAPI_STRING, 10, 10},
    {"TIME", DBCAPI_NATIVE_TIME, DBCAPI_STRING, 8, 8},
    {"TIMESTAMP", DBCAPI_NATIVE_TIMESTAMP, DBCAPI_STRING, 32, 32},
    {"DATETIME", DBCAPI_NATIVE_TIMESTAMP, DBCAPI_STRING, 32, 32},
    {"SECONDDATE", DBCAPI_NATIVE_SECONDDATE, DBCAPI_STRING, 32, 32},
    {"LONGDATE", DBCAPI_NATIVE_LONGDATE, DBCAPI_STRING, 32, 32},
};

struct ParsedType {
    std::string base;
    long args[2] = {-1, -1};
};

ParsedType parseDeclared(const char* declared) {
    ParsedType parsed;
    const char* p = declared;
    while (*p && *p != '(') {
        char c = *p++;
        if (c == ' ' || c == '\t') {
            if (!parsed.base.empty() && parsed.base.back() != ' ') parsed.base += ' ';
            continue;
        }
        parsed.base += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    while (!parsed.base.empty() && parsed.base.back() == ' ') parsed.base.pop_back();
    for (int i = 0; i < 2 && (*p == '(' || *p == ','); ++i) {
        char* end = nullptr;
        long value = std::strtol(p + 1, &end, 10);
        if (end == p + 1) break;
        parsed.args[i] = value;
        p = end;
        while (*p == ' ') ++p;
    }
    return parsed;
}

void setType(ColumnMeta& meta, dbcapi_native_type native, dbcapi_data_type type, size_t maxSize) {
    meta.nativeType = native;
    meta.type = type;
    meta.maxSize = maxSize;
    meta.precision = 0;
    meta.scale = 0;
}

bool applySizedType(const ParsedType& parsed, ColumnMeta& meta) {
    const std::string& b = parsed.base;
    long n = parsed.args[0];
    if (b == "DECIMAL" || b == "NUMERIC" || b == "DEC") {
        setType(meta, DBCAPI_NATIVE_DECIMAL, DBCAPI_STRING, 128);
        meta.precision = static_cast<uint16_t>(n > 0 && n < 65536 ? n : 38);
        meta.scale = static_cast<uint16_t>(parsed.args[1] > 0 && parsed.args[1] < 65536 ? parsed.args[1] : 0);
        return true;
    }
    dbcapi_native_type chars = DBCAPI_NATIVE_NULL;
    if (b == "CHAR" || b == "CHARACTER") chars = DBCAPI_NATIVE_CHAR;
    else if (b == "NCHAR") chars = DBCAPI_NATIVE_NCHAR;
    else if (b == "VARCHAR" || b == "CHARACTER VARYING") chars = DBCAPI_NATIVE_VARCHAR1;
    else if (b == "NVARCHAR") chars = DBCAPI_NATIVE_NVARCHAR;
    if (chars != DBCAPI_NATIVE_NULL) {
        if (n <= 0) {
            setType(meta, DBCAPI_NATIVE_TEXT, DBCAPI_STRING, kMaxValueBytes);
            return true;
        }
        setType(meta, chars, DBCAPI_STRING, static_cast<size_t>(n));
        return true;
    }
    if (b == "BINARY" || b == "VARBINARY") {
        if (n <= 0) {
            setType(meta, DBCAPI_NATIVE_BLOB, DBCAPI_BINARY, kMaxValueBytes);
            return true;
        }
        setType(meta, b == "BINARY" ? DBCAPI_NATIVE_BINARY : DBCAPI_NATIVE_VARBINARY, DBCAPI_BINARY,
                static_cast<size_t>(n));
        return true;
    }
    return false;
}

std::string shortText(const char* text, size_t length) {
    return std::string(text, length < 40 ? length : 40) + (length > 40 ? "..." : "");
}

BackendError castError(const ColumnMeta& meta, const char* target, std::string shown) {
    return makeError(kInvalidCast, "22018",
                     "Value of column \"" + meta.name + "\" cannot be converted to " + target + ": " + shown);
}

BackendError rangeError(const ColumnMeta& meta, const std::string& shown) {
    return makeError(kOutOfRange, "22003",
                     "Numeric value out of range for column \"" + meta.name + "\": " + shown);
}

bool parseWholeInt(const char* text, size_t length, int64_t& out, bool& overflow) {
    std::string copy(text, length);
    const char* start = copy.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(start, &end, 10);
    overflow = errno == ERANGE;
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (end == start || *end != '\0') return false;
    out = v;
    return true;
}

bool parseWholeDouble(const char* text, size_t length, double& out) {
    std::string copy(text, length);
    char* end = nullptr;
    out = std::strtod(copy.c_str(), &end);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    return end != copy.c_str() && *end == '\0';
}

bool realToInt64(const ColumnMeta& meta, double d, int64_t& out, BackendError& err) {
    if (std::isnan(d) || std::trunc(d) != d) {
        err = castError(meta, "an integer", std::to_string(d));
        return false;
    }
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
        err = rangeError(meta, std::to_string(d));
        return false;
    }
    out = static_cast<int64_t>(d);
    return true;
}

bool toInt64(const ValueSource& cursor, int col, ValueKind kind, const ColumnMeta& meta, int64_t& out,
             BackendError& err) {
    switch (kind) {
        case ValueKind::Integer:
            out = cursor.int64At(col);
            return true;
        case ValueKind::Real:
            return realToInt64(meta, cursor.doubleAt(col), out, err);
        case ValueKind::Text: {
            size_t length = 0;
            const char* text = cursor.textAt(col, length);
            bool overflow = false;
            if (parseWholeInt(text, length, out, overflow)) {
                if (!overflow) return true;
                err = rangeError(meta, shortText(text, length));
                return false;
            }
            double d = 0;
            if (parseWholeDouble(text, length, d)) return realToInt64(meta, d, out, err);
            err = castError(meta, "an integer", "'" + shortText(text, length) + "'");
            return false;
        }
        default:
            err = castError(meta, "an integer", "binary data");
            return false;
    }
}

bool toDouble(const ValueSource& cursor, int col, ValueKind kind, const ColumnMeta& meta, double& out,
              BackendError& err) {
    switch (kind) {
        case ValueKind::Integer:
            out = static_cast<double>(cursor.int64At(col));
            return true;
        case ValueKind::Real:
            out = cursor.doubleAt(col);
            return true;
        case ValueKind::Text: {
            size_t length = 0;
            const char* text = cursor.textAt(col, length);
            if (parseWholeDouble(text, length, out)) return true;
            err = castError(meta, "a number", "'" + shortText(text, length) + "'");
            return false;
        }
        default:
            err = castError(meta, "a number", "binary data");
            return false;
    }
}

template <typename T>
bool storeInt(int64_t v, T& slot, const ColumnMeta& meta, BackendError& err) {
    if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(std::numeric_limits<T>::max()))) {
        err = rangeError(meta, std::to_string(v));
        return false;
    }
    slot = static_cast<T>(v);
    return true;
}

bool readInteger(const ValueSource& cursor, int col, ValueKind kind, const ColumnMeta& meta,
                 dbcapi_data_type target, Scratch& s, BackendError& err) {
    int64_t v = 0;
    if (!toInt64(cursor, col, kind, meta, v, err)) return false;
    if (meta.nativeType == DBCAPI_NATIVE_BOOLEAN) v = v != 0;
    switch (target) {
        case DBCAPI_VAL64: s.i64 = v; return true;
        case DBCAPI_UVAL64: return storeInt(v, s.u64, meta, err);
        case DBCAPI_VAL32: return storeInt(v, s.i32, meta, err);
        case DBCAPI_UVAL32: return storeInt(v, s.u32, meta, err);
        case DBCAPI_VAL16: return storeInt(v, s.i16, meta, err);
        case DBCAPI_UVAL16: return storeInt(v, s.u16, meta, err);
        case DBCAPI_VAL8: return storeInt(v, s.i8, meta, err);
        default: return storeInt(v, s.u8, meta, err);
    }
}

// The host type that carries a stored value as it is.
dbcapi_data_type ownType(ValueKind kind) {
    switch (kind) {
        case ValueKind::Integer: return DBCAPI_VAL64;
        case ValueKind::Real: return DBCAPI_DOUBLE;
        case ValueKind::Text: return DBCAPI_STRING;
        default: return DBCAPI_BINARY;
    }
}

// The storage class a column of host type type holds when the value
// agrees with its declaration.
bool isDeclaredKind(dbcapi_data_type type, ValueKind kind) {
    switch (type) {
        case DBCAPI_STRING: return kind == ValueKind::Text;
        case DBCAPI_BINARY: return kind == ValueKind::Blob;
        case DBCAPI_DOUBLE:
        case DBCAPI_FLOAT: return kind == ValueKind::Real;
        default: return kind == ValueKind::Integer;
    }
}

void readOwnType(const ValueSource& cursor, int col, ValueKind kind, Scratch& scratch, ValueView& out) {
    out.type = ownType(kind);
    switch (kind) {
        case ValueKind::Integer:
            scratch.i64 = cursor.int64At(col);
            break;
        case ValueKind::Real:
            scratch.d = cursor.doubleAt(col);
            break;
        case ValueKind::Text:
            out.data = cursor.textAt(col, out.length);
            return;
        default:
            out.data = static_cast<const char*>(cursor.blobAt(col, out.length));
            return;
    }
    out.data = reinterpret_cast<const char*>(&scratch);
    out.length = sizeof(int64_t);
}

bool convertValue(const ValueSource& cursor, int col, ValueKind kind, const ColumnMeta& meta,
                  dbcapi_data_type target, Scratch& scratch, ValueView& out, BackendError& err) {
    switch (target) {
        case DBCAPI_STRING:
            out.data = cursor.textAt(col, out.length);
            return true;
        case DBCAPI_BINARY:
            out.data = static_cast<const char*>(cursor.blobAt(col, out.length));
            return true;
        case DBCAPI_DOUBLE:
        case DBCAPI_FLOAT: {
            double d = 0;
            if (!toDouble(cursor, col, kind, meta, d, err)) return false;
            if (target == DBCAPI_FLOAT) {
                if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
                    err = rangeError(meta, std::to_string(d));
                    return false;
                }
                scratch.f = static_cast<float>(d);
            } else {
                scratch.d = d;
            }
            break;
        }
        default:
            if (hostTypeSize(target) == 0) {
                err = makeError(kInvalidArgument, "HY003", "Unsupported host data type " + std::to_string(target));
                return false;
            }
            if (!readInteger(cursor, col, kind, meta, target, scratch, err)) return false;
    }
    out.data = reinterpret_cast<const char*>(&scratch);
    out.length = hostTypeSize(target);
    return true;
}

}  // namespace

bool applyDeclaredType(const char* declared, ColumnMeta& meta) {
    if (!declared || !*declared) return false;
    ParsedType parsed = parseDeclared(declared);
    if (applySizedType(parsed, meta)) return true;
    for (const TypeRule& rule : kRules) {
        if (parsed.base == rule.name) {
            setType(meta, rule.native, rule.type, rule.maxSize);
            meta.precision = rule.precision;
            return true;
        }
    }
    return false;
}

void applyValueType(ValueKind kind, ColumnMeta& meta) {
    switch (kind) {
        case ValueKind::Integer: setType(meta, DBCAPI_NATIVE_BIGINT, DBCAPI_VAL64, 8); meta.precision = 19; break;
        case ValueKind::Real: setType(meta, DBCAPI_NATIVE_DOUBLE, DBCAPI_DOUBLE, 8); meta.precision = 15; break;
        case ValueKind::Blob: setType(meta, DBCAPI_NATIVE_BLOB, DBCAPI_BINARY, kMaxValueBytes); break;
        default: setType(meta, DBCAPI_NATIVE_NCLOB, DBCAPI_STRING, kMaxValueBytes); break;
    }
}

void applyExactType(const ExactType& exact, ColumnMeta& meta) {
    setType(meta, static_cast<dbcapi_native_type>(exact.nativeType), static_cast<dbcapi_data_type>(exact.dataType),
            exact.maxSize);
    meta.precision = exact.precision;
    meta.scale = exact.scale;
}

size_t hostTypeSize(dbcapi_data_type type) {
    switch (type) {
        case DBCAPI_VAL64: case DBCAPI_UVAL64: case DBCAPI_DOUBLE: return 8;
        case DBCAPI_VAL32: case DBCAPI_UVAL32: case DBCAPI_FLOAT: return 4;
        case DBCAPI_VAL16: case DBCAPI_UVAL16: return 2;
        case DBCAPI_VAL8: case DBCAPI_UVAL8: return 1;
        default: return 0;
    }
}

bool readValue(const ValueSource& cursor, int col, const ColumnMeta& meta, dbcapi_data_type target,
               Scratch& scratch, ValueView& out, BackendError& err) {
    ValueKind kind = cursor.kind(col);
    out.type = target;
    out.isNull = kind == ValueKind::Null;
    if (out.isNull) {
        out.data = nullptr;
        out.length = 0;
        return true;
    }
    // The common case of an integer read as 64 bits, without range checks.
    if (target == DBCAPI_VAL64 && kind == ValueKind::Integer && meta.nativeType != DBCAPI_NATIVE_BOOLEAN) {
        scratch.i64 = cursor.int64At(col);
        out.data = reinterpret_cast<const char*>(&scratch);
        out.length = sizeof(int64_t);
        return true;
    }
    // A caller that asks for another type than the column's wants that
    // conversion; one that asks for the column's own gets what is stored.
    bool asDeclared = target == meta.type;
    if (asDeclared && !isDeclaredKind(target, kind)) {
        readOwnType(cursor, col, kind, scratch, out);
        return true;
    }
    if (convertValue(cursor, col, kind, meta, target, scratch, out, err)) return true;
    if (!asDeclared) return false;
    readOwnType(cursor, col, kind, scratch, out);
    return true;
}

}  // namespace zkv
