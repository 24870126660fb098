#include "fetch.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>
#include <tuple>
#include <utility>

#include "db_values.h"
#include "dbcapi/DBCAPI_DLL.h"
#include "value_rules.h"

namespace {

const size_t kReservedValues = 16384;
const size_t kReservedDateTimes = 4096;
// Up to this size a result is copied into the engine's memory: cheaper than
// the finalizer an outside buffer needs.
const size_t kCopiedResultSize = 4096;
const size_t kKeptFetchBufferBytes = 64 * 1024;

// Block layout: 8-byte length, the bytes, a terminating NUL.
char* newStringBlock(const char* data, size_t length) {
    char* block = new char[length + 9];
    uint64_t stored = length;
    memcpy(block, &stored, sizeof(stored));
    if (length > 0) {
        memcpy(block + 8, data, length);
    }
    block[8 + length] = '\0';
    return block;
}

// The entry is pushed first so that a failed allocation leaves nothing
// unowned behind.
void pushStringBlock(std::vector<char*>& blocks, const char* data, size_t length) {
    blocks.push_back(nullptr);
    blocks.back() = newStringBlock(data, length);
}

template <typename Record>
void storeFixedText(std::vector<Record>& records, std::vector<char*>& blocks, const ValueView& value) {
    records.emplace_back();
    if (!records.back().assign(value.data, value.length)) {
        pushStringBlock(blocks, value.data, value.length);
    }
}

void storeText(ResultCollection& result, const ValueView& value, dbcapi_native_type nativeType) {
    switch (dateTimeKind(nativeType)) {
        case DT_DATE: storeFixedText(result.dateValues, result.stringValues, value); break;
        case DT_TIME: storeFixedText(result.timeValues, result.stringValues, value); break;
        case DT_TIMESTAMP: storeFixedText(result.timestampValues, result.stringValues, value); break;
        case DT_NONE: pushStringBlock(result.stringValues, value.data, value.length); break;
    }
}

bool storeNumber(ResultCollection& result, const DbNumber& number) {
    switch (number.kind) {
        case NK_DOUBLE: result.doubleValues.push_back(number.real); return true;
        case NK_INT64: result.longValues.push_back(number.signed64); return true;
        case NK_UINT64: result.ulongValues.push_back(number.unsigned64); return true;
        case NK_SMALL: result.intValues.push_back(number.small); return true;
        case NK_NONE: return false;
    }
    return false;
}

bool storeColumnarValue(ResultCollection& result, const ValueView& value, dbcapi_native_type nativeType) {
    if (value.isNull) {
        result.types.push_back(DBCAPI_INVALID_TYPE);
        return true;
    }
    if (value.data == nullptr && value.type != DBCAPI_STRING && value.type != DBCAPI_BINARY) {
        return false;
    }
    if (value.type == DBCAPI_BINARY) {
        pushStringBlock(result.stringValues, value.data, value.length);
    } else if (value.type == DBCAPI_STRING) {
        storeText(result, value, nativeType);
    } else if (!storeNumber(result, readNumber(value.type, value.data))) {
        return false;
    }
    result.types.push_back(value.type);
    return true;
}

template <typename V>
void reserveIfUsed(V& values, bool used, size_t count) {
    if (used && values.capacity() < count) {
        values.reserve(count);
    }
}

void reserveColumnar(ResultCollection& result) {
    bool used[NK_SMALL + 1] = {false};
    bool dates = false, times = false, timestamps = false, blocks = false;
    for (const dbcapi_column_info* info : result.columns->infos) {
        used[numberKindOf(info->type)] = true;
        DateTimeKind kind = info->type == DBCAPI_STRING ? dateTimeKind(info->native_type) : DT_NONE;
        dates |= kind == DT_DATE;
        times |= kind == DT_TIME;
        timestamps |= kind == DT_TIMESTAMP;
        blocks |= info->type == DBCAPI_BINARY || (info->type == DBCAPI_STRING && kind == DT_NONE);
    }
    reserveIfUsed(result.types, true, kReservedValues);
    reserveIfUsed(result.stringValues, blocks, kReservedValues);
    reserveIfUsed(result.intValues, used[NK_SMALL], kReservedValues);
    reserveIfUsed(result.longValues, used[NK_INT64], kReservedValues);
    reserveIfUsed(result.ulongValues, used[NK_UINT64], kReservedValues);
    reserveIfUsed(result.doubleValues, used[NK_DOUBLE], kReservedValues);
    reserveIfUsed(result.dateValues, dates, kReservedDateTimes);
    reserveIfUsed(result.timeValues, times, kReservedDateTimes);
    reserveIfUsed(result.timestampValues, timestamps, kReservedDateTimes);
}

bool sameText(const char* now, const char* kept) {
    return now == nullptr ? kept == nullptr : kept != nullptr && strcmp(now, kept) == 0;
}

bool describedAs(const dbcapi_column_info& now, const dbcapi_column_info& kept) {
    return now.type == kept.type && now.native_type == kept.native_type && now.precision == kept.precision &&
           now.scale == kept.scale && now.max_size == kept.max_size && now.nullable == kept.nullable &&
           now.is_case_sensitive == kept.is_case_sensitive && now.is_signed == kept.is_signed &&
           now.is_autoincrement == kept.is_autoincrement && sameText(now.name, kept.name) &&
           sameText(now.column_name, kept.column_name) && sameText(now.table_name, kept.table_name) &&
           sameText(now.owner_name, kept.owner_name);
}

// Reading the description without copying it is cheap; a schema change or
// a column typed by its first value shows up here as a difference.
bool stillDescribes(dbcapi_stmt* stmt, const ResultColumns& columns) {
    int count = std::max(0, g_api.dbcapi_num_cols(stmt));
    if (static_cast<size_t>(count) != columns.infos.size()) {
        return false;
    }
    for (int i = 0; i < count; i++) {
        dbcapi_column_info now = {};
        g_api.dbcapi_get_column_info(stmt, static_cast<uint32_t>(i), &now);
        if (!describedAs(now, *columns.infos[static_cast<size_t>(i)])) {
            return false;
        }
    }
    return true;
}

std::shared_ptr<const ResultColumns> newResultColumns(dbcapi_stmt* stmt) {
    auto columns = std::make_shared<ResultColumns>();
    fetchColumnInfos(stmt, columns->infos);
    std::vector<const char*> names;
    std::vector<const char*> tables;
    for (const dbcapi_column_info* info : columns->infos) {
        columns->nativeTypes.push_back(info->native_type);
        names.push_back(info->name);
        tables.push_back(info->table_name);
    }
    columns->keys = makeColumnKeys(names, tables, false);
    columns->nestedKeys = makeColumnKeys(names, tables, true);
    return columns;
}

// The previous description when the handle still describes it, else a new one.
std::shared_ptr<const ResultColumns> describeColumns(dbcapi_stmt* stmt,
                                                     const std::shared_ptr<const ResultColumns>& previous) {
    if (previous != nullptr && stillDescribes(stmt, *previous)) {
        return previous;
    }
    return newResultColumns(stmt);
}

void appendNameSections(ResultCollection& result) {
    for (const std::string& key : result.columns->keysFor(result.options.nestTables)) {
        result.builder.appendColumnName(key.data(), key.size());
    }
    for (const dbcapi_column_info* info : result.columns->infos) {
        const char* table = result.options.nestTables ? info->table_name : nullptr;
        result.builder.appendColumnTableName(table, table != nullptr ? strlen(table) : 0);
    }
}

// Reads every fetched row set; store(view, column) keeps one value.
template <typename Store>
bool readAllRows(dbcapi_stmt* stmt, const DataValueCollection* bound, size_t columnCount, Store store) {
    while (g_api.dbcapi_fetch_next(stmt)) {
        int fetched = g_api.dbcapi_fetched_rows(stmt);
        for (int row = 0; row < fetched; row++) {
            if (bound == nullptr && row > 0 && !g_api.dbcapi_set_rowset_pos(stmt, static_cast<uint32_t>(row))) {
                return false;
            }
            for (size_t c = 0; c < columnCount; c++) {
                ValueView view;
                if (bound != nullptr) {
                    view = boundValueView(*(*bound)[c], static_cast<size_t>(row));
                }
                bool aside = bound != nullptr && view.isNull && isAside(*(*bound)[c], static_cast<size_t>(row));
                if (bound == nullptr || aside) {
                    dbcapi_data_value value = {};
                    if ((aside && !g_api.dbcapi_set_rowset_pos(stmt, static_cast<uint32_t>(row))) ||
                        !g_api.dbcapi_get_column(stmt, static_cast<uint32_t>(c), &value)) {
                        return false;
                    }
                    view = fetchedValueView(value);
                }
                if (!store(view, c)) {
                    return false;
                }
            }
            store.endRow();
        }
    }
    return true;
}

struct BinaryStore {
    ResultCollection& result;
    bool operator()(const ValueView& view, size_t column) {
        return result.builder.appendValue(view, result.columns->nativeTypes[column]);
    }
    void endRow() { result.builder.endRow(); }
};

struct ColumnarStore {
    ResultCollection& result;
    bool operator()(const ValueView& view, size_t column) {
        return storeColumnarValue(result, view, result.columns->nativeTypes[column]);
    }
    void endRow() {}
};

// Unbinds the statement's columns before the bound buffers are freed, so a
// statement kept for later use never points at freed memory.
struct BindingGuard {
    dbcapi_stmt* stmt;
    bool bound;
    ~BindingGuard() {
        if (bound) {
            g_api.dbcapi_clear_column_bindings(stmt);
        }
    }
};

// Frees buffers that are not kept, after BindingGuard (declared after it)
// has unbound them.
struct UnkeptBuffersGuard {
    FetchReuse& reuse;
    ~UnkeptBuffersGuard() {
        if (reuse.buffersFor == nullptr) {
            reuse.buffers.clear();
        }
    }
};

size_t fetchBufferBytes(const std::vector<dbcapi_column_info*>& infos, int rowSetSize) {
    size_t bytes = 0;
    for (const dbcapi_column_info* info : infos) {
        bytes += columnSlotSize(*info) * static_cast<size_t>(rowSetSize);
    }
    return bytes;
}

// Buffers sized for an earlier description are made anew; the handle's
// bindings are always made again, since other uses of the handle (a result
// set, the guard below) change them in between. Only small buffers are kept
// between executes: wide columns times a large row set would otherwise stay
// allocated for every kept text.
bool bindFetchBuffers(dbcapi_stmt* stmt, int rowSetSize, const std::shared_ptr<const ResultColumns>& columns,
                      FetchReuse& reuse) {
    if (reuse.buffersFor == columns && reuse.buffersRows == rowSetSize) {
        return bindColumnBuffers(stmt, rowSetSize, reuse.buffers);
    }
    reuse.buffersFor = nullptr;
    if (!allocateAndBindColumns(stmt, rowSetSize, columns->infos, reuse.buffers)) {
        return false;
    }
    if (fetchBufferBytes(columns->infos, rowSetSize) <= kKeptFetchBufferBytes) {
        reuse.buffersFor = columns;
        reuse.buffersRows = rowSetSize;
    }
    return true;
}

bool fetchRows(dbcapi_stmt* stmt, int rowSetSize, ResultCollection& result, FetchReuse& reuse) {
    UnkeptBuffersGuard unkept{reuse};
    BindingGuard guard{stmt, !anyLobsInColInfo(result.columns->infos)};
    if (guard.bound && !bindFetchBuffers(stmt, rowSetSize, result.columns, reuse)) {
        return false;
    }
    const DataValueCollection* bound = guard.bound ? &reuse.buffers : nullptr;
    size_t columnCount = result.columns->infos.size();
    if (result.options.fastInternalRows) {
        appendNameSections(result);
        return readAllRows(stmt, bound, columnCount, BinaryStore{result});
    }
    reserveColumnar(result);
    return readAllRows(stmt, bound, columnCount, ColumnarStore{result});
}

}  // namespace

