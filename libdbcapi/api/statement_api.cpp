// Statements: prepare, execute, several results from one SQL text, reset,
// time-outs.
#include <cstring>

#include "handles.h"
#include "sql_text.h"

namespace zkv {
namespace {

dbcapi_stmt* createStatement(dbcapi_connection* conn, const char* sql) {
    if (!sql) {
        conn->error.set(kInvalidArgument, "HY009", "The SQL text is null");
        return nullptr;
    }
    BackendError err;
    size_t consumed = 0;
    size_t length = std::strlen(sql);
    std::unique_ptr<BackendCursor> cursor = conn->session->prepare(sql, length, consumed, err);
    if (!cursor) {
        if (err.message.empty()) err = makeError(kInvalidArgument, "42000", "The SQL text holds no statement");
        conn->error.set(err);
        return nullptr;
    }
    auto* stmt = new dbcapi_stmt();
    stmt->conn = conn;
    stmt->sql.assign(sql, length);
    stmt->firstTail = consumed;
    int count = cursor->paramCount();
    stmt->params.resize(static_cast<size_t>(count));
    stmt->paramNames.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const char* name = cursor->paramName(i);
        if (name && name[0] && name[0] != '?') stmt->paramNames[static_cast<size_t>(i)] = name + 1;
    }
    auto part = std::make_unique<StatementPart>();
    part->cursor = std::move(cursor);
    stmt->parts.push_back(std::move(part));
    return stmt;
}

// startNs, endNs: the steady clock around the statement's run.
void recordStats(dbcapi_stmt* stmt, Stats& stats, int64_t startNs, int64_t endNs, const BackendCursor& cursor) {
    stats.cpuMicros = stmt->conn->session->callCpuMicros(endNs);
    stats.wallMicros += (endNs - startNs) / 1000;
    stats.noteMemory(cursor);
}

// Runs one statement up to its first row (queries) or to its end.
bool runPart(dbcapi_stmt* stmt, StatementPart& part) {
    BackendCursor& cursor = *part.cursor;
    if (!openImplicitTransaction(stmt->conn, cursor.functionCode())) return false;
    int64_t startNs = steadyNanos();
    BackendError err;
    StepResult result = cursor.step(err);
    int64_t endNs = steadyNanos();
    recordStats(stmt, stmt->execStats, startNs, endNs, cursor);
    if (stmt->conn->traceOn) traceStatement(stmt->conn, cursor.sql(), (endNs - startNs) / 1000);
    part.pendingRow = result == StepResult::Row;
    part.done = result != StepResult::Row;
    if (result == StepResult::Error) {
        stmt->conn->error.set(err);
        return false;
    }
    int32_t code = cursor.functionCode();
    part.affected = (result == StepResult::Done && code >= 2 && code <= 4) ? cursor.changes() : 0;
    describePart(stmt, part);
    return true;
}

// Prepares the next statement of the text; false at the end or on error
// (the error, if any, is recorded).
bool prepareNextPart(dbcapi_stmt* stmt) {
    size_t remaining = stmt->sql.size() - stmt->tailOffset;
    if (isBlankSql(stmt->sql.c_str() + stmt->tailOffset, remaining)) return false;
    BackendError err;
    size_t consumed = 0;
    auto cursor = stmt->conn->session->prepare(stmt->sql.c_str() + stmt->tailOffset, remaining, consumed, err);
    stmt->tailOffset += consumed;
    if (!cursor) {
        if (!err.message.empty()) stmt->conn->error.set(err);
        return false;
    }
    auto part = std::make_unique<StatementPart>();
    part->cursor = std::move(cursor);
    stmt->parts.push_back(std::move(part));
    return true;
}

// Statements without rows run at once; the run stops at one that returns
// rows, whose rows the caller reads before moving on.
bool runFollowingStatements(dbcapi_stmt* stmt) {
    while (stmt->parts.back()->cursor->columnCount() == 0) {
        if (!prepareNextPart(stmt)) return stmt->conn->error.message().empty();
        if (!runPart(stmt, *stmt->parts.back())) return false;
    }
    return true;
}

void discardResults(dbcapi_stmt* stmt) {
    for (size_t i = 1; i < stmt->parts.size(); ++i) {
        stmt->execStats.settleMemory(*stmt->parts[i]->cursor);
        stmt->fetchStats.settleMemory(*stmt->parts[i]->cursor);
    }
    stmt->parts.resize(1);
    stmt->current = 0;
    stmt->tailOffset = stmt->firstTail;
    StatementPart& first = *stmt->parts[0];
    first.cursor->reset();
    first.pendingRow = first.onRow = first.done = false;
    first.rowsFetched = 0;
    first.affected = 0;
    resetFetchState(stmt);
}

}  // namespace

