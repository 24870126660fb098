// Batch rows: the JavaScript rows of a batch read in one pass straight into
// one store per column, laid out as the client library binds a row set (per
// row a slot of the column's largest value, a length and a null flag).
// BatchReader runs on the JavaScript thread; BatchColumn::layOut on the
// worker.
#ifndef ZELK_BATCH_ROWS_H
#define ZELK_BATCH_ROWS_H

#include <node_api.h>
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "dbcapi/dbcapi.h"

// Bytes grown in place; malloc'd so that running out of memory is a result,
// not an exception.
class ByteStore {
public:
    ByteStore() = default;
    ~ByteStore();
    ByteStore(ByteStore&& other) noexcept;
    ByteStore(const ByteStore&) = delete;
    ByteStore& operator=(const ByteStore&) = delete;
    ByteStore& operator=(ByteStore&&) = delete;

    // Room for count more bytes at end().
    bool reserve(size_t count);
    // Replaces the contents with size zero bytes.
    bool allocateZeroed(size_t size);
    void advance(size_t count) { size_ += count; }
    void release();
    char* data() const { return data_; }
    char* end() const { return data_ + size_; }
    size_t size() const { return size_; }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Every row's value of one parameter.
struct BatchColumn {
    static constexpr size_t kNoBytes = static_cast<size_t>(-1);

    dbcapi_data_type type = DBCAPI_VAL32;  // the first row's type
    size_t valueSize = 0;                  // buffer size of the largest value
    size_t fixedSize = 0;                  // numbers, booleans: bytes holds one slot per row already
    std::vector<size_t> lengths;
    std::vector<dbcapi_bool> nulls;
    std::vector<size_t> offsets;  // other values: start of the row's bytes in bytes, or kNoBytes
    ByteStore bytes;
    ByteStore slots;  // filled by layOut unless the values are fixed-size

    // Spreads the values into slots of the largest value's size; false when
    // memory ran out.
    bool layOut(size_t rowCount);
    // The buffer, length and null arrays for dbcapi_bind_param (after layOut).
    void describe(dbcapi_data_value& value);
};

class BatchReader {
public:
    explicit BatchReader(napi_env env) : env_(env) {}

    // Whether rows is a non-empty array of non-empty arrays of one length;
    // false also when reading it threw.
    bool readShape(napi_value rows);
    // Reads every value once, in row-major order: checks that the types of
    // each column agree (null and undefined adopt a later type) and converts
    // them. False when reading a value threw.
    bool readValues();
    // The column of the last row whose types disagreed, or -1.
    int mismatchColumn() const { return mismatch_; }
    // Converts the objects held back until the checks passed; false when a
    // value cannot be bound or memory ran out.
    bool finish();

    uint32_t rowCount() const { return static_cast<uint32_t>(rows_.size()); }
    uint32_t columnCount() const { return columnCount_; }
    std::vector<BatchColumn>& columns() { return columns_; }

private:
    struct Position {
        uint32_t row;
        uint32_t column;
    };

    unsigned typeOf(napi_value value) const;
    bool readRow(uint32_t row);
    bool converting() const { return mismatch_ < 0 && !refused_; }
    bool convert(uint32_t row, uint32_t column, unsigned type, napi_value value);
    bool storeFixed(BatchColumn& column, uint32_t row, const void* value, size_t size);
    bool storeString(BatchColumn& column, uint32_t row, napi_value value);
    bool storeBytes(BatchColumn& column, uint32_t row, const void* data, size_t size, size_t length);
    bool convertHeldBack(const Position& position);

    napi_env env_;
    std::vector<napi_value> rows_;
    uint32_t columnCount_ = 0;
    std::vector<unsigned> types_;
    std::vector<BatchColumn> columns_;
    std::vector<Position> heldBack_;
    int mismatch_ = -1;
    bool refused_ = false;
};

#endif