ResultColumns::~ResultColumns() { freeColumnInfos(infos); }

FetchReuse& FetchReuseByText::forText(const std::string& sql) {
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if (entry->first == sql) {
            entries_.splice(entries_.begin(), entries_, entry);
            return entries_.front().second;
        }
    }
    entries_.emplace_front(std::piecewise_construct, std::forward_as_tuple(sql), std::forward_as_tuple());
    if (entries_.size() > kTexts) {
        entries_.pop_back();
    }
    return entries_.front().second;
}

ResultCollection::~ResultCollection() { clearValues(); }

void ResultCollection::clearValues() {
    for (char* block : stringValues) {
        delete[] block;
    }
    stringValues.clear();
    types.clear();
    intValues.clear();
    longValues.clear();
    ulongValues.clear();
    doubleValues.clear();
    dateValues.clear();
    timeValues.clear();
    timestampValues.clear();
}

namespace {

template <typename V>
void releaseIfLarge(V& values, size_t keep) {
    if (values.capacity() > keep) {
        V().swap(values);
    }
}

}  // namespace

// A kept collection holds on to no more than a reservation's worth: a large
// columnar result would otherwise stay allocated until the next call.
void ResultCollection::reset() {
    functionCode = 0;
    columns.reset();
    rowCount = -1;
    clearValues();
    releaseIfLarge(types, kReservedValues);
    releaseIfLarge(stringValues, kReservedValues);
    releaseIfLarge(intValues, kReservedValues);
    releaseIfLarge(longValues, kReservedValues);
    releaseIfLarge(ulongValues, kReservedValues);
    releaseIfLarge(doubleValues, kReservedValues);
    releaseIfLarge(dateValues, kReservedDateTimes);
    releaseIfLarge(timeValues, kReservedDateTimes);
    releaseIfLarge(timestampValues, kReservedDateTimes);
    builder.reset();
    options = ExecuteOptions();
    into = ResultArea();
}

