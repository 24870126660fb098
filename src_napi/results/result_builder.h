// The binary result buffer: one self-describing byte buffer holding a whole
// result, decoded into rows by lib/decoder.js. Also the pieces of the
// whole-result fetch that need no JavaScript engine: the per-value view,
// column-key renaming and the fixed text records for dates and times.
#ifndef ZELK_RESULT_BUILDER_H
#define ZELK_RESULT_BUILDER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "dbcapi/dbcapi.h"
#include "error_info.h"
#include "value_rules.h"

// Item tags of the binary buffer.
enum InternalRSTypes : uint8_t {
    IRS_NULL = 1,
    IRS_BOOLEAN = 2,
    IRS_INT32 = 3,
    IRS_DOUBLE = 4,
    IRS_STRING = 5,
    IRS_BINARY = 6
};

// One fetched value, whether read from a bound row slot or from
// dbcapi_get_column. data may be null only for a null or empty value.
struct ValueView {
    const char* data;
    size_t length;
    bool isNull;
    dbcapi_data_type type;
};

// Builds a view of row slot `row` of a bound column; the length is clamped
// to the slot so a misreported length never reads into the next slot.
// Inline: it runs once per fetched value.
inline ValueView boundValueView(const dbcapi_data_value& column, size_t row) {
    ValueView view;
    view.type = column.type;
    view.isNull = column.is_null != nullptr && column.is_null[row] != 0;
    view.data = column.buffer + row * column.buffer_size;
    size_t length = column.length != nullptr ? column.length[row] : column.buffer_size;
    view.length = length < column.buffer_size ? length : column.buffer_size;
    return view;
}
// The library kept the value of this slot aside: dbcapi_get_column at
// the row's position delivers it.
inline bool isAside(const dbcapi_data_value& column, size_t row) {
    return column.is_null != nullptr && column.is_null[row] == DBCAPI_VALUE_ASIDE;
}
// Builds a view of a value filled by dbcapi_get_column.
ValueView fetchedValueView(const dbcapi_data_value& value);

class InternalResultSetBuilder {
public:
    static constexpr size_t kHeaderSize = 16;
    static constexpr size_t kFirstCapacity = 65536;
    // Most results are a few rows: a first allocation this small keeps a
    // point query clear of the allocator's large-block paths (from 1008
    // bytes, glibc first merges every freed small block).
    static constexpr size_t kInitialAllocation = 512;
    static constexpr size_t kGrowthStep = 262144;
    static constexpr size_t kMaxLimit = 2147483647;

    InternalResultSetBuilder();
    ~InternalResultSetBuilder();
    InternalResultSetBuilder(const InternalResultSetBuilder&) = delete;
    InternalResultSetBuilder& operator=(const InternalResultSetBuilder&) = delete;

    // Positive: the limit (at most kMaxLimit); 0: unchanged; negative: 65536.
    void setMemoryLimit(long long bytes);
    // Back to the state of a new builder.
    void reset();

    // The appends throw std::bad_alloc when the buffer cannot grow; the
    // flags then tell out-of-memory from the size limit.
    void growBuffer(size_t extra);
    void appendColumnName(const char* text, size_t length);
    // A null or empty table name is written as a null item.
    void appendColumnTableName(const char* text, size_t length);
    // The fixed-size appends are defined here so the per-value path inlines them.
    void appendNullValue() {
        reserve(1);
        putByte(IRS_NULL);
    }
    void appendBooleanValue(bool value) {
        reserve(2);
        putByte(IRS_BOOLEAN);
        putByte(value ? 1 : 0);
    }
    void appendInt32Value(int32_t value) {
        reserve(5);
        putByte(IRS_INT32);
        putUInt32(static_cast<uint32_t>(value));
    }
    void appendDoubleValue(double value) {
        reserve(9);
        putByte(IRS_DOUBLE);
        uint64_t bits;
        memcpy(&bits, &value, sizeof(bits));
        putUInt64(bits);
    }
    void appendStringOrBinaryValue(InternalRSTypes tag, const char* bytes, size_t length);
    void appendInt64Value(int64_t value);
    void appendUInt64Value(uint64_t value);
    void appendSmallValue(int32_t value, dbcapi_data_type type, dbcapi_native_type nativeType);
    // Appends one fetched value with the tag its data type calls for; false
    // (nothing appended) for a non-null value of an unknown data type.
    bool appendValue(const ValueView& value, dbcapi_native_type nativeType);
    void endRow() { rowCount_++; }

