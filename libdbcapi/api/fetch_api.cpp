// Fetching: single rows, bound columns with row sets, values, slices and
// column descriptions.
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "handles.h"

namespace zkv {
namespace {

StatementPart* resultPart(dbcapi_stmt* stmt) {
    StatementPart* part = stmt->executed ? currentPart(stmt) : nullptr;
    if (!part) {
        stmt->conn->error.set(kSequenceError, "HY010", "The statement has not been executed");
        return nullptr;
    }
    if (part->columns.empty()) {
        stmt->conn->error.set(kSequenceError, "24000", "The current result has no rows to fetch");
        return nullptr;
    }
    return part;
}

// Moves the cursor to its next row; false at the end (code 100) or on error.
bool advance(dbcapi_stmt* stmt, StatementPart& part) {
    part.onRow = false;
    if (part.pendingRow) {
        part.pendingRow = false;
    } else {
        if (part.done) {
            stmt->conn->error.set(kNoMoreRows, "02000", "No more rows");
            return false;
        }
        BackendError err;
        StepResult result = part.cursor->step(err);
        if (result != StepResult::Row) {
            part.done = true;
            if (result == StepResult::Error) {
                stmt->conn->error.set(err);
                return false;
            }
            if (&part == stmt->parts.back().get() && !runStatementsAfter(stmt)) return false;
            stmt->conn->error.set(kNoMoreRows, "02000", "No more rows");
            return false;
        }
    }
    part.onRow = true;
    ++part.rowsFetched;
    return true;
}

template <typename T>
T* rowEntry(T* base, uint32_t row, uint32_t rowSize) {
    if (!base) return nullptr;
    if (!rowSize) return base + row;
    return reinterpret_cast<T*>(reinterpret_cast<char*>(base) + static_cast<size_t>(row) * rowSize);
}

char* rowSlot(const dbcapi_data_value& bound, uint32_t row, uint32_t rowSize) {
    return bound.buffer + static_cast<size_t>(row) * (rowSize ? rowSize : bound.buffer_size);
}

// The error reports of writeSlot, kept out of line so the per-value path
// builds no strings.
[[gnu::noinline, gnu::cold]] bool readFailed(dbcapi_stmt* stmt, const StatementPart& part, const BackendError& err) {
    stmt->conn->error.set(err.code, err.sqlstate.c_str(),
                          err.message + " (row " + std::to_string(part.rowsFetched) + ")");
    return false;
}

[[gnu::noinline, gnu::cold]] bool nullNotBound(dbcapi_stmt* stmt, const ColumnMeta& meta) {
    stmt->conn->error.set(kInvalidArgument, "22002",
                          "Column \"" + meta.name + "\" is null, but was bound without a null indicator");
    return false;
}

[[gnu::noinline, gnu::cold]] bool noIndicator(dbcapi_stmt* stmt, const StatementPart& part, const ColumnMeta& meta) {
    stmt->conn->error.set(kDataTooLong, "22001",
                          "Value of column \"" + meta.name + "\" does not fit its bound buffer, and the column " +
                              "was bound without a null indicator to mark it (row " +
                              std::to_string(part.rowsFetched) + ")");
    return false;
}

// A value of another type than the slot's, or longer than the slot, is
// kept whole beside the row set and its slot marked.
[[gnu::noinline]] bool putAside(dbcapi_stmt* stmt, const StatementPart& part, size_t col, uint32_t row,
                                const ValueView& view, dbcapi_bool* isNull, size_t* length) {
    if (!isNull) return noIndicator(stmt, part, part.columns[col]);
    AsideValue aside;
    aside.row = row;
    aside.col = col;
    aside.type = view.type;
    aside.bytes.assign(view.data ? view.data : "", view.length);
    aside.length = view.length;
    stmt->aside.push_back(std::move(aside));
    *isNull = DBCAPI_VALUE_ASIDE;
    if (length) *length = view.length;
    return true;
}

// Values are put aside row by row, column by column: the list is sorted.
const AsideValue* findAside(const dbcapi_stmt* stmt, uint32_t row, size_t col) {
    auto it = std::lower_bound(stmt->aside.begin(), stmt->aside.end(), std::make_pair(row, col),
                               [](const AsideValue& a, const std::pair<uint32_t, size_t>& key) {
                                   return std::make_pair(a.row, a.col) < key;
                               });
    return it != stmt->aside.end() && it->row == row && it->col == col ? &*it : nullptr;
}

// err is the caller's, reused across values so that no value pays for it.
bool writeSlot(dbcapi_stmt* stmt, StatementPart& part, size_t col, uint32_t row, BackendError& err) {
    const dbcapi_data_value& bound = stmt->boundColumns[col];
    const ColumnMeta& meta = part.columns[col];
    ValueView view;
    if (!readValue(*part.cursor, static_cast<int>(col), meta, bound.type, stmt->scratch[col].number, view, err)) {
        return readFailed(stmt, part, err);
    }
    size_t* length = rowEntry(bound.length, row, stmt->columnRowSize);
    dbcapi_bool* isNull = rowEntry(bound.is_null, row, stmt->columnRowSize);
    if (view.isNull) {
        if (!isNull) return nullNotBound(stmt, meta);
        *isNull = 1;
        if (length) *length = 0;
        return true;
    }
    if (view.type != bound.type || view.length > bound.buffer_size)
        return putAside(stmt, part, col, row, view, isNull, length);
    char* slot = rowSlot(bound, row, stmt->columnRowSize);
    // A fixed-size copy compiles to one move instead of a call.
    if (view.length == sizeof(int64_t)) std::memcpy(slot, view.data, sizeof(int64_t));
    else if (view.length) std::memcpy(slot, view.data, view.length);
    if (bound.type == DBCAPI_STRING && view.length < bound.buffer_size) slot[view.length] = '\0';
    if (length) *length = view.length;
    if (isNull) *isNull = 0;
    return true;
}

bool fillRowset(dbcapi_stmt* stmt, StatementPart& part) {
    uint32_t row = 0;
    const size_t bound = std::min(stmt->boundColumns.size(), part.columns.size());
    BackendError err;
    for (; row < stmt->rowsetSize; ++row) {
        if (!advance(stmt, part)) {
            if (stmt->conn->error.code() != kNoMoreRows || row == 0) return false;
            stmt->conn->error.clear();
            break;
        }
        for (size_t col = 0; col < bound; ++col)
            if (stmt->columnIsBound[col] && !writeSlot(stmt, part, col, row, err)) return false;
        stmt->fetchedRows = static_cast<int32_t>(row + 1);
    }
    return true;
}

// The value of a column at the current row (row-set position for bound
// columns), in library-owned or bound storage.
bool columnValue(dbcapi_stmt* stmt, uint32_t index, dbcapi_data_value& value) {
    StatementPart* part = resultPart(stmt);
    if (!part) return false;
    if (index >= part->columns.size()) {
        stmt->conn->error.set(kInvalidIndex, "07009", "Invalid column index " + std::to_string(index));
        return false;
    }
    if (stmt->fetchedRows <= 0) {
        stmt->conn->error.set(kSequenceError, "24000", "There is no current row");
        return false;
    }
    if (index < stmt->boundColumns.size() && stmt->columnIsBound[index]) {
        const dbcapi_data_value& bound = stmt->boundColumns[index];
        value = bound;
        value.buffer = rowSlot(bound, stmt->rowsetPos, stmt->columnRowSize);
        value.length = rowEntry(bound.length, stmt->rowsetPos, stmt->columnRowSize);
        value.is_null = rowEntry(bound.is_null, stmt->rowsetPos, stmt->columnRowSize);
        const AsideValue* aside =
            value.is_null && *value.is_null == DBCAPI_VALUE_ASIDE ? findAside(stmt, stmt->rowsetPos, index) : nullptr;
        if (aside) {
            value.buffer = const_cast<char*>(aside->bytes.data());
            value.buffer_size = aside->length;
            value.length = const_cast<size_t*>(&aside->length);
            value.type = aside->type;
            value.is_null = const_cast<dbcapi_bool*>(&aside->isNull);
        }
        return true;
    }
    if (!part->onRow || stmt->rowsetPos + 1 != static_cast<uint32_t>(stmt->fetchedRows)) {
        stmt->conn->error.set(kSequenceError, "24000",
                              "An unbound column can only be read at the last row of the row set");
        return false;
    }
    ColumnScratch& scratch = stmt->scratch[index];
    const ColumnMeta& meta = part->columns[index];
    ValueView view;
    BackendError err;
    if (!readValue(*part->cursor, static_cast<int>(index), meta, meta.type, scratch.number, view, err)) {
        stmt->conn->error.set(err);
        return false;
    }
    scratch.length = view.length;
    scratch.isNull = view.isNull ? 1 : 0;
    value.buffer = const_cast<char*>(view.data);
    value.buffer_size = view.length;
    value.length = &scratch.length;
    value.type = view.type;
    value.is_null = &scratch.isNull;
    value.is_address = 0;
    return true;
}

// A result's memory barely moves: it is noted at the first fetch of a
// result and again when the result ends, not at every row set.
void addFetchStats(dbcapi_stmt* stmt, StatementPart& part, int64_t startNs, bool ok) {
    int64_t endNs = steadyNanos();
    stmt->fetchStats.cpuMicros += stmt->conn->session->callCpuMicros(endNs);
    stmt->fetchStats.wallMicros += (endNs - startNs) / 1000;
    Stats& stats = stmt->fetchStats;
    if (part.cursor->measuresOnDemand() || !ok || part.done || stats.memory() == 0) stats.noteMemory(*part.cursor);
}

}  // namespace

bool fetchNext(dbcapi_stmt* stmt) {
    CallScope scope(stmt->conn, stmt, stmt->timeoutSeconds);
    StatementPart* part = resultPart(stmt);
    if (!part) return false;
    resetFetchState(stmt);
    bool ok;
    if (stmt->anyBound) {
        ok = fillRowset(stmt, *part);
    } else {
        ok = advance(stmt, *part);
        if (ok) stmt->fetchedRows = 1;
    }
    addFetchStats(stmt, *part, scope.startNs(), ok);
    return ok;
}

void resetFetchState(dbcapi_stmt* stmt) {
    stmt->fetchedRows = 0;
    stmt->rowsetPos = 0;
    stmt->aside.clear();
}

}  // namespace zkv