bool fetchResultSet(dbcapi_stmt* stmt, int rowSetSize, ResultCollection& result, FetchReuse& reuse) {
    int affectedRows = g_api.dbcapi_affected_rows(stmt);
    if (!result.hasColumns()) {
        result.rowCount = affectedRows;
        return true;
    }
    result.rowCount = -1;
    try {
        return fetchRows(stmt, rowSetSize, result, reuse);
    } catch (const std::bad_alloc&) {
        result.builder.noteAllocationFailure();
        return false;
    }
}

void fetchWholeResult(dbcapi_connection* conn, dbcapi_stmt* stmt, int rowSetSize, ResultCollection& result,
                      ErrorInfo& error, FetchReuse* reuse) {
    FetchReuse once;
    FetchReuse& kept = reuse != nullptr ? *reuse : once;
    result.functionCode = g_api.dbcapi_get_function_code(stmt);
    kept.columns = describeColumns(stmt, kept.columns);
    result.columns = kept.columns;
    if (!fetchResultSet(stmt, rowSetSize, result, kept)) {
        if (!result.builder.hasFailed()) {
            getErrorMsg(conn, error);
        }
        if (!error.isSet()) {
            result.builder.fillError(error);
        }
        return;
    }
    int code = g_api.dbcapi_error(conn, nullptr, 0);
    if (code != 0 && code != DBCAPI_NO_MORE_ROWS) {
        getErrorMsg(conn, error);
    }
}

