// Database values and column descriptions on the native side: type names,
// small-integer reading, owned copies of column descriptions and the fetch
// buffers bound to result columns. Free of Napi; runs on any thread.
#ifndef ZELK_DB_VALUES_H
#define ZELK_DB_VALUES_H

#include <stddef.h>

#include <vector>

#include "dbcapi/dbcapi.h"
#include "error_info.h"

const char* getTypeName(dbcapi_data_type type);
const char* getNativeTypeName(dbcapi_native_type type);

// New character array holding a copy of text (free with delete[]); null for
// null.
char* copyString(const char* text);

// Reads VAL32, VAL16, UVAL16, VAL8, UVAL8 and STRING values as an int. Any
// other type fails, recording -20011 when reportError is set.
bool convertToInt(ErrorInfo& error, dbcapi_data_value& value, int& out, bool reportError);

// Owns the value records bound as fetch targets, one per column; each record
// owns its data buffer, length array and is-null array.
class DataValueCollection {
public:
    DataValueCollection() = default;
    ~DataValueCollection();
    DataValueCollection(const DataValueCollection&) = delete;
    DataValueCollection& operator=(const DataValueCollection&) = delete;
    // Leaves other empty.
    DataValueCollection(DataValueCollection&& other) noexcept : values_(std::move(other.values_)) {
        other.values_.clear();
    }

    void clear();
    void reserve(size_t count) { values_.reserve(count); }
    // Takes ownership of value.
    void push_back(dbcapi_data_value* value) { values_.push_back(value); }
    size_t size() const { return values_.size(); }
    bool empty() const { return values_.empty(); }
    dbcapi_data_value* operator[](size_t index) const { return values_[index]; }

private:
    std::vector<dbcapi_data_value*> values_;
};

// Column descriptions are owned deep copies: each record and its four texts
// (name, column name, table name, owner name) belong to the vector holding
// it and stay valid after the statement moves on or is freed.
int fetchColumnInfos(dbcapi_stmt* stmt, std::vector<dbcapi_column_info*>& columnInfos);
int copyColumnInfos(std::vector<dbcapi_column_info*>& dest, const std::vector<dbcapi_column_info*>& source);
void freeColumnInfos(std::vector<dbcapi_column_info*>& columnInfos);

// True when some column is a large object (value_rules.h) or VARBINARY;
// such columns are fetched value by value, never bound.
bool anyLobsInColInfo(const std::vector<dbcapi_column_info*>& columnInfos);

// Bytes of one row's slot when the column is bound for fetching.
size_t columnSlotSize(const dbcapi_column_info& info);

// Replaces the records of values by one per column, bound for row sets of
// rowSetSize rows. On false the
// records made so far stay in values for the caller to free; allocation
// failures propagate as std::bad_alloc.
bool allocateAndBindColumns(dbcapi_stmt* stmt, int rowSetSize, const std::vector<dbcapi_column_info*>& columnInfos,
                            DataValueCollection& values);
// Binds the records of values again, as allocateAndBindColumns made them.
bool bindColumnBuffers(dbcapi_stmt* stmt, int rowSetSize, const DataValueCollection& values);

#endif