// Called when a result ends: a caller that reads only the first result must
// not skip the changes of the statements after it. One that returns rows is
// run to its first row and waits for the caller to move to it.
bool runStatementsAfter(dbcapi_stmt* stmt) {
    while (prepareNextPart(stmt)) {
        if (!runPart(stmt, *stmt->parts.back())) return false;
        if (stmt->parts.back()->cursor->columnCount() > 0) return true;
    }
    return stmt->conn->error.message().empty();
}

StatementPart* currentPart(dbcapi_stmt* stmt) {
    return stmt->current < stmt->parts.size() ? stmt->parts[stmt->current].get() : nullptr;
}

namespace {

// Columns as declared, before any is typed by a value.
struct DeclaredColumns : ColumnMemo {
    std::vector<ColumnMeta> columns;
};

void describeDeclared(BackendCursor& cursor, int count, std::vector<ColumnMeta>& columns) {
    columns.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        ColumnOrigin origin = cursor.columnOrigin(i);
        ColumnMeta& meta = columns[static_cast<size_t>(i)];
        meta.name = origin.name ? origin.name : "";
        meta.columnName = origin.columnName ? origin.columnName : meta.name;
        meta.tableName = origin.tableName ? origin.tableName : "";
        meta.ownerName = origin.ownerName ? origin.ownerName : "";
        meta.nullable = origin.nullable;
        if (origin.exact.known) applyExactType(origin.exact, meta);
        else meta.fromValue = !applyDeclaredType(origin.declaredType, meta);
    }
}

// Reading the origins of the columns is most of a cached statement's
// execute, so a cursor keeps what they gave.
void describeOnce(BackendCursor& cursor, int count, std::vector<ColumnMeta>& columns) {
    auto kept = std::dynamic_pointer_cast<const DeclaredColumns>(cursor.columnMemo());
    if (kept && kept->columns.size() == static_cast<size_t>(count)) {
        columns = kept->columns;
        return;
    }
    describeDeclared(cursor, count, columns);
    auto memo = std::make_shared<DeclaredColumns>();
    memo->columns = columns;
    cursor.keepColumnMemo(std::move(memo));
}

}  // namespace

void describePart(dbcapi_stmt* stmt, StatementPart& part) {
    BackendCursor& cursor = *part.cursor;
    int count = cursor.columnCount();
    if (!part.described) {
        describeOnce(cursor, count, part.columns);
        part.described = true;
    }
    for (int i = 0; i < count; ++i) {
        ColumnMeta& meta = part.columns[static_cast<size_t>(i)];
        if (meta.fromValue) applyValueType(part.pendingRow ? cursor.kind(i) : ValueKind::Null, meta);
    }
    if (stmt->scratch.size() < static_cast<size_t>(count)) stmt->scratch.resize(static_cast<size_t>(count));
}

bool executeStatement(dbcapi_stmt* stmt) {
    discardResults(stmt);
    stmt->printLines.clear();
    stmt->rowStatus.clear();
    stmt->execStats = Stats();
    stmt->fetchStats = Stats();
    stmt->executed = false;
    stmt->awaitingData = false;
    resetParamData(stmt);
    if (stmt->batchSize > 1) return executeBatch(stmt);
    if (hasDataAtExec(stmt)) {
        stmt->awaitingData = true;
        return true;
    }
    return runFirstStatement(stmt);
}

bool runFirstStatement(dbcapi_stmt* stmt) {
    StatementPart& first = *stmt->parts[0];
    first.cursor->clearBindings();
    BackendError err;
    // Rows are read after this call returns, when the caller's parameter
    // buffers may be gone: queries get copies of their parameters.
    bool copy = first.cursor->columnCount() > 0;
    if (!bindParamsForRow(stmt, *first.cursor, 0, copy, err)) {
        stmt->conn->error.set(err);
        return false;
    }
    stmt->executed = true;
    stmt->functionCode = first.cursor->functionCode();
    if (!runPart(stmt, first)) return false;
    if (!storeOutputParams(stmt)) return false;
    return runFollowingStatements(stmt);
}

}  // namespace zkv

