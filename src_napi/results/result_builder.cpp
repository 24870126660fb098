#include "result_builder.h"

#include <stdlib.h>

#include <new>

#include "value_rules.h"

namespace {

}  // namespace

ValueView fetchedValueView(const dbcapi_data_value& value) {
    ValueView view;
    view.type = value.type;
    view.isNull = value.is_null != nullptr && *value.is_null != 0;
    view.data = value.buffer;
    if (value.buffer == nullptr) {
        view.length = 0;
    } else if (value.length != nullptr) {
        view.length = *value.length;
    } else if (value.type == DBCAPI_STRING) {
        view.length = strlen(value.buffer);
    } else {
        view.length = value.buffer_size;
    }
    return view;
}

InternalResultSetBuilder::InternalResultSetBuilder()
    : buffer_(nullptr),
      capacity_(0),
      limit_(kMaxLimit),
      position_(0),
      columnCount_(0),
      rowCount_(0),
      outOfMemory_(false),
      sizeLimit_(false) {}

InternalResultSetBuilder::~InternalResultSetBuilder() { releaseBuffer(); }

void InternalResultSetBuilder::releaseBuffer() {
    free(buffer_);
    buffer_ = nullptr;
    capacity_ = 0;
    position_ = 0;
}

void InternalResultSetBuilder::reset() {
    releaseBuffer();
    limit_ = kMaxLimit;
    columnCount_ = 0;
    rowCount_ = 0;
    outOfMemory_ = false;
    sizeLimit_ = false;
}

void InternalResultSetBuilder::setMemoryLimit(long long bytes) {
    if (bytes > 0) {
        limit_ = static_cast<unsigned long long>(bytes) > kMaxLimit ? kMaxLimit : static_cast<size_t>(bytes);
    } else if (bytes < 0) {
        limit_ = kFirstCapacity;
    }
}

void InternalResultSetBuilder::throwOOMOrSizeLimit() {
    if (!sizeLimit_) {
        outOfMemory_ = true;
    }
    throw std::bad_alloc();
}

void InternalResultSetBuilder::growBuffer(size_t extra) {
    if (outOfMemory_ || sizeLimit_) {
        throwOOMOrSizeLimit();
    }
    if (buffer_ == nullptr) {
        buffer_ = static_cast<char*>(malloc(kInitialAllocation));
        if (buffer_ == nullptr) {
            throwOOMOrSizeLimit();
        }
        capacity_ = kInitialAllocation;
        position_ = kHeaderSize;
        // A first item larger than the first allocation still needs room.
        if (position_ + extra <= capacity_) {
            return;
        }
    }
    size_t needed = position_ + extra;
    // Up to the old first allocation the limit does not apply, as before.
    if (capacity_ < kFirstCapacity && needed <= kFirstCapacity) {
        resizeBuffer(kFirstCapacity);
        return;
    }
    if (capacity_ == limit_ || needed > limit_ || needed < extra) {
        releaseBuffer();
        sizeLimit_ = true;
        throwOOMOrSizeLimit();
    }
    size_t grown = ((needed + needed / 2) / kGrowthStep) * kGrowthStep + kGrowthStep;
    resizeBuffer(grown < limit_ ? grown : limit_);
}

void InternalResultSetBuilder::resizeBuffer(size_t newCapacity) {
    char* resized = static_cast<char*>(realloc(buffer_, newCapacity));
    if (resized == nullptr) {
        releaseBuffer();
        throwOOMOrSizeLimit();
    }
    buffer_ = resized;
    capacity_ = newCapacity;
}

void InternalResultSetBuilder::appendLengthPrefixed(InternalRSTypes tag, const char* bytes, size_t length) {
    // Lengths travel in 4 bytes; the memory limit (at most 2^31 - 1) makes
    // reserve() refuse any longer item first.
    reserve(5 + length);
    putByte(tag);
    putUInt32(static_cast<uint32_t>(length));
    if (length > 0) {
        memcpy(buffer_ + position_, bytes, length);
        position_ += length;
    }
}

void InternalResultSetBuilder::appendColumnName(const char* text, size_t length) {
    appendLengthPrefixed(IRS_STRING, text, length);
    columnCount_++;
}

void InternalResultSetBuilder::appendColumnTableName(const char* text, size_t length) {
    if (text == nullptr || length == 0) {
        appendNullValue();
    } else {
        appendLengthPrefixed(IRS_STRING, text, length);
    }
}

void InternalResultSetBuilder::appendStringOrBinaryValue(InternalRSTypes tag, const char* bytes, size_t length) {
    appendLengthPrefixed(tag, bytes, length);
}

void InternalResultSetBuilder::appendDecimalText(uint64_t magnitude, bool negative) {
    char digits[24];
    char* end = digits + sizeof(digits);
    char* start = end;
    do {
        *--start = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        *--start = '-';
    }
    appendLengthPrefixed(IRS_STRING, start, static_cast<size_t>(end - start));
}