namespace {

// Creation failures of JavaScript values become module errors here, since
// a pending exception would not reach the caller's callback.
class ValueMaker {
public:
    explicit ValueMaker(Napi::Env env) : env_(env) {}

    napi_value string(const char* data, size_t length, ErrorInfo& error) {
        napi_value value = nullptr;
        if (napi_create_string_utf8(env_, data, length, &value) != napi_ok) {
            return fail(JS_ERR_STRING_TOO_LONG, error);
        }
        return value;
    }

    napi_value buffer(const char* data, size_t length, ErrorInfo& error) {
        napi_value value = nullptr;
        if (napi_create_buffer_copy(env_, length, data, nullptr, &value) != napi_ok) {
            return fail(JS_ERR_OUT_OF_MEMORY, error);
        }
        return value;
    }

    napi_value number(double value) { return Napi::Number::New(env_, value); }
    napi_value boolean(bool value) { return Napi::Boolean::New(env_, value); }
    napi_value null() { return env_.Null(); }

    napi_value decimalText(uint64_t magnitude, bool negative, ErrorInfo& error) {
        char text[24];
        int length = snprintf(text, sizeof(text), negative ? "-%llu" : "%llu",
                              static_cast<unsigned long long>(magnitude));
        return string(text, static_cast<size_t>(length), error);
    }

private:
    napi_value fail(int code, ErrorInfo& error) {
        if (env_.IsExceptionPending()) {
            env_.GetAndClearPendingException();
        }
        getErrorMsg(code, error);
        return nullptr;
    }

