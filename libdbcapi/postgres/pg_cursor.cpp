// Server statements: prepared on the server, parameters sent as text (or
// binary for blobs), rows read one at a time, CALL output parameters.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "errors.h"
#include "pg_backend.h"
#include "pg_types.h"
#include "sql_text.h"

namespace zkv {
namespace {

// Mode ('i', 'o', 'b' in/out, 'v' variadic) and name of each argument of
// a procedure, in signature order: the first procedure by that name taking
// at least the given number of arguments (outputs included) and having
// every argument name the call uses.
const char* kSignatureQuery =
    "WITH proc AS (SELECT p.proargmodes AS modes, p.proargnames AS names, "
    "coalesce(array_length(p.proargmodes, 1), p.pronargs) AS nargs "
    "FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n ON n.oid = p.pronamespace, "
    "parse_ident($1) AS name "
    "WHERE p.prokind = 'p' AND p.proname = name[array_length(name, 1)] "
    "AND (CASE WHEN array_length(name, 1) = 1 THEN pg_catalog.pg_function_is_visible(p.oid) "
    "ELSE n.nspname = name[array_length(name, 1) - 1] OR (name[array_length(name, 1) - 1] = 'pg_temp' "
    "AND n.oid = pg_catalog.pg_my_temp_schema()) END) "
    "AND coalesce(array_length(p.proargmodes, 1), p.pronargs) >= $2::int "
    "AND $3::text[] <@ coalesce(p.proargnames, '{}'::text[]) "
    "ORDER BY nargs LIMIT 1) "
    "SELECT coalesce(proc.modes[i]::text, 'i'), coalesce(proc.names[i], '') "
    "FROM proc, generate_series(1, proc.nargs) AS i ORDER BY i";

// The names of a call's named arguments as a text array literal.
std::string namesArray(const std::vector<std::string>& names) {
    std::string out = "{";
    for (const std::string& name : names) {
        if (name.empty()) continue;
        if (out.size() > 1) out += ',';
        out += '"';
        for (char c : name) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

const char* kSetSchemaQuery =
    "SELECT pg_catalog.set_config('search_path', pg_catalog.quote_ident(nspname), false) "
    "FROM pg_catalog.pg_namespace WHERE nspname IN ($1::text, lower($1::text)) ORDER BY nspname = $1::text DESC LIMIT 1";

bool resultOk(const PGresult* result) {
    ExecStatusType status = libpq().PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_SINGLE_TUPLE ||
           status == PGRES_EMPTY_QUERY;
}

// Waits for the single result of a command sent without row streaming.
PGresult* awaitOne(PgSession& session, BackendError& err) {
    PGresult* result = session.nextResult(err);
    session.discardResults();
    if (!result) {
        if (err.message.empty()) err = makeError(kConnectionLost, "08006", "The server sent no result");
        return nullptr;
    }
    if (resultOk(result)) return result;
    err = session.errorOf(result);
    libpq().PQclear(result);
    return nullptr;
}

// The result of one command of a pipeline, and the end of its results.
PGresult* takePipelined(PgSession& session, BackendError& err) {
    PGresult* result = session.nextResult(err);
    if (result) session.discardResults();
    return result;
}

bool succeeded(PgSession& session, const PGresult* result, BackendError& err) {
    if (!result) {
        if (err.message.empty()) err = makeError(kConnectionLost, "08006", "The server sent no result");
        return false;
    }
    if (resultOk(result)) return true;
    // The server's last words before it closed the connection.
    bool lost = libpq().PQstatus(session.connection()) == CONNECTION_BAD;
    err = lost ? session.lostConnection() : session.errorOf(result);
    return false;
}

// libpq drops the connection on a parameter description longer than 30000
// bytes, which 7,499 parameters exceed: statements with more parameters
// than this are described in another way (describeMany).
constexpr size_t kDescribableParams = 7000;

const char* kParamTypesQuery =
    "SELECT t::oid, t::text FROM pg_catalog.pg_prepared_statements, "
    "unnest(parameter_types) WITH ORDINALITY AS p(t, i) WHERE name = $1 ORDER BY i";

// Rows of a batch sent before their results are read: the results of a
// chunk must fit the socket buffers, or both ends would wait on each other.
constexpr uint32_t kPipelineRows = 512;

// DEALLOCATE and DISCARD remove server statements the session still names.
bool dropsServerStatements(const std::string& sql) {
    size_t start = sql.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return false;
    std::string word;
    for (size_t i = start; i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])); ++i)
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i])));
    return word == "DEALLOCATE" || word == "DISCARD";
}

