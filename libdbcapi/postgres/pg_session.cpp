// Server sessions: waiting for the server with abort and time-out, notices,
// the connection's one streaming result, DUMMY and transactions.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "errors.h"
#include "pg_backend.h"
#include "sql_text.h"

namespace zkv {
namespace {

int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How long one wait for the server may block before the flags of abort
// and time-out are looked at again.
constexpr int kWaitSliceMs = 20;

// How long a cancel request may go unanswered before the call fails and
// the connection is given up: a frozen server or a lost network would
// otherwise hold the call for ever.
constexpr int64_t kCancelGraceSeconds = 3;
constexpr int64_t kCancelGraceNs = kCancelGraceSeconds * 1000000000;

// A cancel that reaches the server between two messages of a command is
// ignored, so it is sent again at this interval until an answer comes.
constexpr int64_t kCancelRepeatNs = 500000000;

constexpr size_t kMaxParams = 65535;

// Server statements kept per session for their text.
constexpr size_t kCachedStatements = 100;

const char* kCopyRefused =
    "COPY FROM STDIN and COPY TO STDOUT are not supported: insert rows with a batch execute, read them with a query";

std::string field(const PGresult* result, int code) {
    const char* value = libpq().PQresultErrorField(result, code);
    return value ? value : "";
}

BackendError interruptedError() {
    return makeError(kInterrupted, "HY008", "Statement interrupted: the operation was cancelled");
}

BackendError copyRefusedError() { return makeError(kNotSupported, "0A000", kCopyRefused); }

BackendError brokenError() {
    return makeError(kConnectionLost, "08006",
                     "Connection broken: an earlier call was given up when the server did not answer its cancel "
                     "request; connect again");
}

std::string isolationSql(int level) {
    static const char* const names[] = {"READ UNCOMMITTED", "READ COMMITTED", "REPEATABLE READ", "SERIALIZABLE"};
    return std::string("SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL ") + names[level];
}

std::string quoteLiteral(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

}  // namespace

// Sending does not block: a command larger than the socket buffers, sent
// to a frozen server, is flushed while waiting, under abort and time-out.
PgSession::PgSession(PGconn* conn) : conn_(conn) {
    libpq().PQsetNoticeReceiver(conn_, &PgSession::noticeReceiver, this);
    libpq().PQsetnonblocking(conn_, 1);
}

PgSession::~PgSession() { libpq().PQfinish(conn_); }

// Each session gets its own one-row DUMMY and dates in ISO form.
bool PgSession::setUp(int isolationLevel, BackendError& err) {
    std::string sql = "SET DateStyle = ISO; SET IntervalStyle = iso_8601; "
                      "CREATE TEMP VIEW dummy AS SELECT 'X'::varchar(1) AS dummy";
    if (isolationLevel >= 0) sql += "; " + isolationSql(isolationLevel);
    isolation_ = isolationLevel;
    return runSimple(sql.c_str(), err);
}

// Names match as SET SCHEMA matches them: as written, else folded to lower case.
bool PgSession::setSearchPath(const std::string& name, BackendError& err) {
    std::string value = quoteLiteral(name);
    std::string sql = "SELECT pg_catalog.set_config('search_path', pg_catalog.quote_ident(COALESCE("
                      "(SELECT nspname FROM pg_catalog.pg_namespace WHERE nspname IN (" + value + ", lower(" +
                      value + ")) ORDER BY nspname = " + value + " DESC LIMIT 1), " + value + ")), false)";
    return execute(sql.c_str(), err);
}

// A failed transaction refuses every command, so the level waits for its end.
bool PgSession::setIsolationLevel(int level, BackendError& err) {
    bool inside = inTransaction();
    if (!inside || libpq().PQtransactionStatus(conn_) != PQTRANS_INERROR) {
        if (!execute(isolationSql(level).c_str(), err)) return false;
    }
    isolation_ = level;
    isolationUnsettled_ = inside;
    return true;
}

void PgSession::beginCall(int64_t startNs, int64_t deadlineNs, CallHooks* hooks) {
    interrupted_ = false;
    cancelSent_ = false;
    if (libpq().PQtransactionStatus(conn_) != PQTRANS_ACTIVE) cancelCause_ = CancelCause::None;
    deadline_ = deadlineNs;
    hooks_ = hooks;
    callStart_ = startNs;
}

void PgSession::endCall() {
    deadline_ = 0;
    hooks_ = nullptr;
}

// The server reports no CPU time per statement; the call's wall time
// stands in for it, as for short calls of the embedded backend.
int64_t PgSession::callCpuMicros(int64_t nowNs) const { return (nowNs - callStart_) / 1000; }

void PgSession::noticeReceiver(void* self, const PGresult* result) {
    auto* session = static_cast<PgSession*>(self);
    CallHooks* hooks = session->hooks_;
    if (!hooks) return;
    std::string severity = field(result, PG_DIAG_SEVERITY_NONLOCALIZED);
    std::string message = field(result, PG_DIAG_MESSAGE_PRIMARY);
    if (severity == "INFO") {
        hooks->onPrintLine(message.data(), message.size());
    } else if (severity == "NOTICE" || severity == "WARNING") {
        std::string state = field(result, PG_DIAG_SQLSTATE);
        hooks->onWarning(0, state.empty() ? "01000" : state.c_str(), message.c_str());
    }
}

BackendError PgSession::lostConnection() const {
    std::string message = libpq().PQerrorMessage(conn_);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return makeError(kConnectionLost, "08006", "Connection to the server lost: " + message);
}

// Sends what is still queued and waits until the running command has
// input for us.
bool PgSession::waitForInput(BackendError& err) {
    if (broken_) {
        err = brokenError();
        return false;
    }
    for (;;) {
        int sending = libpq().PQflush(conn_);
        if (sending < 0) {
            err = lostConnection();
            return false;
        }
        if (!sending && !libpq().PQisBusy(conn_)) return true;
        if (!waitOnce(sending == 1, err)) return false;
    }
}

// One slice of waiting for the server. Abort and the time-out send the
// server a cancel request; the command then ends with an error that
// errorOf() reports as interrupted or timed out. A cancel unanswered for
// the grace gives the connection up.
bool PgSession::waitOnce(bool sending, BackendError& err) {
    int64_t deadline = deadline_;
    int64_t now = steadyNanos();
    if (!cancelSent_ && (interrupted_ || (deadline && now > deadline))) {
        cancelCause_ = interrupted_ ? CancelCause::Interrupt : CancelCause::TimeOut;
        cancelSent_ = true;
        cancelSentAt_ = now;
        requestCancel();
    } else if (cancelSent_ && now - lastCancelAt_ > kCancelRepeatNs && cancelDelivered()) {
        requestCancel();
    }
    if (cancelSent_ && now - cancelSentAt_ > kCancelGraceNs) {
        err = giveUp();
        return false;
    }
    pollfd fd{libpq().PQsocket(conn_), static_cast<short>(sending ? POLLIN | POLLOUT : POLLIN), 0};
    if ((poll(&fd, 1, kWaitSliceMs) < 0 && errno != EINTR) || !libpq().PQconsumeInput(conn_)) {
        err = lostConnection();
        return false;
    }
    return true;
}

// PQcancel blocks until the server has taken the request, which a frozen
// or unreachable server never does: it runs on a thread of its own that
// owns its copy of the cancel key.
void PgSession::requestCancel() {
    lastCancelAt_ = steadyNanos();
    PGcancel* cancel = libpq().PQgetCancel(conn_);
    if (!cancel) return;
    auto send = [cancel] {
        char message[256];
        libpq().PQcancel(cancel, message, sizeof message);
        libpq().PQfreeCancel(cancel);
    };
    std::promise<void> delivered;
    cancelDelivery_ = delivered.get_future();
    try {
        std::thread([send, delivered = std::move(delivered)]() mutable {
            send();
            delivered.set_value();
        }).detach();
    } catch (const std::system_error&) {
        send();
        cancelDelivery_ = std::future<void>();
    }
}

bool PgSession::cancelDelivered() const {
    return !cancelDelivery_.valid() || cancelDelivery_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void PgSession::awaitCancelSent() {
    if (!cancelDelivery_.valid()) return;
    cancelDelivery_.wait_for(std::chrono::nanoseconds(kCancelGraceNs));
    cancelDelivery_ = std::future<void>();
}

// The server did not answer the cancel: it is frozen or the network is
// gone. Shutting the socket down fails whatever libpq still tries and ends
// the server's session once it runs again.
BackendError PgSession::giveUp() {
    broken_ = true;
    int socket = libpq().PQsocket(conn_);
    if (socket >= 0) shutdown(socket, SHUT_RDWR);
    std::string unanswered =
        "the server did not answer the cancel request within " + std::to_string(kCancelGraceSeconds) +
        " s; the connection is broken";
    if (cancelCause_ == CancelCause::TimeOut)
        return makeError(kTimedOut, "HYT00", "Statement timed out: the query time-out elapsed and " + unanswered);
    if (cancelCause_ == CancelCause::Interrupt)
        return makeError(kInterrupted, "HY008", "Statement interrupted: " + unanswered);
    return brokenError();
}

bool PgSession::notInterrupted(BackendError& err) const {
    if (!interrupted_) return true;
    err = interruptedError();
    return false;
}

PGresult* PgSession::nextResult(BackendError& err) {
    if (!waitForInput(err)) return nullptr;
    PGresult* result = libpq().PQgetResult(conn_);
    if (!result && libpq().PQstatus(conn_) == CONNECTION_BAD) err = lostConnection();
    return result;
}

BackendError PgSession::errorOf(const PGresult* result) const {
    std::string state = field(result, PG_DIAG_SQLSTATE);
    std::string message = field(result, PG_DIAG_MESSAGE_PRIMARY);
    if (state == "57014" && cancelCause_ == CancelCause::TimeOut)
        return makeError(kTimedOut, "HYT00", "Statement timed out: the query time-out elapsed");
    if (state == "57014" && cancelCause_ == CancelCause::Interrupt)
        return interruptedError();
    if (message.empty()) {
        message = libpq().PQresultErrorMessage(result);
        while (!message.empty() && message.back() == '\n') message.pop_back();
    }
    std::string detail = field(result, PG_DIAG_MESSAGE_DETAIL);
    if (!detail.empty()) message += " (" + detail + ")";
    if (libpq().PQstatus(conn_) == CONNECTION_BAD) {
        BackendError lost = lostConnection();
        if (!state.empty()) lost.sqlstate = state;
        return lost;
    }
    return makeError(kServerError, state.empty() ? "HY000" : state.c_str(), message);
}

void PgSession::discardResults() {
    BackendError ignored;
    while (PGresult* result = nextResult(ignored)) libpq().PQclear(result);
}

void PgSession::endPipeline() {
    BackendError err;
    // Each query of the pipeline ends with a null result; a few more than
    // it holds bound the wait should the sync point never come.
    for (int ends = 0; ends < 8 && err.message.empty();) {
        PGresult* result = nextResult(err);
        if (!result) {
            ++ends;
            continue;
        }
        bool synced = libpq().PQresultStatus(result) == PGRES_PIPELINE_SYNC;
        libpq().PQclear(result);
        if (synced) break;
    }
    libpq().PQexitPipelineMode(conn_);
}

bool PgSession::ready(BackendError& err) {
    if (broken_) {
        err = brokenError();
        return false;
    }
    awaitCancelSent();
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (streaming_) streaming_->drain();
        streaming_ = nullptr;
        if (discardPending_) discardResults();
        discardPending_ = false;
        names.swap(deallocate_);
    }
    if (libpq().PQstatus(conn_) == CONNECTION_BAD) {
        err = lostConnection();
        return false;
    }
    if (schemaChangedInTransaction_ && libpq().PQtransactionStatus(conn_) == PQTRANS_IDLE) {
        schemaChangedInTransaction_ = false;
        clearStatementCache(true);
        std::lock_guard<std::mutex> lock(mutex_);
        names.insert(names.end(), deallocate_.begin(), deallocate_.end());
        deallocate_.clear();
    }
    if (names.empty()) return true;
    // A failed transaction refuses every command but its end: the names
    // wait for the ROLLBACK, which must not fail because of them.
    if (libpq().PQtransactionStatus(conn_) == PQTRANS_INERROR) {
        std::lock_guard<std::mutex> lock(mutex_);
        deallocate_.insert(deallocate_.end(), names.begin(), names.end());
        return true;
    }
    std::string sql;
    for (const std::string& name : names) sql += "DEALLOCATE " + name + ";";
    return runSimple(sql.c_str(), err);
}

void PgSession::startStreaming(PgCursor* cursor) {
    std::lock_guard<std::mutex> lock(mutex_);
    streaming_ = cursor;
}

void PgSession::stopStreaming(PgCursor* cursor) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (streaming_ == cursor) streaming_ = nullptr;
}

void PgSession::forget(PgCursor* cursor, std::shared_ptr<PgPrepared>& statement) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (streaming_ == cursor) {
        streaming_ = nullptr;
        discardPending_ = true;
    }
    release(statement);
}

