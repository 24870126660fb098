// Parameters: description, binding, data at execution and batches.
#include <cstring>
#include <limits>

#include "handles.h"

namespace zkv {
namespace {

bool checkParamIndex(dbcapi_stmt* stmt, uint32_t index) {
    if (index < stmt->params.size()) return true;
    stmt->conn->error.set(kInvalidIndex, "07009",
                          "Invalid parameter index " + std::to_string(index) + ": the statement has " +
                              std::to_string(stmt->params.size()) + " parameters");
    return false;
}

// The slot of a parameter whose data is being sent at execution, or null
// with the error set.
ParamSlot* awaitedSlot(dbcapi_stmt* stmt, uint32_t index) {
    if (!checkParamIndex(stmt, index)) return nullptr;
    ParamSlot& slot = stmt->params[index];
    if (!stmt->awaitingData || !slot.atExec || slot.finished) {
        stmt->conn->error.set(kSequenceError, "HY010",
                              "Parameter " + std::to_string(index) + " is not waiting for data at execution");
        return nullptr;
    }
    return &slot;
}

bool isValidUtf8(const std::string& data) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    const unsigned char* end = p + data.size();
    while (p < end) {
        unsigned char c = *p++;
        if (c == 0) return false;
        if (c < 0x80) continue;
        int follow = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (follow < 0 || end - p < follow) return false;
        for (int i = 0; i < follow; ++i)
            if ((*p++ & 0xC0) != 0x80) return false;
    }
    return true;
}

// Streamed data bound as BINARY is a blob; otherwise valid UTF-8 is bound
// as text, anything else as a blob.
bool bindStreamed(BackendCursor& cursor, int index, dbcapi_data_type type, const std::string& data,
                  BackendError& err) {
    if (type != DBCAPI_BINARY && isValidUtf8(data)) return cursor.bindText(index, data.data(), data.size(), false, err);
    return cursor.bindBlob(index, data.data(), data.size(), false, err);
}

template <typename T>
T readAt(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

bool bindInteger(BackendCursor& cursor, int index, dbcapi_data_type type, const char* p, BackendError& err) {
    switch (type) {
        case DBCAPI_VAL64: return cursor.bindInt64(index, readAt<int64_t>(p), err);
        case DBCAPI_UVAL64: {
            uint64_t v = readAt<uint64_t>(p);
            if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                err = makeError(kOutOfRange, "22003",
                                "Parameter " + std::to_string(index) + ": unsigned value " + std::to_string(v) +
                                    " exceeds the 64-bit signed integers the database stores");
                return false;
            }
            return cursor.bindInt64(index, static_cast<int64_t>(v), err);
        }
        case DBCAPI_VAL32: return cursor.bindInt64(index, readAt<int32_t>(p), err);
        case DBCAPI_UVAL32: return cursor.bindInt64(index, readAt<uint32_t>(p), err);
        case DBCAPI_VAL16: return cursor.bindInt64(index, readAt<int16_t>(p), err);
        case DBCAPI_UVAL16: return cursor.bindInt64(index, readAt<uint16_t>(p), err);
        case DBCAPI_VAL8: return cursor.bindInt64(index, readAt<int8_t>(p), err);
        default: return cursor.bindInt64(index, readAt<uint8_t>(p), err);
    }
}

bool bindBytes(BackendCursor& cursor, int index, const dbcapi_data_value& v, const char* p, const size_t* length,
               bool copy, BackendError& err) {
    size_t n = length ? *length : (v.type == DBCAPI_STRING ? strnlen(p, v.buffer_size) : v.buffer_size);
    if (v.buffer_size && n > v.buffer_size) {
        err = makeError(kInvalidArgument, "HY090",
                        "Parameter " + std::to_string(index) + ": length " + std::to_string(n) +
                            " exceeds its buffer size " + std::to_string(v.buffer_size));
        return false;
    }
    if (v.type == DBCAPI_STRING) return cursor.bindText(index, p, n, copy, err);
    return cursor.bindBlob(index, p, n, copy, err);
}

bool bindOne(dbcapi_stmt* stmt, BackendCursor& cursor, int index, uint32_t row, bool copy, BackendError& err) {
    ParamSlot& slot = stmt->params[static_cast<size_t>(index)];
    if (slot.atExec) return bindStreamed(cursor, index, slot.data.value.type, slot.streamed, err);
    if (slot.data.direction == DBCAPI_DD_OUTPUT) return cursor.bindNull(index, err);
    const dbcapi_data_value& v = slot.data.value;
    size_t rowSize = stmt->paramRowSize;
    size_t stride = rowSize ? rowSize : (v.buffer_size ? v.buffer_size : hostTypeSize(v.type));
    const char* p = v.buffer ? v.buffer + row * stride : nullptr;
    const size_t* length = v.length ? (rowSize ? reinterpret_cast<const size_t*>(
                                                     reinterpret_cast<const char*>(v.length) + row * rowSize)
                                               : v.length + row)
                                    : nullptr;
    const dbcapi_bool* isNull = v.is_null ? (rowSize ? reinterpret_cast<const dbcapi_bool*>(
                                                           reinterpret_cast<const char*>(v.is_null) + row * rowSize)
                                                     : v.is_null + row)
                                          : nullptr;
    if ((isNull && *isNull) || !p || v.type == DBCAPI_INVALID_TYPE) return cursor.bindNull(index, err);
    switch (v.type) {
        case DBCAPI_STRING:
        case DBCAPI_BINARY: return bindBytes(cursor, index, v, p, length, copy, err);
        case DBCAPI_DOUBLE: return cursor.bindDouble(index, readAt<double>(p), err);
        case DBCAPI_FLOAT: return cursor.bindDouble(index, readAt<float>(p), err);
        default:
            if (hostTypeSize(v.type) == 0) {
                err = makeError(kInvalidArgument, "HY003",
                                "Parameter " + std::to_string(index) + ": unknown data type " + std::to_string(v.type));
                return false;
            }
            return bindInteger(cursor, index, v.type, p, err);
    }
}

void setBatchError(dbcapi_stmt* stmt, uint32_t row, const BackendError& err) {
    stmt->conn->error.set(err.code, err.sqlstate.c_str(),
                          "Batch row " + std::to_string(row) + " failed, the batch was rolled back: " + err.message);
}

}  // namespace

