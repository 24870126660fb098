#include "batch_rows.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "binding.h"
#include "error_info.h"
#include "js_errors.h"

ByteStore::~ByteStore() { free(data_); }

ByteStore::ByteStore(ByteStore&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = 0;
    other.capacity_ = 0;
}

bool ByteStore::reserve(size_t count) {
    if (capacity_ - size_ >= count) {
        return true;
    }
    if (count > SIZE_MAX / 2 - size_) {
        return false;
    }
    size_t capacity = std::max(std::max(capacity_ * 2, size_ + count), static_cast<size_t>(4096));
    char* grown = static_cast<char*>(realloc(data_, capacity));
    if (grown == nullptr) {
        return false;
    }
    data_ = grown;
    capacity_ = capacity;
    return true;
}

bool ByteStore::allocateZeroed(size_t size) {
    release();
    data_ = static_cast<char*>(calloc(std::max<size_t>(size, 1), 1));
    if (data_ == nullptr) {
        return false;
    }
    size_ = size;
    capacity_ = std::max<size_t>(size, 1);
    return true;
}

void ByteStore::release() {
    free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

bool BatchColumn::layOut(size_t rowCount) {
    if (fixedSize > 0) {
        return true;
    }
    // A row without bytes (a data-at-exec marker after a null first row) is
    // read by the library as a 4-byte integer from a 1-byte slot: the
    // zeroed tail keeps that read inside the buffer.
    size_t slot = std::max<size_t>(valueSize, 1);
    const size_t tail = sizeof(double);
    if (rowCount > (SIZE_MAX - tail) / slot || !slots.allocateZeroed(slot * rowCount + tail)) {
        return false;
    }
    for (size_t r = 0; r < offsets.size(); r++) {
        if (offsets[r] != kNoBytes && lengths[r] > 0) {
            memcpy(slots.data() + r * slot, bytes.data() + offsets[r], std::min(lengths[r], slot));
        }
    }
    bytes.release();
    return true;
}

void BatchColumn::describe(dbcapi_data_value& value) {
    value.buffer = fixedSize > 0 ? bytes.data() : slots.data();
    value.buffer_size = std::max<size_t>(valueSize, 1);
    value.length = lengths.data();
    value.is_null = nulls.data();
    value.type = type;
}

namespace {

// The type a column of nulls is bound as, from the type its other rows have.
dbcapi_data_type nullTypeFor(unsigned columnType) {
    switch (columnType) {
        case JS_NUMBER: return DBCAPI_DOUBLE;
        case JS_STRING: return DBCAPI_STRING;
        case JS_BUFFER: return DBCAPI_BINARY;
        default: return DBCAPI_VAL32;
    }
}

bool isArray(napi_env env, napi_value value) {
    bool result = false;
    return napi_is_array(env, value, &result) == napi_ok && result;
}

uint32_t arrayLength(napi_env env, napi_value value) {
    uint32_t length = 0;
    return napi_get_array_length(env, value, &length) == napi_ok ? length : 0;
}

}  // namespace

bool BatchReader::readShape(napi_value rows) {
    if (rows == nullptr || !isArray(env_, rows)) {
        return false;
    }
    uint32_t count = arrayLength(env_, rows);
    if (count == 0) {
        return false;
    }
    rows_.reserve(std::min<uint32_t>(count, 1u << 20));
    for (uint32_t r = 0; r < count; r++) {
        napi_value row = nullptr;
        if (napi_get_element(env_, rows, r, &row) != napi_ok || !isArray(env_, row)) {
            return false;
        }
        uint32_t length = arrayLength(env_, row);
        if (length == 0 || (r > 0 && length != columnCount_)) {
            return false;
        }
        columnCount_ = length;
        rows_.push_back(row);
    }
    return true;
}

// The JS_* bit of value, as getJSType gives it.
unsigned BatchReader::typeOf(napi_value value) const {
    napi_valuetype type = napi_undefined;
    if (value == nullptr || napi_typeof(env_, value, &type) != napi_ok) {
        return JS_UNDEFINED;
    }
    switch (type) {
        case napi_undefined: return JS_UNDEFINED;
        case napi_null: return JS_NULL;
        case napi_string: return JS_STRING;
        case napi_boolean: return JS_BOOLEAN;
        case napi_number: return JS_NUMBER;
        case napi_function: return JS_FUNCTION;
        case napi_symbol: return JS_SYMBOL;
        case napi_object:
            if (isArray(env_, value)) {
                return JS_ARRAY;
            }
            return isNodeBuffer(env_, value) ? JS_BUFFER : JS_OBJECT;
        default: return JS_UNKNOWN_TYPE;
    }
}

bool BatchReader::readValues() {
    size_t rows = rows_.size();
    types_.assign(columnCount_, JS_UNDEFINED);
    try {
        columns_.resize(columnCount_);
        for (BatchColumn& column : columns_) {
            column.lengths.assign(rows, 0);
            column.nulls.assign(rows, 0);
        }
    } catch (const std::bad_alloc&) {
        refused_ = true;  // still checked, never converted
    }
    for (uint32_t r = 0; r < rows; r++) {
        // Values are not kept past their row, so each row gets its own scope.
        napi_handle_scope scope = nullptr;
        if (napi_open_handle_scope(env_, &scope) != napi_ok) {
            return false;
        }
        bool read = readRow(r);
        napi_close_handle_scope(env_, scope);
        if (!read) {
            return false;
        }
    }
    return true;
}

// A mismatching value ends the check of its row.
bool BatchReader::readRow(uint32_t row) {
    for (uint32_t c = 0; c < columnCount_; c++) {
        napi_value value = nullptr;
        if (napi_get_element(env_, rows_[row], c, &value) != napi_ok) {
            return false;
        }
        unsigned type = typeOf(value);
        if (type != JS_UNDEFINED && type != JS_NULL) {
            if (types_[c] == JS_UNDEFINED || types_[c] == JS_NULL) {
                types_[c] = type;
            } else if (types_[c] != type) {
                mismatch_ = static_cast<int>(c);
                return true;
            }
        }
        if (converting() && !convert(row, c, type, value)) {
            refused_ = true;
        }
    }
    return true;
}

// Objects may run script when read (getters, proxies), so they wait until
// every check has passed. Values that cannot be bound stop the conversion.
bool BatchReader::convert(uint32_t row, uint32_t column, unsigned type, napi_value value) {
    BatchColumn& target = columns_[column];
    if (row == 0) {
        target.type = type == JS_NUMBER ? DBCAPI_DOUBLE
                      : type == JS_STRING ? DBCAPI_STRING
                      : type == JS_BUFFER ? DBCAPI_BINARY
                      : type == JS_UNKNOWN_TYPE ? DBCAPI_VAL64
                                          : DBCAPI_VAL32;
    }
    switch (type) {
        case JS_UNDEFINED:
        case JS_NULL: target.nulls[row] = 1; return true;
        case JS_NUMBER: {
            double number = 0;
            napi_get_value_double(env_, value, &number);
            return storeFixed(target, row, &number, sizeof(number));
        }
        case JS_BOOLEAN: {
            bool flag = false;
            napi_get_value_bool(env_, value, &flag);
            int32_t number = flag ? 1 : 0;
            return storeFixed(target, row, &number, sizeof(number));
        }
        case JS_STRING: return storeString(target, row, value);
        case JS_UNKNOWN_TYPE: {
            // Of the values without a type bit only a BigInt within 64 bits binds.
            int64_t integer = 0;
            bool lossless = false;
            napi_valuetype kind = napi_undefined;
            return napi_typeof(env_, value, &kind) == napi_ok && kind == napi_bigint &&
                   napi_get_value_bigint_int64(env_, value, &integer, &lossless) == napi_ok && lossless &&
                   storeFixed(target, row, &integer, sizeof(integer));
        }
        case JS_BUFFER: {
            void* data = nullptr;
            size_t size = 0;
            napi_get_buffer_info(env_, value, &data, &size);
            return storeBytes(target, row, data, size, size);
        }
        case JS_OBJECT:
        case JS_ARRAY:
        case JS_FUNCTION:
            try {
                heldBack_.push_back(Position{row, column});
            } catch (const std::bad_alloc&) {
                return false;
            }
            return true;
        default: return false;
    }
}

bool BatchReader::storeFixed(BatchColumn& column, uint32_t row, const void* value, size_t size) {
    size_t rows = rows_.size();
    if (column.fixedSize == 0) {
        if (rows > SIZE_MAX / size || !column.bytes.allocateZeroed(rows * size)) {
            return false;
        }
        column.fixedSize = size;
        column.valueSize = size;
    }
    memcpy(column.bytes.data() + static_cast<size_t>(row) * size, value, size);
    column.lengths[row] = size;
    return true;
}

// UTF-8 needs at most three bytes per UTF-16 unit, so the text is written
// into the store at once, without measuring it first. The slot keeps room
// for a terminating zero.
bool BatchReader::storeString(BatchColumn& column, uint32_t row, napi_value value) {
    size_t units = 0;
    if (napi_get_value_string_utf16(env_, value, nullptr, 0, &units) != napi_ok) {
        return false;
    }
    if (column.offsets.empty()) {
        column.offsets.assign(rows_.size(), BatchColumn::kNoBytes);
    }
    size_t capacity = units * 3 + 1;
    if (units > SIZE_MAX / 4 || !column.bytes.reserve(capacity)) {
        return false;
    }
    size_t length = 0;
    if (napi_get_value_string_utf8(env_, value, column.bytes.end(), capacity, &length) != napi_ok) {
        return false;
    }
    column.offsets[row] = column.bytes.size();
    column.bytes.advance(length);
    column.lengths[row] = length;
    column.valueSize = std::max(column.valueSize, length + 1);
    return true;
}

bool BatchReader::storeBytes(BatchColumn& column, uint32_t row, const void* data, size_t size, size_t length) {
    if (column.offsets.empty()) {
        column.offsets.assign(rows_.size(), BatchColumn::kNoBytes);
    }
    if (!column.bytes.reserve(size)) {
        return false;
    }
    column.offsets[row] = column.bytes.size();
    if (size > 0) {  // an empty Buffer has no data pointer
        memcpy(column.bytes.end(), data, size);
    }
    column.bytes.advance(size);
    column.lengths[row] = length;
    column.valueSize = std::max(column.valueSize, size);
    return true;
}

// The value is read again, as an object's getters may have changed it.
bool BatchReader::convertHeldBack(const Position& position) {
    napi_value value = nullptr;
    if (napi_get_element(env_, rows_[position.row], position.column, &value) != napi_ok) {
        return false;
    }
    dbcapi_bind_data* record = getBindParameter(Napi::Value(env_, value));
    if (record == nullptr) {
        return false;
    }
    BatchColumn& column = columns_[position.column];
    bool stored = true;
    if (record->value.buffer != nullptr) {
        stored = storeBytes(column, position.row, record->value.buffer, record->value.buffer_size,
                            *record->value.length);
    } else {
        column.valueSize = std::max(column.valueSize, record->value.buffer_size);
    }
    column.lengths[position.row] = *record->value.length;
    column.nulls[position.row] = *record->value.is_null;
    if (position.row == 0) {
        column.type = record->value.type;
    }
    clearParameter(record, true);
    return stored;
}

bool BatchReader::finish() {
    for (const Position& position : heldBack_) {
        if (!convertHeldBack(position)) {
            return false;
        }
    }
    if (refused_) {
        return false;
    }
    for (uint32_t c = 0; c < columnCount_; c++) {
        if (columns_[c].nulls[0]) {
            columns_[c].type = nullTypeFor(types_[c]);
        }
    }
    return true;
}