    // Fills the header and returns the buffer, still owned by the builder;
    // null (size 0) when nothing was appended.
    const char* getBinaryResultSet(size_t& size);
    // The same, handing the buffer (from malloc) to the caller, who frees it.
    char* releaseBinaryResultSet(size_t& size);
    void fillError(ErrorInfo& error) const;
    [[noreturn]] void throwOOMOrSizeLimit();
    // Records an allocation failure met outside the builder during the same
    // fetch, so that it is reported as "Out of memory" rather than lost.
    void noteAllocationFailure() {
        if (!sizeLimit_) {
            outOfMemory_ = true;
        }
    }

    bool outOfMemory() const { return outOfMemory_; }
    bool sizeLimitReached() const { return sizeLimit_; }
    bool hasFailed() const { return outOfMemory_ || sizeLimit_; }
    size_t capacity() const { return capacity_; }
    size_t memoryLimit() const { return limit_; }
    uint32_t columnCount() const { return columnCount_; }
    uint32_t rowCount() const { return rowCount_; }

private:
    void reserve(size_t extra) {
        if (position_ + extra > capacity_) {
            growBuffer(extra);
        }
    }
    void putByte(uint8_t value) { buffer_[position_++] = static_cast<char>(value); }
    void putUInt32(uint32_t value) {
        unsigned char* out = reinterpret_cast<unsigned char*>(buffer_ + position_);
        out[0] = static_cast<unsigned char>(value);
        out[1] = static_cast<unsigned char>(value >> 8);
        out[2] = static_cast<unsigned char>(value >> 16);
        out[3] = static_cast<unsigned char>(value >> 24);
        position_ += 4;
    }
    void putUInt64(uint64_t value) {
        putUInt32(static_cast<uint32_t>(value));
        putUInt32(static_cast<uint32_t>(value >> 32));
    }
    void appendLengthPrefixed(InternalRSTypes tag, const char* bytes, size_t length);
    void appendDecimalText(uint64_t magnitude, bool negative);
    void releaseBuffer();
    void resizeBuffer(size_t newCapacity);

    char* buffer_;
    size_t capacity_;
    size_t limit_;
    size_t position_;
    uint32_t columnCount_;
    uint32_t rowCount_;
    bool outOfMemory_;
    bool sizeLimit_;
};

// Keys of the columns after duplicate renaming: the k-th repeat of a name
// becomes "name:k+1". With nestTables, columns that have a table name are
// not compared, since they live on their table's object.
std::vector<std::string> makeColumnKeys(const std::vector<const char*>& names,
                                        const std::vector<const char*>& tableNames, bool nestTables);

// Fixed-size text record for dates, times and timestamps. A text that does
// not fit is not stored here: the record is marked kInStringBlock and the
// text travels as an ordinary length-prefixed string block instead.
template <size_t N>
struct FixedTextRecord {
    static constexpr uint32_t kNull = 4294967295u;
    static constexpr uint32_t kInStringBlock = 4294967294u;
    char text[N];
    uint32_t length;

    // Returns false when the text is too long and must go to a block.
    bool assign(const char* bytes, size_t count) {
        if (count > N) {
            length = kInStringBlock;
            return false;
        }
        if (count > 0) {
            memcpy(text, bytes, count);
        }
        length = static_cast<uint32_t>(count);
        return true;
    }
};

typedef FixedTextRecord<12> a_date;
typedef FixedTextRecord<12> a_time;
typedef FixedTextRecord<32> a_timestamp;

// Native types whose STRING values are kept in the fixed records.
enum DateTimeKind { DT_NONE, DT_DATE, DT_TIME, DT_TIMESTAMP };
DateTimeKind dateTimeKind(dbcapi_native_type nativeType);

#endif