int64_t commandTuples(const PGresult* result) {
    const char* count = libpq().PQcmdTuples(const_cast<PGresult*>(result));
    return count && *count ? std::strtoll(count, nullptr, 10) : 0;
}

}  // namespace

PgCursor::PgCursor(std::shared_ptr<PgSession> session, PgStatementText text, Mode mode)
    : session_(std::move(session)), text_(std::move(text)), mode_(mode) {
    functionCode_ = mode_ == Mode::SetSchema ? DBCAPI_FUNCTION_SESSION : DBCAPI_FUNCTION_OTHER;
}

PgCursor::~PgCursor() {
    session_->forget(this, statement_);
    for (PGresult* result : buffered_) libpq().PQclear(result);
}

bool PgCursor::prepareOnServer(const std::string& schemaName, BackendError& err) {
    schemaName_ = schemaName;
    bool many = text_.paramNames.size() > kDescribableParams;
    cacheable_ = mode_ == Mode::Plain && !many;
    if (cacheable_ && takeCached()) return true;
    const std::string& sql = mode_ == Mode::SetSchema ? std::string(kSetSchemaQuery) : text_.sql;
    if (!(many ? prepareThenDescribeMany(sql, err) : prepareAndDescribe(sql, err))) return false;
    if (mode_ != Mode::SetSchema) directions_.assign(paramTypes_.size(), kParamInput);
    if (mode_ == Mode::Plain && !session_->nameTableColumns(columns_, err)) return false;
    if (mode_ == Mode::Plain) functionCode_ = classifyStatement(text_.sql.c_str(), !columns_.empty());
    sizeBindings();
    if (mode_ == Mode::Call) return lookUpDirections(err);
    if (!cacheable_) return true;
    statement_->paramTypes = paramTypes_;
    statement_->columns = columns_;
    statement_->functionCode = functionCode_;
    session_->cacheStatement(text_.sql, statement_);
    return true;
}

// The server statement prepared earlier for the same text: no round trip.
bool PgCursor::takeCached() {
    std::shared_ptr<PgPrepared> cached = session_->cachedStatement(text_.sql);
    if (!cached) return false;
    statement_ = std::move(cached);
    paramTypes_ = statement_->paramTypes;
    columns_ = statement_->columns;
    functionCode_ = statement_->functionCode;
    directions_.assign(paramTypes_.size(), kParamInput);
    sizeBindings();
    return true;
}

// Values bound before a statement is prepared again are kept.
void PgCursor::sizeBindings() {
    if (values_.size() == directions_.size()) return;
    values_.assign(directions_.size(), std::string());
    nulls_.assign(directions_.size(), 1);
    formats_.assign(directions_.size(), 0);
}

