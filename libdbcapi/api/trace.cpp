// Trace buffering, warnings, print lines, statement statistics and hash.
#include <chrono>
#include <cstring>

#include "handles.h"

namespace zkv {
namespace {

// Unread trace text beyond this is dropped from the front, oldest first.
constexpr size_t kMaxTraceBytes = 8 * 1024 * 1024;

// FNV-1a over 128 bits.
unsigned __int128 hash128(const std::string& text) {
    const unsigned __int128 prime = (static_cast<unsigned __int128>(1) << 88) + 0x13B;
    unsigned __int128 hash = (static_cast<unsigned __int128>(0x6c62272e07bb0142ULL) << 64) | 0x62b821756295c58dULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= prime;
    }
    return hash;
}

}  // namespace

int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void traceStatement(dbcapi_connection* conn, const std::string& sql, int64_t micros) {
    std::string& trace = conn->trace;
    trace.append(sql).append(" -- ").append(std::to_string(micros)).append(" us\n");
    if (trace.size() > kMaxTraceBytes) {
        size_t cut = trace.find('\n', trace.size() - kMaxTraceBytes);
        trace.erase(0, cut == std::string::npos ? trace.size() : cut + 1);
    }
}

}  // namespace zkv

DBCAPI_EXPORT dbcapi_bool dbcapi_enable_trace_buffering(dbcapi_connection* conn, const char* options) {
    if (!conn) return 0;
    conn->error.clear();
    conn->traceOn = options != nullptr;
    if (!conn->traceOn) conn->trace.clear();
    return 1;
}

DBCAPI_EXPORT size_t dbcapi_read_buffered_trace(dbcapi_connection* conn, char* buffer, size_t size, uint32_t flags) {
    if (!conn || !buffer || size == 0) return 0;
    size_t n = conn->trace.size() < size ? conn->trace.size() : size;
    // A chunk ends before a character it would split, so each chunk decodes
    // alone; a buffer too small for one character still gets its bytes.
    size_t whole = n;
    while (whole > 0 && whole < conn->trace.size() && (static_cast<unsigned char>(conn->trace[whole]) & 0xC0) == 0x80)
        --whole;
    if (whole > 0) n = whole;
    std::memcpy(buffer, conn->trace.data(), n);
    conn->trace.erase(0, n);
    return n;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_register_warning_callback(dbcapi_connection* conn, dbcapi_warning_callback callback,
                                                           void* context) {
    if (!conn) return 0;
    conn->error.clear();
    conn->warningCallback = callback;
    conn->warningContext = callback ? context : nullptr;
    return 1;
}

DBCAPI_EXPORT int32_t dbcapi_get_print_line(dbcapi_stmt* stmt, uint32_t host_type, void* buffer, size_t* length,
                                            size_t buffer_size, dbcapi_bool terminate) {
    if (!stmt || stmt->printLines.empty()) return DBCAPI_PRINT_LINE_NONE;
    const std::string& line = stmt->printLines.front();
    size_t needed = line.size() + (terminate ? 1 : 0);
    if (!buffer || needed > buffer_size) {
        if (length) *length = needed;
        return DBCAPI_PRINT_LINE_TRUNCATED;
    }
    std::memcpy(buffer, line.data(), line.size());
    if (terminate) static_cast<char*>(buffer)[line.size()] = '\0';
    if (length) *length = line.size();
    stmt->printLines.pop_front();
    return DBCAPI_PRINT_LINE_OK;
}

DBCAPI_EXPORT int64_t dbcapi_get_stmt_server_cpu_time(dbcapi_stmt* stmt) { return stmt ? stmt->execStats.cpuMicros : 0; }

DBCAPI_EXPORT int64_t dbcapi_get_stmt_server_memory_usage(dbcapi_stmt* stmt) {
    return stmt ? stmt->execStats.memory() : 0;
}

DBCAPI_EXPORT int64_t dbcapi_get_stmt_server_processing_time(dbcapi_stmt* stmt) {
    return stmt ? stmt->execStats.wallMicros : 0;
}

DBCAPI_EXPORT int64_t dbcapi_get_resultset_server_cpu_time(dbcapi_stmt* stmt) {
    return stmt ? stmt->fetchStats.cpuMicros : 0;
}

DBCAPI_EXPORT int64_t dbcapi_get_resultset_server_memory_usage(dbcapi_stmt* stmt) {
    return stmt ? stmt->fetchStats.memory() : 0;
}

DBCAPI_EXPORT int64_t dbcapi_get_resultset_server_processing_time(dbcapi_stmt* stmt) {
    return stmt ? stmt->fetchStats.wallMicros : 0;
}

DBCAPI_EXPORT int32_t dbcapi_get_stmt_statement_hash(dbcapi_stmt* stmt, char* buffer, size_t size) {
    if (!stmt || !buffer || size < 33) return -1;
    unsigned __int128 hash = zkv::hash128(stmt->sql);
    static const char digits[] = "0123456789abcdef";
    for (int i = 31; i >= 0; --i) {
        buffer[i] = digits[static_cast<unsigned>(hash & 0xF)];
        hash >>= 4;
    }
    buffer[32] = '\0';
    return 0;
}

DBCAPI_EXPORT dbcapi_bool dbcapi_set_stmt_packet_size(dbcapi_stmt* stmt, int32_t size) {
    if (!stmt) return 0;
    stmt->conn->error.clear();
    if (size < 0) {
        stmt->conn->error.set(zkv::kInvalidArgument, "HY024", "Invalid packet size " + std::to_string(size));
        return 0;
    }
    stmt->packetSize = size;
    return 1;
}

DBCAPI_EXPORT int32_t dbcapi_get_stmt_packet_size(dbcapi_stmt* stmt) { return stmt ? stmt->packetSize : 0; }