// Every copy of a PgPrepared pointer is made and dropped under mutex_, so
// the count tells whether this is the last holder.
void PgSession::release(std::shared_ptr<PgPrepared>& statement) {
    if (statement && statement.use_count() == 1 && !statement->gone) deallocate_.push_back(statement->name);
    statement.reset();
}

std::shared_ptr<PgPrepared> PgSession::cachedStatement(const std::string& sql) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = cacheIndex_.find(sql);
    if (found == cacheIndex_.end()) return nullptr;
    cacheOrder_.splice(cacheOrder_.begin(), cacheOrder_, found->second);
    return found->second->second;
}

void PgSession::cacheStatement(const std::string& sql, const std::shared_ptr<PgPrepared>& statement) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cacheIndex_.count(sql)) return;
    cacheOrder_.emplace_front(sql, statement);
    cacheIndex_[sql] = cacheOrder_.begin();
    if (cacheOrder_.size() <= kCachedStatements) return;
    cacheIndex_.erase(cacheOrder_.back().first);
    release(cacheOrder_.back().second);
    cacheOrder_.pop_back();
}

void PgSession::uncacheStatement(const std::string& sql) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = cacheIndex_.find(sql);
    if (found == cacheIndex_.end()) return;
    release(found->second->second);
    cacheOrder_.erase(found->second);
    cacheIndex_.erase(found);
}