    Napi::Env env_;
};

// Walks the columnar vectors in fetch order, one row at a time.
class ColumnarReader {
public:
    ColumnarReader(Napi::Env env, ResultCollection& result) : env_(env), make_(env), result_(result) {
        const std::vector<std::string>& keys = result.columns->keysFor(result.options.nestTables);
        for (size_t c = 0; c < keys.size(); c++) {
            keys_.push_back(Napi::String::New(env, keys[c]));
            protoKey_.push_back(keys[c] == "__proto__");
            tableOf_.push_back(result.options.nestTables ? tableIndex(result.columns->infos[c]->table_name) : -1);
        }
    }

    size_t rowCount() const { return keys_.empty() ? 0 : result_.types.size() / keys_.size(); }

    napi_value arrayRow(ErrorInfo& error) {
        Napi::Array row = Napi::Array::New(env_, keys_.size());
        for (size_t c = 0; c < keys_.size(); c++) {
            napi_value value = nextValue(c, error);
            if (value == nullptr || napi_set_element(env_, row, static_cast<uint32_t>(c), value) != napi_ok) {
                return nullptr;
            }
        }
        return row;
    }

    napi_value objectRow(ErrorInfo& error) {
        Napi::Object row = Napi::Object::New(env_);
        tableObjects_.assign(tableKeys_.size(), nullptr);
        for (size_t c = 0; c < keys_.size(); c++) {
            napi_value value = nextValue(c, error);
            if (value == nullptr || put(targetOf(row, c), keys_[c], protoKey_[c], value) != napi_ok) {
                return nullptr;
            }
        }
        return row;
    }

private:
    // A key "__proto__" would replace the prototype; it becomes an own
    // property, as in the rows of the binary transport.
    napi_status put(napi_value target, napi_value key, bool proto, napi_value value) {
        if (!proto) {
            return napi_set_property(env_, target, key, value);
        }
        napi_property_descriptor own = {nullptr, key, nullptr, nullptr, nullptr, value, napi_default_jsproperty, nullptr};
        return napi_define_properties(env_, target, 1, &own);
    }

    int tableIndex(const char* table) {
        if (table == nullptr || table[0] == '\0') {
            return -1;
        }
        for (size_t t = 0; t < tableNames_.size(); t++) {
            if (tableNames_[t] == table) {
                return static_cast<int>(t);
            }
        }
        tableNames_.emplace_back(table);
        tableKeys_.push_back(Napi::String::New(env_, table));
        protoTable_.push_back(tableNames_.back() == "__proto__");
        return static_cast<int>(tableNames_.size() - 1);
    }

    // A table's object is made when the row first meets one of its columns.
    napi_value targetOf(Napi::Object& row, size_t column) {
        int table = tableOf_[column];
        if (table < 0) {
            return row;
        }
        if (tableObjects_[table] == nullptr) {
            tableObjects_[table] = Napi::Object::New(env_);
            put(row, tableKeys_[table], protoTable_[table], tableObjects_[table]);
        }
        return tableObjects_[table];
    }