// Parse and describe in one round trip (the server's pipeline). The name
// is kept as soon as the parse succeeded, so that a failed describe still
// deallocates it. Errors are read once the pipeline has ended, when a
// connection the server closed shows as lost.
bool PgCursor::prepareAndDescribe(const std::string& sql, BackendError& err) {
    PGconn* conn = session_->connection();
    std::string name = session_->nextStatementName();
    if (!libpq().PQenterPipelineMode(conn)) return sendFailed(err);
    bool sent = libpq().PQsendPrepare(conn, name.c_str(), sql.c_str(), 0, nullptr) &&
                libpq().PQsendDescribePrepared(conn, name.c_str()) && libpq().PQpipelineSync(conn);
    PGresult* prepared = sent ? takePipelined(*session_, err) : nullptr;
    PGresult* described = prepared ? takePipelined(*session_, err) : nullptr;
    session_->endPipeline();
    if (!sent) return sendFailed(err);
    bool parsed = succeeded(*session_, prepared, err);
    if (parsed) {
        statement_ = std::make_shared<PgPrepared>();
        statement_->name = name;
    }
    bool ok = parsed && succeeded(*session_, described, err);
    if (ok) readDescription(described, mode_ != Mode::SetSchema);
    libpq().PQclear(prepared);
    libpq().PQclear(described);
    return ok;
}

// The older way for statements with too many parameters to describe:
// parse, then describe in round trips of their own.
bool PgCursor::prepareThenDescribeMany(const std::string& sql, BackendError& err) {
    std::string name = session_->nextStatementName();
    if (!libpq().PQsendPrepare(session_->connection(), name.c_str(), sql.c_str(), 0, nullptr))
        return sendFailed(err);
    PGresult* prepared = awaitOne(*session_, err);
    if (!prepared) return false;
    libpq().PQclear(prepared);
    statement_ = std::make_shared<PgPrepared>();
    statement_->name = name;
    return describeMany(err);
}

// Parameter types (when withParams) and columns of a prepared statement.
bool PgCursor::describe(const std::string& statement, bool withParams, BackendError& err) {
    if (!libpq().PQsendDescribePrepared(session_->connection(), statement.c_str())) return sendFailed(err);
    PGresult* described = awaitOne(*session_, err);
    if (!described) return false;
    readDescription(described, withParams);
    libpq().PQclear(described);
    return true;
}

void PgCursor::readDescription(const PGresult* described, bool withParams) {
    for (int i = 0; withParams && i < libpq().PQnparams(described); ++i)
        paramTypes_.push_back(libpq().PQparamtype(described, i));
    for (int i = 0; i < libpq().PQnfields(described); ++i) {
        PgColumn column;
        column.name = libpq().PQfname(described, i);
        column.type = libpq().PQftype(described, i);
        column.typmod = libpq().PQfmod(described, i);
        column.table = libpq().PQftable(described, i);
        column.tableColumn = libpq().PQftablecol(described, i);
        columns_.push_back(std::move(column));
    }
}

// The parameter types come from the catalog; the columns from the same
// text with each marker a NULL of its parameter's type, which gives the
// columns the same types.
bool PgCursor::describeMany(BackendError& err) {
    const char* values[] = {statement_->name.c_str()};
    if (!libpq().PQsendQueryParams(session_->connection(), kParamTypesQuery, 1, nullptr, values, nullptr, nullptr, 0))
        return sendFailed(err);
    PGresult* types = awaitOne(*session_, err);
    if (!types) return false;
    std::vector<std::string> nulls;
    for (int row = 0; row < libpq().PQntuples(types); ++row) {
        paramTypes_.push_back(static_cast<Oid>(std::strtoul(libpq().PQgetvalue(types, row, 0), nullptr, 10)));
        nulls.push_back(std::string("CAST(NULL AS ") + libpq().PQgetvalue(types, row, 1) + ")");
    }
    libpq().PQclear(types);
    nulls.resize(text_.paramNames.size(), "NULL");
    std::string typedNulls = replaceMarkers(text_, nulls);
    if (!libpq().PQsendPrepare(session_->connection(), "", typedNulls.c_str(), 0, nullptr)) return sendFailed(err);
    PGresult* prepared = awaitOne(*session_, err);
    if (!prepared) return false;
    libpq().PQclear(prepared);
    return describe("", false, err);
}

