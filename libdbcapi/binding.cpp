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

// Streamed data that is valid UTF-8 is bound as text, anything else as a blob.
bool bindStreamed(BackendCursor& cursor, int index, const std::string& data, BackendError& err) {
    if (isValidUtf8(data)) return cursor.bindText(index, data.data(), data.size(), false, err);
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
    if (slot.atExec) return bindStreamed(cursor, index, slot.streamed, err);
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

bool runBatchRow(dbcapi_stmt* stmt, BackendCursor& cursor, uint32_t row, BackendError& err) {
    cursor.reset();
    if (!bindParamsForRow(stmt, cursor, row, false, err)) return false;
    StepResult result;
    while ((result = cursor.step(err)) == StepResult::Row) {
    }
    if (result == StepResult::Error) return false;
    stmt->rowStatus[row] = static_cast<int32_t>(cursor.changes());
    return true;
}

}  // namespace

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
    int64_t start = steadyMicros();
    if (!conn->session->execute("SAVEPOINT zkv_batch", err)) {
        conn->error.set(err);
        return false;
    }
    for (uint32_t row = 0; row < stmt->batchSize; ++row) {
        if (!runBatchRow(stmt, cursor, row, err)) {
            stmt->rowStatus[row] = -3;
            setBatchError(stmt, row, err);
            cursor.reset();
            BackendError ignored;
            conn->session->execute("ROLLBACK TO zkv_batch", ignored);
            conn->session->execute("RELEASE zkv_batch", ignored);
            return false;
        }
    }
    cursor.reset();
    if (!conn->session->execute("RELEASE zkv_batch", err)) {
        conn->error.set(err);
        return false;
    }
    stmt->execStats.cpuMicros = conn->session->callCpuMicros();
    stmt->execStats.wallMicros = steadyMicros() - start;
    stmt->execStats.memory = cursor.memoryUsed();
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
    param->direction = DBCAPI_DD_INPUT;
    param->value.type = DBCAPI_STRING;
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
    info->direction = DBCAPI_DD_INPUT;
    info->native_type = DBCAPI_NATIVE_NVARCHAR;
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_bind_param(dbcapi_stmt* stmt, uint32_t index, dbcapi_bind_data* param) {
    if (!stmt || !param) return 0;
    stmt->conn->error.clear();
    if (!zkv::checkParamIndex(stmt, index)) return 0;
    if (param->direction == DBCAPI_DD_OUTPUT) {
        stmt->conn->error.set(zkv::kNotSupported, "HYC00",
                              "output parameters are not supported by the SQLite backend");
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
    slot.atExec = param->value.type == DBCAPI_INVALID_TYPE && param->value.length &&
                  *param->value.length == DBCAPI_DATA_AT_EXEC_LENGTH;
    slot.finished = false;
    slot.streamed.clear();
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_send_param_data(dbcapi_stmt* stmt, uint32_t index, char* buffer, size_t size) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    if (!zkv::checkParamIndex(stmt, index)) return 0;
    zkv::ParamSlot& slot = stmt->params[index];
    if (!stmt->awaitingData || !slot.atExec || slot.finished) {
        stmt->conn->error.set(zkv::kSequenceError, "HY010",
                              "Parameter " + std::to_string(index) + " is not waiting for data at execution");
        return 0;
    }
    if (buffer && size) slot.streamed.append(buffer, size);
    return 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_finish_param_data(dbcapi_stmt* stmt, uint32_t index) {
    if (!stmt) return 0;
    zkv::CallScope scope(stmt->conn, stmt, stmt->timeoutSeconds);
    if (!zkv::checkParamIndex(stmt, index)) return 0;
    zkv::ParamSlot& slot = stmt->params[index];
    if (!stmt->awaitingData || !slot.atExec || slot.finished) {
        stmt->conn->error.set(zkv::kSequenceError, "HY010",
                              "Parameter " + std::to_string(index) + " is not waiting for data at execution");
        return 0;
    }
    slot.finished = true;
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
    stmt->conn->error.set(zkv::kNotSupported, "HYC00", "output parameters are not supported by the SQLite backend");
    return -1;
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