    napi_value nextBlock(bool asString, ErrorInfo& error) {
        char*& block = result_.stringValues[string_++];
        if (block == nullptr) {
            return make_.null();
        }
        size_t length = static_cast<size_t>(readUnaligned<uint64_t>(block));
        napi_value value = asString ? make_.string(block + 8, length, error) : make_.buffer(block + 8, length, error);
        delete[] block;
        block = nullptr;
        return value;
    }

    template <typename Record>
    napi_value nextFixedText(const std::vector<Record>& records, size_t& index, ErrorInfo& error) {
        const Record& record = records[index++];
        if (record.length == Record::kNull) {
            return make_.null();
        }
        if (record.length == Record::kInStringBlock) {
            return nextBlock(true, error);
        }
        return make_.string(record.text, record.length, error);
    }

    napi_value nextText(size_t column, ErrorInfo& error) {
        switch (dateTimeKind(result_.columns->nativeTypes[column])) {
            case DT_DATE: return nextFixedText(result_.dateValues, date_, error);
            case DT_TIME: return nextFixedText(result_.timeValues, time_, error);
            case DT_TIMESTAMP: return nextFixedText(result_.timestampValues, timestamp_, error);
            case DT_NONE: break;
        }
        return nextBlock(true, error);
    }

    napi_value nextValue(size_t column, ErrorInfo& error) {
        dbcapi_data_type type = result_.types[type_++];
        switch (type) {
            case DBCAPI_INVALID_TYPE: return make_.null();
            case DBCAPI_BINARY: return nextBlock(false, error);
            case DBCAPI_STRING: return nextText(column, error);
            default: break;
        }
        switch (numberKindOf(type)) {
            case NK_DOUBLE: return make_.number(result_.doubleValues[double_++]);
            case NK_INT64: return signed64(result_.longValues[long_++], error);
            case NK_UINT64: return unsigned64(result_.ulongValues[ulong_++], error);
            default: break;
        }
        int value = result_.intValues[int_++];
        if (result_.columns->nativeTypes[column] == DBCAPI_NATIVE_BOOLEAN) {
            return make_.boolean(value > 0);
        }
        return make_.number(value);
    }

    napi_value signed64(int64_t value, ErrorInfo& error) {
        if (isSafeInteger(value)) {
            return make_.number(static_cast<double>(value));
        }
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        return make_.decimalText(magnitude, value < 0, error);
    }

    napi_value unsigned64(uint64_t value, ErrorInfo& error) {
        if (isSafeInteger(value)) {
            return make_.number(static_cast<double>(value));
        }
        return make_.decimalText(value, false, error);
    }