void PgSession::schemaChanged() {
    clearStatementCache(true);
    schemaChangedInTransaction_ = libpq().PQtransactionStatus(conn_) != PQTRANS_IDLE;
}

void PgSession::clearStatementCache(bool deallocate) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : cacheOrder_) {
        entry.second->gone = entry.second->gone || !deallocate;
        release(entry.second);
    }
    cacheOrder_.clear();
    cacheIndex_.clear();
}

// Runs a text of one or more statements without parameters.
bool PgSession::runSimple(const char* sql, BackendError& err) {
    if (!libpq().PQsendQuery(conn_, sql)) {
        err = lostConnection();
        return false;
    }
    BackendError failure;
    while (PGresult* result = nextResult(err)) {
        ExecStatusType status = libpq().PQresultStatus(result);
        if (failure.message.empty() && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK &&
            status != PGRES_EMPTY_QUERY)
            failure = errorOf(result);
        libpq().PQclear(result);
    }
    if (!err.message.empty()) return false;
    if (failure.message.empty()) return true;
    err = failure;
    return false;
}

bool PgSession::execute(const char* sql, BackendError& err) {
    if (!ready(err) || !runSimple(sql, err)) return false;
    if (!isolationUnsettled_ || inTransaction()) return true;
    // A rollback undoes the level set inside the transaction.
    isolationUnsettled_ = false;
    return runSimple(isolationSql(isolation_).c_str(), err);
}