// Output parameters of CALL come from the procedure's signature: the
// arguments that are single markers take the direction of their argument,
// found by position or, for "name => value", by name.
bool PgCursor::lookUpDirections(BackendError& err) {
    outputColumn_.assign(directions_.size(), -1);
    std::string count = std::to_string(text_.callArguments.size());
    std::string names = namesArray(text_.callArgumentNames);
    const char* values[] = {text_.callName.c_str(), count.c_str(), names.c_str()};
    if (!libpq().PQsendQueryParams(session_->connection(), kSignatureQuery, 3, nullptr, values, nullptr, nullptr, 0))
        return sendFailed(err);
    PGresult* result = awaitOne(*session_, err);
    if (!result) return false;
    std::string modes;
    std::vector<std::string> signatureNames;
    for (int row = 0; row < libpq().PQntuples(result); ++row) {
        modes += libpq().PQgetvalue(result, row, 0)[0];
        signatureNames.emplace_back(libpq().PQgetvalue(result, row, 1));
    }
    libpq().PQclear(result);
    applyDirections(modes, signatureNames);
    return true;
}

void PgCursor::applyDirections(const std::string& modes, const std::vector<std::string>& signatureNames) {
    // The CALL's row holds the outputs in signature order.
    std::vector<int> outputOf(modes.size(), -1);
    int outputs = 0;
    for (size_t i = 0; i < modes.size(); ++i)
        if (modes[i] == 'o' || modes[i] == 'b') outputOf[i] = outputs++;
    for (size_t arg = 0; arg < text_.callArguments.size(); ++arg) {
        const std::string& name = text_.callArgumentNames[arg];
        size_t position = arg;
        if (!name.empty())
            position = static_cast<size_t>(std::find(signatureNames.begin(), signatureNames.end(), name) -
                                           signatureNames.begin());
        int param = text_.callArguments[arg];
        if (position >= modes.size() || outputOf[position] < 0 || param < 0 ||
            static_cast<size_t>(param) >= directions_.size())
            continue;
        directions_[static_cast<size_t>(param)] = modes[position] == 'o' ? kParamOutput : kParamInputOutput;
        outputColumn_[static_cast<size_t>(param)] = outputOf[position];
    }
}

const char* PgCursor::paramName(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= text_.paramNames.size()) return nullptr;
    const std::string& name = text_.paramNames[static_cast<size_t>(index)];
    return name.empty() ? nullptr : name.c_str();
}

bool PgCursor::sendFailed(BackendError& err) const {
    err = makeError(kConnectionLost, "08006",
                    std::string("Cannot send to the server: ") + libpq().PQerrorMessage(session_->connection()));
    return false;
}

bool PgCursor::checkIndex(int index, BackendError& err) const {
    if (index >= 0 && static_cast<size_t>(index) < values_.size()) return true;
    err = makeError(kInvalidIndex, "07009", "Invalid parameter index " + std::to_string(index));
    return false;
}

bool PgCursor::bindNull(int index, BackendError& err) {
    if (!checkIndex(index, err)) return false;
    nulls_[static_cast<size_t>(index)] = 1;
    return true;
}

bool PgCursor::bindInt64(int index, int64_t value, BackendError& err) {
    if (!checkIndex(index, err)) return false;
    values_[static_cast<size_t>(index)] = std::to_string(value);
    nulls_[static_cast<size_t>(index)] = 0;
    formats_[static_cast<size_t>(index)] = 0;
    return true;
}

// The shortest text that reads back as the same double.
bool PgCursor::bindDouble(int index, double value, BackendError& err) {
    if (!checkIndex(index, err)) return false;
    std::string& text = values_[static_cast<size_t>(index)];
    if (std::isnan(value)) {
        text = "NaN";
    } else if (std::isinf(value)) {
        text = value > 0 ? "Infinity" : "-Infinity";
    } else if (std::trunc(value) == value && std::fabs(value) < 9007199254740992.0 &&
               !(value == 0 && std::signbit(value))) {
        // Whole numbers as plain digits: the shortest form of 100000 is
        // "1e+05", which the server refuses for integer parameters.
        text = std::to_string(static_cast<long long>(value));
    } else {
        char buffer[32];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
        text.assign(buffer, end);
    }
    nulls_[static_cast<size_t>(index)] = 0;
    formats_[static_cast<size_t>(index)] = 0;
    return true;
}