void InternalResultSetBuilder::appendInt64Value(int64_t value) {
    if (value >= INT32_MIN && value <= INT32_MAX) {
        appendInt32Value(static_cast<int32_t>(value));
        return;
    }
    if (isSafeInteger(value)) {
        appendDoubleValue(static_cast<double>(value));
        return;
    }
    // Negate in unsigned arithmetic so INT64_MIN does not overflow.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    appendDecimalText(magnitude, value < 0);
}

void InternalResultSetBuilder::appendUInt64Value(uint64_t value) {
    if (value <= INT32_MAX) {
        appendInt32Value(static_cast<int32_t>(value));
        return;
    }
    if (isSafeInteger(value)) {
        appendDoubleValue(static_cast<double>(value));
        return;
    }
    appendDecimalText(value, false);
}

bool InternalResultSetBuilder::appendValue(const ValueView& value, dbcapi_native_type nativeType) {
    if (value.isNull) {
        appendNullValue();
        return true;
    }
    if (value.type == DBCAPI_BINARY || value.type == DBCAPI_STRING) {
        appendLengthPrefixed(value.type == DBCAPI_BINARY ? IRS_BINARY : IRS_STRING, value.data, value.length);
        return true;
    }
    if (value.data == nullptr) {
        return false;
    }
    DbNumber number = readNumber(value.type, value.data);
    switch (number.kind) {
        case NK_DOUBLE: appendDoubleValue(number.real); return true;
        case NK_INT64: appendInt64Value(number.signed64); return true;
        case NK_UINT64: appendUInt64Value(number.unsigned64); return true;
        case NK_SMALL: appendSmallValue(number.small, value.type, nativeType); return true;
        case NK_NONE: return false;
    }
    return false;
}

// Only 8-bit values of a BOOLEAN column become booleans on this path.
void InternalResultSetBuilder::appendSmallValue(int32_t value, dbcapi_data_type type, dbcapi_native_type nativeType) {
    bool eightBit = type == DBCAPI_VAL8 || type == DBCAPI_UVAL8;
    if (eightBit && nativeType == DBCAPI_NATIVE_BOOLEAN) {
        appendBooleanValue(value != 0);
    } else {
        appendInt32Value(value);
    }
}

const char* InternalResultSetBuilder::getBinaryResultSet(size_t& size) {
    if (buffer_ == nullptr) {
        size = 0;
        return nullptr;
    }
    size_t end = position_;
    position_ = 0;
    putUInt64(end);
    putUInt32(rowCount_);
    putUInt32(columnCount_);
    position_ = end;
    size = end;
    return buffer_;
}

char* InternalResultSetBuilder::releaseBinaryResultSet(size_t& size) {
    char* data = const_cast<char*>(getBinaryResultSet(size));
    buffer_ = nullptr;
    capacity_ = 0;
    position_ = 0;
    return data;
}

void InternalResultSetBuilder::fillError(ErrorInfo& error) const {
    if (outOfMemory_) {
        getErrorMsg(JS_ERR_OUT_OF_MEMORY, error);
    } else if (sizeLimit_) {
        getErrorMsg(JS_ERR_RESULTSET_LIMIT, error);
    } else {
        getErrorMsg(JS_ERR_GENERAL_ERROR, error);
    }
}

std::vector<std::string> makeColumnKeys(const std::vector<const char*>& names,
                                        const std::vector<const char*>& tableNames, bool nestTables) {
    auto hasTable = [&](size_t i) {
        return nestTables && i < tableNames.size() && tableNames[i] != nullptr && tableNames[i][0] != '\0';
    };
    std::vector<std::string> keys;
    keys.reserve(names.size());
    for (size_t i = 0; i < names.size(); i++) {
        const char* name = names[i] != nullptr ? names[i] : "";
        size_t repeats = 0;
        if (!hasTable(i)) {
            for (size_t j = 0; j < i; j++) {
                if (!hasTable(j) && strcmp(name, names[j] != nullptr ? names[j] : "") == 0) {
                    repeats++;
                }
            }
        }
        keys.emplace_back(name);
        if (repeats > 0) {
            keys.back() += ":" + std::to_string(repeats + 1);
        }
    }
    return keys;
}

DateTimeKind dateTimeKind(dbcapi_native_type nativeType) {
    switch (nativeType) {
        case DBCAPI_NATIVE_DATE:
        case DBCAPI_NATIVE_DAYDATE: return DT_DATE;
        case DBCAPI_NATIVE_TIME:
        case DBCAPI_NATIVE_SECONDTIME: return DT_TIME;
        case DBCAPI_NATIVE_TIMESTAMP:
        case DBCAPI_NATIVE_LONGDATE:
        case DBCAPI_NATIVE_SECONDDATE: return DT_TIMESTAMP;
        default: return DT_NONE;
    }
}