bool BackendCursor::executeRows(uint32_t rows, const RowBinder& bindRow, std::vector<int32_t>& status,
                                uint32_t& failedRow, BackendError& err) {
    for (uint32_t row = 0; row < rows; ++row) {
        failedRow = row;
        reset();
        if (!bindRow(row, err)) return false;
        StepResult result;
        while ((result = step(err)) == StepResult::Row) {
        }
        if (result == StepResult::Error) return false;
        status[row] = static_cast<int32_t>(changes());
    }
    return true;
}

namespace {

ColumnMeta paramMeta(const BackendCursor& cursor, uint32_t index) {
    ColumnMeta meta;
    meta.name = "parameter " + std::to_string(index);
    ExactType type = cursor.paramType(static_cast<int>(index));
    if (type.known) applyExactType(type, meta);
    return meta;
}

bool isOutput(const BackendCursor& cursor, uint32_t index) {
    return cursor.paramDirection(static_cast<int>(index)) != kParamInput;
}

// Copies one output value into the caller's bound buffer, or, for a
// parameter bound without a buffer (large objects), reports its length
// only: its bytes are read with dbcapi_get_param_data. A value longer than
// the buffer fills it and reports its whole length: the statement ran, so
// its execute must not fail, and the rest stays readable.
bool storeOutput(dbcapi_stmt* stmt, const ValueSource& outputs, uint32_t index, BackendError& err) {
    dbcapi_data_value& v = stmt->params[index].data.value;
    bool isNull = outputs.kind(static_cast<int>(index)) == ValueKind::Null;
    if (v.is_null) *v.is_null = isNull ? 1 : 0;
    if (!v.buffer) {
        size_t length = 0;
        if (!isNull && v.type == DBCAPI_BINARY) outputs.blobAt(static_cast<int>(index), length);
        else if (!isNull) outputs.textAt(static_cast<int>(index), length);
        if (v.length) *v.length = length;
        return true;
    }
    ColumnMeta meta = paramMeta(*stmt->parts[0]->cursor, index);
    dbcapi_data_type target = v.type == DBCAPI_INVALID_TYPE ? meta.type : v.type;
    Scratch scratch{};
    ValueView view;
    if (!readValue(outputs, static_cast<int>(index), meta, target, scratch, view, err)) return false;
    if (view.type != target) {
        err = makeError(kInvalidCast, "22018",
                        "Output parameter " + std::to_string(index) + " holds a value its type cannot carry");
        return false;
    }
    size_t fits = view.length < v.buffer_size ? view.length : v.buffer_size;
    if (fits) std::memcpy(v.buffer, view.data, fits);
    if (target == DBCAPI_STRING && view.length < v.buffer_size) v.buffer[view.length] = '\0';
    if (v.length) *v.length = view.length;
    return true;
}

}  // namespace