DBCAPI_EXPORT dbcapi_bool dbcapi_fetch_next(dbcapi_stmt* stmt) { return stmt && zkv::fetchNext(stmt) ? 1 : 0; }

DBCAPI_EXPORT dbcapi_bool dbcapi_fetch_absolute(dbcapi_stmt* stmt, int32_t row) {
    if (!stmt) return 0;
    stmt->conn->error.set(zkv::kNotSupported, "HY106",
                          "Results are forward-only: fetch the rows in order with dbcapi_fetch_next");
    return 0;
}

DBCAPI_EXPORT int32_t dbcapi_fetched_rows(dbcapi_stmt* stmt) { return stmt ? stmt->fetchedRows : -1; }

DBCAPI_EXPORT int32_t dbcapi_num_rows(dbcapi_stmt* stmt) {
    zkv::StatementPart* part = stmt && stmt->executed ? zkv::currentPart(stmt) : nullptr;
    if (!part || part->columns.empty()) return -1;
    return static_cast<int32_t>(part->rowsFetched);
}

DBCAPI_EXPORT int32_t dbcapi_num_cols(dbcapi_stmt* stmt) {
    if (!stmt) return -1;
    zkv::StatementPart* part = zkv::currentPart(stmt);
    return part ? part->cursor->columnCount() : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_get_column(dbcapi_stmt* stmt, uint32_t index, dbcapi_data_value* value) {
    if (!stmt || !value) return 0;
    stmt->conn->error.clear();
    return zkv::columnValue(stmt, index, *value) ? 1 : 0;
}

DBCAPI_EXPORT int32_t dbcapi_get_data(dbcapi_stmt* stmt, uint32_t index, size_t offset, void* buffer, size_t size) {
    if (!stmt) return -1;
    stmt->conn->error.clear();
    dbcapi_data_value value{};
    if (!zkv::columnValue(stmt, index, value)) return -1;
    if (!buffer && size) {
        stmt->conn->error.set(zkv::kInvalidArgument, "HY009", "dbcapi_get_data needs a buffer");
        return -1;
    }
    if ((value.is_null && *value.is_null) || !value.buffer) return 0;
    size_t length = value.length ? *value.length : value.buffer_size;
    if (offset >= length) return 0;
    size_t n = length - offset < size ? length - offset : size;
    if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) n = std::numeric_limits<int32_t>::max();
    std::memcpy(buffer, value.buffer + offset, n);
    return static_cast<int32_t>(n);
}

