// Error entry points. Calls without a connection (a refused
// dbcapi_make_connection, say) report through a per-thread error state
// that dbcapi_error and friends read when passed a null connection.
#include <cstring>

#include "handles.h"

namespace zkv {

BackendError makeError(int32_t code, const char* sqlstate, std::string message) {
    BackendError err;
    err.code = code;
    err.sqlstate = sqlstate;
    err.message = std::move(message);
    return err;
}

ErrorState& connectionlessError() {
    static thread_local ErrorState state;
    return state;
}

namespace {

ErrorState& stateOf(dbcapi_connection* conn) { return conn ? conn->error : connectionlessError(); }

void copyText(const std::string& text, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace
}  // namespace zkv

DBCAPI_EXPORT int32_t dbcapi_error(dbcapi_connection* conn, char* buffer, size_t size) {
    const zkv::ErrorState& state = zkv::stateOf(conn);
    zkv::copyText(state.message(), buffer, size);
    return state.code();
}

DBCAPI_EXPORT size_t dbcapi_sqlstate(dbcapi_connection* conn, char* buffer, size_t size) {
    const zkv::ErrorState& state = zkv::stateOf(conn);
    const std::string sqlstate = state.sqlstate().empty() ? "00000" : state.sqlstate();
    zkv::copyText(sqlstate, buffer, size);
    return buffer && size ? (sqlstate.size() < size ? sqlstate.size() + 1 : size) : sqlstate.size() + 1;
}

DBCAPI_EXPORT size_t dbcapi_error_length(dbcapi_connection* conn) {
    const zkv::ErrorState& state = zkv::stateOf(conn);
    return state.message().empty() ? 0 : state.message().size() + 1;
}

DBCAPI_EXPORT void dbcapi_clear_error(dbcapi_connection* conn) { zkv::stateOf(conn).clear(); }