bool storeOutputParams(dbcapi_stmt* stmt) {
    const BackendCursor& cursor = *stmt->parts[0]->cursor;
    const ValueSource* outputs = cursor.outputs();
    if (!outputs) return true;
    for (uint32_t i = 0; i < stmt->params.size(); ++i) {
        if (!isOutput(cursor, i) || !stmt->params[i].bound) continue;
        BackendError err;
        if (!storeOutput(stmt, *outputs, i, err)) {
            stmt->conn->error.set(err);
            return false;
        }
    }
    return true;
}

bool outputBytes(dbcapi_stmt* stmt, uint32_t index, const char*& data, size_t& length) {
    const BackendCursor& cursor = *stmt->parts[0]->cursor;
    const ValueSource* outputs = stmt->executed ? cursor.outputs() : nullptr;
    if (!isOutput(cursor, index)) {
        stmt->conn->error.set(kNotSupported, "HYC00",
                              "output parameters are not supported by this statement: parameter " +
                                  std::to_string(index) + " is an input parameter");
        return false;
    }
    if (!outputs) {
        stmt->conn->error.set(kSequenceError, "HY010", "The statement has not been executed");
        return false;
    }
    data = nullptr;
    length = 0;
    int i = static_cast<int>(index);
    ValueKind kind = outputs->kind(i);
    if (kind == ValueKind::Blob) data = static_cast<const char*>(outputs->blobAt(i, length));
    else if (kind != ValueKind::Null) data = outputs->textAt(i, length);
    return true;
}

bool bindParamsForRow(dbcapi_stmt* stmt, BackendCursor& cursor, uint32_t row, bool copy, BackendError& err) {
    for (size_t i = 0; i < stmt->params.size(); ++i) {
        if (!stmt->params[i].bound) {
            err = makeError(kInvalidArgument, "07002", "Parameter " + std::to_string(i) + " has no value bound");
            return false;
        }
        if (!bindOne(stmt, cursor, static_cast<int>(i), row, copy, err)) return false;
    }
    return true;
}

bool hasDataAtExec(const dbcapi_stmt* stmt) {
    for (const ParamSlot& slot : stmt->params)
        if (slot.atExec) return true;
    return false;
}

void resetParamData(dbcapi_stmt* stmt) {
    for (ParamSlot& slot : stmt->params) {
        slot.streamed.clear();
        slot.streamed.shrink_to_fit();
        slot.finished = false;
    }
}