bool PgCursor::bindText(int index, const char* data, size_t length, bool copy, BackendError& err) {
    if (!checkIndex(index, err)) return false;
    if (data && std::memchr(data, '\0', length)) {
        err = makeError(kInvalidCast, "22021", "Parameter " + std::to_string(index) + ": text holds a zero byte");
        return false;
    }
    values_[static_cast<size_t>(index)].assign(data ? data : "", length);
    nulls_[static_cast<size_t>(index)] = 0;
    formats_[static_cast<size_t>(index)] = 0;
    return true;
}

// Binary form only for bytea: in binary form a parameter of another type
// would take the bytes as its internal representation (four bytes become
// an integer). Other types read the bytes as their text.
bool PgCursor::bindBlob(int index, const void* data, size_t length, bool copy, BackendError& err) {
    if (!checkIndex(index, err)) return false;
    size_t i = static_cast<size_t>(index);
    if (i < paramTypes_.size() && pgValueKind(paramTypes_[i]) != ValueKind::Blob)
        return bindText(index, static_cast<const char*>(data), length, copy, err);
    values_[static_cast<size_t>(index)].assign(data ? static_cast<const char*>(data) : "", length);
    nulls_[static_cast<size_t>(index)] = 0;
    formats_[static_cast<size_t>(index)] = 1;
    return true;
}

void PgCursor::clearBindings() { nulls_.assign(nulls_.size(), 1); }

void PgCursor::reset() {
    if (phase_ == Phase::Streaming) {
        session_->stopStreaming(this);
        session_->discardResults();
    }
    for (PGresult* result : buffered_) libpq().PQclear(result);
    buffered_.clear();
    row_.reset(nullptr);
    phase_ = Phase::Idle;
    endFailed_ = false;
    changes_ = 0;
}

bool PgCursor::send(BackendError& err) {
    ++executions_;
    outputRow_.reset(nullptr);
    schemaFound_ = false;
    if (!session_->ready(err) || !session_->notInterrupted(err) || !sendBound(err)) return false;
    libpq().PQsetSingleRowMode(session_->connection());
    session_->startStreaming(this);
    phase_ = Phase::Streaming;
    return true;
}

// Sends the prepared statement with the values bound now. A statement
// that failed to be prepared again after a schema change has none.
bool PgCursor::sendBound(BackendError& err) {
    if (!statement_) {
        err = makeError(kServerError, "26000", "The statement is no longer prepared on the server; prepare it again");
        return false;
    }
    std::vector<const char*> values;
    std::vector<int> lengths;
    if (mode_ == Mode::SetSchema) {
        values.push_back(schemaName_.c_str());
        lengths.push_back(0);
        formats_.assign(1, 0);
    }
    for (size_t i = 0; i < values_.size(); ++i) {
        values.push_back(nulls_[i] ? nullptr : values_[i].c_str());
        lengths.push_back(static_cast<int>(values_[i].size()));
    }
    if (!libpq().PQsendQueryPrepared(session_->connection(), statement_->name.c_str(), static_cast<int>(values.size()), values.data(),
                             lengths.data(), formats_.data(), 0))
        return sendFailed(err);
    return true;
}

// SET SCHEMA and CALL hand out no rows: the row of SET SCHEMA says that
// the schema exists, the row of CALL holds the output parameters.
StepResult PgCursor::step(BackendError& err) {
    bool starting = phase_ == Phase::Idle;
    if (starting && !send(err)) return StepResult::Error;
    StepResult result = readNext(err);
    if (starting && result == StepResult::Error && replan(err)) result = readNext(err);
    while (result == StepResult::Row && mode_ != Mode::Plain) {
        if (mode_ == Mode::Call) outputRow_.adopt(row_, &outputColumn_);
        schemaFound_ = true;
        result = readNext(err);
    }
    return result;
}