// A broken session may have left a transaction open on the server: ending
// it must fail rather than report a commit that did not happen.
bool PgSession::inTransaction() const {
    if (broken_) return true;
    auto* self = const_cast<PgSession*>(this);
    if (libpq().PQtransactionStatus(conn_) == PQTRANS_ACTIVE) {
        BackendError ignored;
        self->ready(ignored);
    }
    PGTransactionStatusType status = libpq().PQtransactionStatus(conn_);
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
}

// Inside a transaction a batch is a savepoint; outside, a transaction of
// its own (the server has no savepoints outside transactions).
bool PgSession::beginAtomic(BackendError& err) {
    atomicTransaction_ = !inTransaction();
    return execute(atomicTransaction_ ? "BEGIN" : "SAVEPOINT zkv_batch", err);
}

bool PgSession::endAtomic(bool commit, BackendError& err) {
    if (atomicTransaction_) return execute(commit ? "COMMIT" : "ROLLBACK", err);
    if (commit) return execute("RELEASE zkv_batch", err);
    BackendError ignored;
    execute("ROLLBACK TO zkv_batch", ignored);
    return execute("RELEASE zkv_batch", err);
}

void PgSession::setClientInfo(const std::string& key, const std::string& value) {
    if (key != "APPLICATION") return;
    BackendError ignored;
    execute(("SET application_name = " + quoteLiteral(value)).c_str(), ignored);
}