bool executeBatch(dbcapi_stmt* stmt) {
    dbcapi_connection* conn = stmt->conn;
    if (hasDataAtExec(stmt)) {
        conn->error.set(kSequenceError, "HY010", "Data at execution cannot be used in a batch");
        return false;
    }
    BackendCursor& cursor = *stmt->parts[0]->cursor;
    stmt->rowStatus.assign(stmt->batchSize, -3);
    if (!openImplicitTransaction(conn, cursor.functionCode())) return false;
    BackendError err;
    int64_t startNs = steadyNanos();
    if (!conn->session->beginAtomic(err)) {
        conn->error.set(err);
        return false;
    }
    auto bindRow = [stmt, &cursor](uint32_t row, BackendError& e) {
        return bindParamsForRow(stmt, cursor, row, false, e);
    };
    uint32_t failedRow = 0;
    if (!cursor.executeRows(stmt->batchSize, bindRow, stmt->rowStatus, failedRow, err)) {
        stmt->rowStatus[failedRow] = -3;
        setBatchError(stmt, failedRow, err);
        cursor.reset();
        BackendError ignored;
        conn->session->endAtomic(false, ignored);
        return false;
    }
    cursor.reset();
    if (!conn->session->endAtomic(true, err)) {
        conn->error.set(err);
        return false;
    }
    int64_t endNs = steadyNanos();
    stmt->execStats.cpuMicros = conn->session->callCpuMicros(endNs);
    stmt->execStats.wallMicros = (endNs - startNs) / 1000;
    stmt->execStats.noteMemory(cursor);
    if (conn->traceOn) traceStatement(conn, cursor.sql(), stmt->execStats.wallMicros);
    stmt->executed = true;
    stmt->batchExecuted = true;
    stmt->functionCode = cursor.functionCode();
    stmt->parts[0]->done = true;
    return true;
}

}  // namespace zkv

