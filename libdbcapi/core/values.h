// Column types: declared SQL types mapped onto dbcapi native and data
// types, and the conversion of one stored value into a host type.
#ifndef ZKV_VALUES_H
#define ZKV_VALUES_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "backend.h"
#include "export.h"

namespace zkv {

struct ColumnMeta {
    std::string name;
    std::string columnName;
    std::string tableName;
    std::string ownerName;
    dbcapi_data_type type = DBCAPI_STRING;
    dbcapi_native_type nativeType = DBCAPI_NATIVE_NCLOB;
    uint16_t precision = 0;
    uint16_t scale = 0;
    size_t maxSize = 0;
    bool nullable = true;
    bool fromValue = false;  // no usable declared type: typed by the first row
};

// Fills the type members of meta from a declared type; false when the
// declaration names no type we map (the column is then typed by value).
bool applyDeclaredType(const char* declared, ColumnMeta& meta);
void applyValueType(ValueKind kind, ColumnMeta& meta);
void applyExactType(const ExactType& exact, ColumnMeta& meta);

union Scratch {
    int64_t i64;
    uint64_t u64;
    int32_t i32;
    uint32_t u32;
    int16_t i16;
    uint16_t u16;
    int8_t i8;
    uint8_t u8;
    double d;
    float f;
};

struct ValueView {
    const char* data = nullptr;
    size_t length = 0;
    bool isNull = false;
    dbcapi_data_type type = DBCAPI_STRING;  // the host type data holds
};

// Reads column col of the cursor's current row as host type target.
// Numbers are written to scratch and the view points at it; text and
// binary views point into the cursor's row, valid until the next step.
// Read as the column's own type, a value the column's type cannot carry
// faithfully (SQLite keeps any storage class in any column) comes in the
// type of what is stored instead: view.type then differs from target.
bool readValue(const ValueSource& cursor, int col, const ColumnMeta& meta, dbcapi_data_type target,
               Scratch& scratch, ValueView& out, BackendError& err);

size_t hostTypeSize(dbcapi_data_type type);

}  // namespace zkv

#endif