    Napi::Env env_;
    ValueMaker make_;
    ResultCollection& result_;
    std::vector<napi_value> keys_;
    std::vector<bool> protoKey_;
    std::vector<int> tableOf_;
    std::vector<std::string> tableNames_;
    std::vector<napi_value> tableKeys_;
    std::vector<bool> protoTable_;
    std::vector<napi_value> tableObjects_;
    size_t type_ = 0, string_ = 0, int_ = 0, long_ = 0, ulong_ = 0, double_ = 0;
    size_t date_ = 0, time_ = 0, timestamp_ = 0;
};

Napi::Value columnarRows(Napi::Env env, ResultCollection& result, ErrorInfo& error) {
    ColumnarReader reader(env, result);
    size_t rowCount = reader.rowCount();
    Napi::Array rows = Napi::Array::New(env);
    for (size_t r = 0; r < rowCount; r++) {
        Napi::HandleScope scope(env);
        napi_value row = result.options.rowsAsArray ? reader.arrayRow(error) : reader.objectRow(error);
        if (row == nullptr || napi_set_element(env, rows, static_cast<uint32_t>(r), row) != napi_ok) {
            if (!error.isSet()) {
                getErrorMsg(JS_ERR_GENERAL_ERROR, error);
            }
            return env.Undefined();
        }
    }
    return rows;
}

void openArea(Napi::ArrayBuffer buffer, ResultArea& area) {
    area.object = buffer;
    area.data = static_cast<char*>(buffer.Data());
    area.capacity = area.data != nullptr ? buffer.ByteLength() : 0;
}

// A plain result that fits the caller's area is copied there, and the
// caller decodes it before anything else can run.
bool copyIntoArea(Napi::Env env, ResultCollection& result) {
    napi_value held = nullptr;
    if (result.into.held != nullptr && napi_get_reference_value(env, result.into.held, &held) == napi_ok &&
        held != nullptr) {
        openArea(Napi::ArrayBuffer(env, held), result.into);
    }
    if (result.into.data == nullptr || result.options.rowsAsArray || result.options.nestTables) {
        return false;
    }
    size_t size = 0;
    const char* data = result.builder.getBinaryResultSet(size);
    if (data == nullptr || size > result.into.capacity) {
        return false;
    }
    memcpy(result.into.data, data, size);
    return true;
}

Napi::Value binaryRows(Napi::Env env, ResultCollection& result, ErrorInfo& error) {
    if (copyIntoArea(env, result)) {
        return Napi::Value(env, result.into.object);
    }
    napi_value buffer = transportBuffer(env, result.builder, error);
    if (buffer == nullptr) {
        if (!error.isSet()) {
            getErrorMsg(JS_ERR_GENERAL_ERROR, error);
        }
        return env.Undefined();
    }
    // The decoder shapes the rows as the options were read here.
    // Marked only when set: a property on a Buffer costs more than the
    // rest of a point query's result.
    Napi::Object transport(env, buffer);
    if (result.options.rowsAsArray) {
        transport.Set("rowsAsArray", true);
    }
    if (result.options.nestTables) {
        transport.Set("nestTables", true);
    }
    return transport;
}

}  // namespace

napi_value transportBuffer(Napi::Env env, InternalResultSetBuilder& builder, ErrorInfo& error) {
    size_t size = 0;
    char* data = builder.releaseBinaryResultSet(size);
    if (data == nullptr) {
        return nullptr;
    }
    napi_value value = nullptr;
    napi_finalize release = [](napi_env, void* bytes, void*) { free(bytes); };
    if (size > kCopiedResultSize && napi_create_external_buffer(env, size, data, release, nullptr, &value) == napi_ok) {
        return value;
    }
    // Small results, and runtimes that refuse outside memory, get a copy.
    bool copied = napi_create_buffer_copy(env, size, data, nullptr, &value) == napi_ok;
    free(data);
    if (!copied) {
        getErrorMsg(JS_ERR_OUT_OF_MEMORY, error);
        return nullptr;
    }
    return value;
}

Napi::Value getResultSet(Napi::Env env, ResultCollection& result, ErrorInfo& error) {
    if (result.functionCode == DBCAPI_FUNCTION_DDL) {
        return env.Undefined();
    }
    if (result.rowCount >= 0) {
        return Napi::Number::New(env, result.rowCount);
    }
    if (!result.hasColumns()) {
        return env.Undefined();
    }
    if (result.options.fastInternalRows) {
        return binaryRows(env, result, error);
    }
    return columnarRows(env, result, error);
}

Napi::Value fillResult(Napi::Env env, ResultCollection& result, ErrorInfo& error) {
    return getResultSet(env, result, error);
}

ResultArea resultAreaArgument(const Napi::CallbackInfo& info, size_t index, int callbackIndex) {
    ResultArea area;
    if (info.Length() <= index || !info[index].IsArrayBuffer()) {
        return area;
    }
    if (callbackIndex < 0) {
        openArea(info[index].As<Napi::ArrayBuffer>(), area);
    } else if (napi_create_reference(info.Env(), info[index], 1, &area.held) != napi_ok) {
        area.held = nullptr;  // the result comes as a Buffer
    }
    return area;
}

void releaseResultArea(Napi::Env env, ResultArea& area) {
    if (area.held != nullptr) {
        napi_delete_reference(env, area.held);
    }
    area = ResultArea();
}