DBCAPI_EXPORT int32_t dbcapi_num_params(dbcapi_stmt* stmt) {
    return stmt ? static_cast<int32_t>(stmt->params.size()) : -1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_describe_bind_param(dbcapi_stmt* stmt, uint32_t index, dbcapi_bind_data* param) {
    if (!stmt || !param) return 0;
    stmt->conn->error.clear();
    if (!zkv::checkParamIndex(stmt, index)) return 0;
    std::memset(param, 0, sizeof(*param));
    const zkv::BackendCursor& cursor = *stmt->parts[0]->cursor;
    zkv::ExactType type = cursor.paramType(static_cast<int>(index));
    param->direction = static_cast<dbcapi_data_direction>(cursor.paramDirection(static_cast<int>(index)));
    param->value.type = type.known ? static_cast<dbcapi_data_type>(type.dataType) : DBCAPI_STRING;
    const std::string& name = stmt->paramNames[index];
    param->name = name.empty() ? nullptr : name.c_str();
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_get_bind_param_info(dbcapi_stmt* stmt, uint32_t index,
                                                     dbcapi_bind_param_info* info) {
    if (!stmt || !info) return 0;
    stmt->conn->error.clear();
    if (!zkv::checkParamIndex(stmt, index)) return 0;
    std::memset(info, 0, sizeof(*info));
    const std::string& name = stmt->paramNames[index];
    info->name = name.empty() ? nullptr : name.c_str();
    const zkv::BackendCursor& cursor = *stmt->parts[0]->cursor;
    zkv::ExactType type = cursor.paramType(static_cast<int>(index));
    info->direction = static_cast<dbcapi_data_direction>(cursor.paramDirection(static_cast<int>(index)));
    info->native_type = type.known ? static_cast<dbcapi_native_type>(type.nativeType) : DBCAPI_NATIVE_NVARCHAR;
    info->max_size = type.maxSize;
    info->precision = type.precision;
    info->scale = type.scale;
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_bind_param(dbcapi_stmt* stmt, uint32_t index, dbcapi_bind_data* param) {
    if (!stmt || !param) return 0;
    stmt->conn->error.clear();
    if (!zkv::checkParamIndex(stmt, index)) return 0;
    if (param->direction == DBCAPI_DD_OUTPUT &&
        stmt->parts[0]->cursor->paramDirection(static_cast<int>(index)) == zkv::kParamInput) {
        stmt->conn->error.set(zkv::kNotSupported, "HYC00",
                              "output parameters are not supported by this statement: parameter " +
                                  std::to_string(index) + " is an input parameter");
        return 0;
    }
    // A bind after a batch starts a single execution.
    if (stmt->batchExecuted) {
        stmt->batchSize = 1;
        stmt->batchExecuted = false;
    }
    zkv::ParamSlot& slot = stmt->params[index];
    slot.bound = true;
    slot.data = *param;
    // The marker length without a buffer also means data at execution: the
    // module binds such parameters with their described type.
    slot.atExec = param->value.length && *param->value.length == DBCAPI_DATA_AT_EXEC_LENGTH &&
                  (param->value.type == DBCAPI_INVALID_TYPE || !param->value.buffer);
    slot.finished = false;
    slot.streamed.clear();
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_send_param_data(dbcapi_stmt* stmt, uint32_t index, char* buffer, size_t size) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    zkv::ParamSlot* slot = zkv::awaitedSlot(stmt, index);
    if (!slot) return 0;
    if (buffer && size) slot->streamed.append(buffer, size);
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_finish_param_data(dbcapi_stmt* stmt, uint32_t index) {
    if (!stmt) return 0;
    zkv::CallScope scope(stmt->conn, stmt, stmt->timeoutSeconds);
    zkv::ParamSlot* slot = zkv::awaitedSlot(stmt, index);
    if (!slot) return 0;
    slot->finished = true;
    for (const zkv::ParamSlot& other : stmt->params)
        if (other.atExec && !other.finished) return 1;
    stmt->awaitingData = false;
    if (!zkv::requireSession(stmt->conn)) return 0;
    return zkv::runFirstStatement(stmt) ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_reset_param_data(dbcapi_stmt* stmt, uint32_t index) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    if (!zkv::checkParamIndex(stmt, index)) return 0;
    zkv::ParamSlot& slot = stmt->params[index];
    slot.streamed.clear();
    slot.finished = false;
    return 1;
}

DBCAPI_EXPORT int32_t dbcapi_get_param_data(dbcapi_stmt* stmt, uint32_t index, size_t offset, void* buffer,
                                            size_t size) {
    if (!stmt) return -1;
    stmt->conn->error.clear();
    if (!zkv::checkParamIndex(stmt, index)) return -1;
    if (!buffer && size) {
        stmt->conn->error.set(zkv::kInvalidArgument, "HY009", "dbcapi_get_param_data needs a buffer");
        return -1;
    }
    const char* data = nullptr;
    size_t length = 0;
    if (!zkv::outputBytes(stmt, index, data, length)) return -1;
    if (!data || offset >= length) return 0;
    size_t n = length - offset < size ? length - offset : size;
    if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) n = std::numeric_limits<int32_t>::max();
    std::memcpy(buffer, data + offset, n);
    return static_cast<int32_t>(n);
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_batch_size(dbcapi_stmt* stmt, uint32_t num_rows) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    if (num_rows == 0) {
        stmt->conn->error.set(zkv::kInvalidArgument, "HY024", "The batch size must be at least 1");
        return 0;
    }
    stmt->batchSize = num_rows;
    stmt->batchExecuted = false;
    return 1;
}

DBCAPI_EXPORT uint32_t dbcapi_get_batch_size(dbcapi_stmt* stmt) { return stmt ? stmt->batchSize : 0; }

DBCAPI_EXPORT dbcapi_bool dbcapi_set_param_bind_type(dbcapi_stmt* stmt, size_t row_size) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    stmt->paramRowSize = row_size;
    return 1;
}

DBCAPI_EXPORT int32_t* dbcapi_get_row_status(dbcapi_stmt* stmt) {
    return stmt && !stmt->rowStatus.empty() ? stmt->rowStatus.data() : nullptr;
}