namespace {

const char* kTablesQuery =
    "SELECT c.oid, c.relname, n.nspname, a.attnum, a.attname FROM pg_catalog.pg_class c "
    "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped "
    "WHERE c.oid = ANY($1::oid[])";

}  // namespace

bool PgSession::loadTables(const std::vector<Oid>& oids, BackendError& err) {
    std::string list = "{";
    for (Oid oid : oids) list += (list.size() > 1 ? "," : "") + std::to_string(oid);
    list += "}";
    const char* values[] = {list.c_str()};
    if (!libpq().PQsendQueryParams(conn_, kTablesQuery, 1, nullptr, values, nullptr, nullptr, 0)) {
        err = lostConnection();
        return false;
    }
    PGresult* result = nextResult(err);
    discardResults();
    if (!result) return false;
    bool ok = libpq().PQresultStatus(result) == PGRES_TUPLES_OK;
    if (!ok) err = errorOf(result);
    // Tables the catalog no longer has stay cached without names.
    for (Oid oid : oids) tables_[oid];
    for (int row = 0; ok && row < libpq().PQntuples(result); ++row) {
        Table& table = tables_[static_cast<Oid>(std::strtoul(libpq().PQgetvalue(result, row, 0), nullptr, 10))];
        table.name = libpq().PQgetvalue(result, row, 1);
        table.schema = libpq().PQgetvalue(result, row, 2);
        if (!libpq().PQgetisnull(result, row, 3))
            table.columns[std::atoi(libpq().PQgetvalue(result, row, 3))] = libpq().PQgetvalue(result, row, 4);
    }
    libpq().PQclear(result);
    return ok;
}

bool PgSession::nameTableColumns(std::vector<PgColumn>& columns, BackendError& err) {
    std::vector<Oid> missing;
    for (const PgColumn& column : columns)
        if (column.table != InvalidOid && !tables_.count(column.table) &&
            std::find(missing.begin(), missing.end(), column.table) == missing.end())
            missing.push_back(column.table);
    if (!missing.empty() && !loadTables(missing, err)) return false;
    for (PgColumn& column : columns) {
        auto table = tables_.find(column.table);
        if (column.table == InvalidOid || table == tables_.end() || table->second.name.empty()) continue;
        column.tableName = table->second.name;
        column.schemaName = table->second.schema;
        auto name = table->second.columns.find(column.tableColumn);
        if (name != table->second.columns.end()) column.tableColumnName = name->second;
    }
    return true;
}

std::unique_ptr<BackendCursor> PgSession::prepare(const char* sql, size_t length, size_t& consumed,
                                                  BackendError& err) {
    std::string schema;
    size_t setLength = parseSetSchema(sql, length, schema);
    PgStatementText text = splitPgStatement(sql, length);
    consumed = setLength ? setLength : text.consumed;
    if (text.blank) return nullptr;
    // Refused before anything reaches the server, so that an open
    // transaction is not failed by it.
    if (text.copiesThroughClient && !setLength) {
        err = copyRefusedError();
        return nullptr;
    }
    // The server parses more markers than its protocol can bind.
    if (text.paramNames.size() > kMaxParams) {
        err = makeError(kOutOfRange, "54023", "A statement takes at most " + std::to_string(kMaxParams) +
                                                  " parameters; this one has " + std::to_string(text.paramNames.size()));
        return nullptr;
    }
    PgCursor::Mode mode = setLength ? PgCursor::Mode::SetSchema
                                    : text.isCall ? PgCursor::Mode::Call : PgCursor::Mode::Plain;
    if (setLength) text.sql = std::string(sql, setLength);
    auto cursor = std::make_unique<PgCursor>(shared_from_this(), std::move(text), mode);
    if (!ready(err) || !cursor->prepareOnServer(schema, err)) return nullptr;
    return cursor;
}

}  // namespace zkv