DBCAPI_EXPORT dbcapi_bool dbcapi_get_data_info(dbcapi_stmt* stmt, uint32_t index, dbcapi_data_info* info) {
    if (!stmt || !info) return 0;
    stmt->conn->error.clear();
    dbcapi_data_value value{};
    if (!zkv::columnValue(stmt, index, value)) return 0;
    info->type = value.type;
    info->is_null = value.is_null && *value.is_null ? 1 : 0;
    info->data_size = info->is_null ? 0 : (value.length ? *value.length : value.buffer_size);
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_get_column_info(dbcapi_stmt* stmt, uint32_t index, dbcapi_column_info* info) {
    if (!stmt || !info) return 0;
    stmt->conn->error.clear();
    zkv::StatementPart* part = zkv::currentPart(stmt);
    if (part && !part->described) zkv::describePart(stmt, *part);
    if (!part || index >= part->columns.size()) {
        stmt->conn->error.set(zkv::kInvalidIndex, "07009", "Invalid column index " + std::to_string(index));
        return 0;
    }
    const zkv::ColumnMeta& meta = part->columns[index];
    std::memset(info, 0, sizeof(*info));
    info->name = meta.name.c_str();
    info->column_name = meta.columnName.c_str();
    info->type = meta.type;
    info->native_type = meta.nativeType;
    info->precision = meta.precision;
    info->scale = meta.scale;
    info->max_size = meta.maxSize;
    info->nullable = meta.nullable ? 1 : 0;
    info->table_name = meta.tableName.empty() ? nullptr : meta.tableName.c_str();
    info->owner_name = meta.ownerName.empty() ? nullptr : meta.ownerName.c_str();
    info->is_case_sensitive = meta.type == DBCAPI_STRING ? 1 : 0;
    info->is_signed = meta.type != DBCAPI_STRING && meta.type != DBCAPI_BINARY ? 1 : 0;
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_rowset_size(dbcapi_stmt* stmt, uint32_t num_rows) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    if (num_rows == 0) {
        stmt->conn->error.set(zkv::kInvalidArgument, "HY024", "The row-set size must be at least 1");
        return 0;
    }
    stmt->rowsetSize = num_rows;
    return 1;
}

DBCAPI_EXPORT uint32_t dbcapi_get_rowset_size(dbcapi_stmt* stmt) { return stmt ? stmt->rowsetSize : 0; }

DBCAPI_EXPORT dbcapi_bool dbcapi_set_column_bind_type(dbcapi_stmt* stmt, uint32_t row_size) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    stmt->columnRowSize = row_size;
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_bind_column(dbcapi_stmt* stmt, uint32_t index, dbcapi_data_value* value) {
    if (!stmt || !value) return 0;
    stmt->conn->error.clear();
    int32_t count = dbcapi_num_cols(stmt);
    if (index >= static_cast<uint32_t>(count < 0 ? 0 : count)) {
        stmt->conn->error.set(zkv::kInvalidIndex, "07009", "Invalid column index " + std::to_string(index));
        return 0;
    }
    size_t fixed = zkv::hostTypeSize(value->type);
    bool typeOk = fixed || value->type == DBCAPI_STRING || value->type == DBCAPI_BINARY;
    if (!value->buffer || !typeOk || value->buffer_size < fixed) {
        stmt->conn->error.set(zkv::kInvalidArgument, "HY090",
                              "Column " + std::to_string(index) + " is bound without a usable buffer and type");
        return 0;
    }
    if (stmt->boundColumns.size() < static_cast<size_t>(count)) {
        stmt->boundColumns.resize(static_cast<size_t>(count));
        stmt->columnIsBound.resize(static_cast<size_t>(count), 0);
    }
    if (stmt->scratch.size() < static_cast<size_t>(count)) stmt->scratch.resize(static_cast<size_t>(count));
    stmt->boundColumns[index] = *value;
    stmt->columnIsBound[index] = 1;
    stmt->anyBound = true;
    return 1;
}

// Keeps the connection's error: it cannot fail, and it is called on the way
// out of a fetch whose outcome the caller has yet to read.
DBCAPI_EXPORT dbcapi_bool dbcapi_clear_column_bindings(dbcapi_stmt* stmt) {
    if (!stmt) return 0;
    stmt->boundColumns.clear();
    stmt->columnIsBound.clear();
    stmt->anyBound = false;
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_rowset_pos(dbcapi_stmt* stmt, uint32_t row_num) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    if (row_num >= static_cast<uint32_t>(stmt->fetchedRows > 0 ? stmt->fetchedRows : 0)) {
        stmt->conn->error.set(zkv::kInvalidIndex, "HY107",
                              "Row-set position " + std::to_string(row_num) + " is outside the fetched rows");
        return 0;
    }
    stmt->rowsetPos = row_num;
    return 1;
}