DBCAPI_EXPORT dbcapi_stmt* dbcapi_prepare(dbcapi_connection* conn, const char* sql) {
    if (!conn) return nullptr;
    zkv::CallScope scope(conn, nullptr);
    if (!zkv::requireSession(conn)) return nullptr;
    return zkv::createStatement(conn, sql);
}

DBCAPI_EXPORT void dbcapi_free_stmt(dbcapi_stmt* stmt) { delete stmt; }

DBCAPI_EXPORT dbcapi_bool dbcapi_execute(dbcapi_stmt* stmt) {
    if (!stmt) return 0;
    zkv::CallScope scope(stmt->conn, stmt, stmt->timeoutSeconds);
    if (!zkv::requireSession(stmt->conn)) return 0;
    return zkv::executeStatement(stmt) ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_stmt* dbcapi_execute_direct(dbcapi_connection* conn, const char* sql) {
    dbcapi_stmt* stmt = dbcapi_prepare(conn, sql);
    if (!stmt) return nullptr;
    if (stmt->params.size() > 0) {
        conn->error.set(zkv::kInvalidArgument, "07002", "Direct execution takes no parameters; prepare the statement");
        delete stmt;
        return nullptr;
    }
    if (!dbcapi_execute(stmt)) {
        delete stmt;
        return nullptr;
    }
    return stmt;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_execute_immediate(dbcapi_connection* conn, const char* sql) {
    dbcapi_stmt* stmt = dbcapi_execute_direct(conn, sql);
    if (!stmt) return 0;
    bool ok = true;
    while (ok && dbcapi_has_next_result(stmt)) ok = dbcapi_get_next_result(stmt) != 0;
    delete stmt;
    return ok ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_reset(dbcapi_stmt* stmt) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    zkv::discardResults(stmt);
    zkv::resetParamData(stmt);
    stmt->executed = false;
    stmt->awaitingData = false;
    stmt->batchSize = 1;
    return 1;
}

DBCAPI_EXPORT int32_t dbcapi_get_function_code(dbcapi_stmt* stmt) {
    if (!stmt || !stmt->executed) return 0;
    zkv::StatementPart* part = zkv::currentPart(stmt);
    return part ? part->cursor->functionCode() : 0;
}

DBCAPI_EXPORT int32_t dbcapi_affected_rows(dbcapi_stmt* stmt) {
    if (!stmt) return -1;
    if (stmt->batchSize > 1 && !stmt->rowStatus.empty()) {
        int64_t total = 0;
        for (int32_t status : stmt->rowStatus) total += status > 0 ? status : 0;
        return static_cast<int32_t>(total);
    }
    zkv::StatementPart* part = zkv::currentPart(stmt);
    return part && stmt->executed ? static_cast<int32_t>(part->affected) : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_has_next_result(dbcapi_stmt* stmt) {
    if (!stmt || !stmt->executed) return 0;
    if (stmt->current + 1 < stmt->parts.size()) return 1;
    return zkv::isBlankSql(stmt->sql.c_str() + stmt->tailOffset, stmt->sql.size() - stmt->tailOffset) ? 0 : 1;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_get_next_result(dbcapi_stmt* stmt) {
    if (!stmt) return 0;
    zkv::CallScope scope(stmt->conn, stmt, stmt->timeoutSeconds);
    if (!zkv::requireSession(stmt->conn)) return 0;
    if (!stmt->executed) {
        stmt->conn->error.set(zkv::kSequenceError, "HY010", "The statement has not been executed");
        return 0;
    }
    zkv::resetFetchState(stmt);
    stmt->boundColumns.clear();
    stmt->columnIsBound.clear();
    stmt->anyBound = false;
    if (stmt->current + 1 >= stmt->parts.size()) {
        if (!zkv::prepareNextPart(stmt)) {
            if (stmt->conn->error.message().empty())
                stmt->conn->error.set(zkv::kNoMoreRows, "02000", "No more results");
            return 0;
        }
        if (!zkv::runPart(stmt, *stmt->parts.back())) return 0;
    }
    zkv::currentPart(stmt)->cursor->reset();
    ++stmt->current;
    return zkv::runFollowingStatements(stmt) ? 1 : 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_query_timeout(dbcapi_stmt* stmt, int32_t seconds) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    if (seconds < 0) {
        stmt->conn->error.set(zkv::kInvalidArgument, "HY024", "Invalid query time-out: " + std::to_string(seconds));
        return 0;
    }
    stmt->timeoutSeconds = seconds;
    return 1;
}