StepResult PgCursor::readNext(BackendError& err) {
    row_.reset(nullptr);
    if (!buffered_.empty()) {
        row_.reset(buffered_.front());
        buffered_.pop_front();
        return StepResult::Row;
    }
    if (phase_ == Phase::Drained || phase_ == Phase::Finished) {
        phase_ = Phase::Finished;
        if (!endFailed_) return StepResult::Done;
        err = endError_;
        return StepResult::Error;
    }
    PGresult* result = session_->nextResult(err);
    if (result && libpq().PQresultStatus(result) == PGRES_SINGLE_TUPLE) {
        row_.reset(result);
        return StepResult::Row;
    }
    return finish(result, err);
}

// The last result of the command: its status, then the end of the command.
StepResult PgCursor::finish(PGresult* last, BackendError& err) {
    session_->stopStreaming(this);
    phase_ = Phase::Finished;
    if (!last) {
        if (err.message.empty()) err = makeError(kConnectionLost, "08006", "The server sent no result");
        return StepResult::Error;
    }
    bool ok = resultOk(last);
    if (ok) changes_ = commandTuples(last);
    // Renamed tables and columns must not keep their old names, nor texts
    // their old meaning.
    if (ok && functionCode_ == DBCAPI_FUNCTION_DDL) session_->forgetTables();
    if (ok && functionCode_ == DBCAPI_FUNCTION_DDL) session_->schemaChanged();
    if (ok && functionCode_ == DBCAPI_FUNCTION_SESSION) session_->clearStatementCache(true);
    if (ok && dropsServerStatements(text_.sql)) session_->clearStatementCache(false);
    if (!ok) err = session_->errorOf(last);
    bool schemaMissing = mode_ == Mode::SetSchema && ok && !schemaFound_;
    libpq().PQclear(last);
    session_->discardResults();
    if (schemaMissing) {
        err = makeError(kInvalidSchema, "3F000", "Invalid schema name: " + schemaName_);
        return StepResult::Error;
    }
    return ok ? StepResult::Done : StepResult::Error;
}

// A kept statement whose tables changed since it was prepared fails with
// 0A000 ("cached plan must not change result type") before it runs. It is
// no longer kept, and on its cursor's first execute outside a transaction
// it is prepared again and sent once more (true when it was). Later
// executes keep the error: the caller has described the old columns.
bool PgCursor::replan(BackendError& err) {
    if (!cacheable_ || err.sqlstate != "0A000") return false;
    session_->uncacheStatement(text_.sql);
    if (executions_ != 1 || libpq().PQtransactionStatus(session_->connection()) != PQTRANS_IDLE) return false;
    session_->forget(this, statement_);
    paramTypes_.clear();
    columns_.clear();
    BackendError again;
    if (!session_->ready(again) || !prepareOnServer(schemaName_, again)) {
        err = again;
        return false;
    }
    reset();
    return send(err);
}

void PgCursor::drain() {
    if (phase_ != Phase::Streaming) return;
    BackendError err;
    while (PGresult* result = session_->nextResult(err)) {
        if (libpq().PQresultStatus(result) == PGRES_SINGLE_TUPLE) {
            buffered_.push_back(result);
            continue;
        }
        endFailed_ = !resultOk(result);
        if (endFailed_) endError_ = session_->errorOf(result);
        else changes_ = commandTuples(result);
        libpq().PQclear(result);
    }
    if (!err.message.empty()) {
        endFailed_ = true;
        endError_ = err;
    }
    phase_ = Phase::Drained;
}

ColumnOrigin PgCursor::columnOrigin(int index) const {
    ColumnOrigin origin;
    const PgColumn& column = columns_[static_cast<size_t>(index)];
    origin.name = column.name.c_str();
    origin.columnName = column.tableColumnName.empty() ? origin.name : column.tableColumnName.c_str();
    if (!column.tableName.empty()) {
        origin.tableName = column.tableName.c_str();
        origin.ownerName = column.schemaName.c_str();
    }
    origin.exact = pgColumnType(column.type, column.typmod);
    return origin;
}

ParamDirection PgCursor::paramDirection(int index) const {
    return index >= 0 && static_cast<size_t>(index) < directions_.size() ? directions_[static_cast<size_t>(index)]
                                                                       : kParamInput;
}

ExactType PgCursor::paramType(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= paramTypes_.size()) return ExactType();
    return pgParamType(paramTypes_[static_cast<size_t>(index)]);
}

const ValueSource* PgCursor::outputs() const { return mode_ == Mode::Call ? &outputRow_ : nullptr; }

// The rows of a batch are pipelined: one round trip per chunk instead of
// one per row. CALL keeps row by row, for its output parameters.
bool PgCursor::executeRows(uint32_t rows, const RowBinder& bindRow, std::vector<int32_t>& status,
                           uint32_t& failedRow, BackendError& err) {
    reset();
    failedRow = 0;
    if (!session_->ready(err)) return false;
    PGconn* conn = session_->connection();
    if (mode_ != Mode::Plain || !libpq().PQenterPipelineMode(conn))
        return BackendCursor::executeRows(rows, bindRow, status, failedRow, err);
    bool ok = true;
    for (uint32_t first = 0; ok && first < rows; first += kPipelineRows)
        ok = runChunk(first, std::min(rows, first + kPipelineRows), bindRow, status, failedRow, err);
    if (libpq().PQpipelineStatus(conn) != PQ_PIPELINE_OFF && !libpq().PQexitPipelineMode(conn) && ok) {
        err = makeError(kConnectionLost, "08006", std::string("Pipeline not ended: ") + libpq().PQerrorMessage(conn));
        ok = false;
    }
    return ok;
}

// Sends rows [first, end) and reads their results. A row that cannot be
// bound or sent ends the chunk; the rows sent before it are still read.
bool PgCursor::runChunk(uint32_t first, uint32_t end, const RowBinder& bindRow, std::vector<int32_t>& status,
                        uint32_t& failedRow, BackendError& err) {
    BackendError sendError;
    uint32_t sent = first;
    while (sent < end && session_->notInterrupted(sendError) && bindRow(sent, sendError) && sendBound(sendError))
        ++sent;
    if (!libpq().PQpipelineSync(session_->connection())) {
        failedRow = first;
        return sendFailed(err);
    }
    if (!readChunk(first, sent, status, failedRow, err)) return false;
    if (sent == end) return true;
    failedRow = sent;
    err = sendError;
    return false;
}

// Each row's result, the end of its results, and at last the sync point.
// After a failed row the server skips the others up to the sync point.
bool PgCursor::readChunk(uint32_t first, uint32_t end, std::vector<int32_t>& status, uint32_t& failedRow,
                         BackendError& err) {
    bool ok = true;
    for (uint32_t row = first; row < end; ++row) {
        BackendError readError;
        PGresult* result = session_->nextResult(readError);
        // A row has one result; the null after it ends the row's results.
        PGresult* extra = result ? session_->nextResult(readError) : nullptr;
        if (!result || extra || !readError.message.empty()) {
            failedRow = row;
            err = readError.message.empty()
                      ? makeError(kConnectionLost, "08006", "The server's answer to a batch row was not one result")
                      : readError;
            libpq().PQclear(result);
            libpq().PQclear(extra);
            return false;
        }
        if (resultOk(result)) {
            status[row] = static_cast<int32_t>(commandTuples(result));
        } else if (ok) {
            ok = false;
            failedRow = row;
            err = session_->errorOf(result);
        }
        libpq().PQclear(result);
    }
    BackendError syncError;
    PGresult* sync = session_->nextResult(syncError);
    if (sync) libpq().PQclear(sync);
    return ok;
}

}  // namespace zkv
