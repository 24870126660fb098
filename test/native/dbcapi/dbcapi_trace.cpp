// Trace buffering, warnings, print lines, statistics, hash and packet size.
#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;

namespace {

struct Warning {
    dbcapi_stmt* stmt;
    std::string message;
    int32_t code;
    std::string sqlstate;
};

void collectWarning(dbcapi_stmt* stmt, const char* message, int32_t code, const char* sqlstate, void* context) {
    static_cast<std::vector<Warning>*>(context)->push_back({stmt, message, code, sqlstate});
}

std::string readAllTrace(dbcapi_connection* conn, size_t chunk) {
    std::string all;
    std::vector<char> buffer(chunk);
    size_t n;
    while ((n = dbcapi_read_buffered_trace(conn, buffer.data(), chunk, 0)) > 0) {
        EXPECT_LE(n, chunk);
        all.append(buffer.data(), n);
    }
    return all;
}

}  // namespace

TEST(DbcapiTrace, BufferedTraceHoldsEachStatementAndDuration) {
    Connection c;
    EXPECT_EQ(readAllTrace(c.get(), 16), "");
    ASSERT_TRUE(dbcapi_enable_trace_buffering(c.get(), "SQL=INFO"));
    c.exec("CREATE TABLE t(a)");
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT 1 FROM DUMMY");
    dbcapi_free_stmt(stmt);
    std::string trace = readAllTrace(c.get(), 7);  // small chunks join up again
    EXPECT_EQ(trace.find("CREATE TABLE t(a) -- "), 0u) << trace;
    size_t second = trace.find("\nSELECT 1 FROM DUMMY -- ");
    ASSERT_NE(second, std::string::npos) << trace;
    EXPECT_EQ(trace.substr(trace.size() - 4), " us\n");
    EXPECT_EQ(readAllTrace(c.get(), 16), "");  // consumed
    ASSERT_TRUE(dbcapi_enable_trace_buffering(c.get(), nullptr));
    c.exec("SELECT 2");
    EXPECT_EQ(readAllTrace(c.get(), 16), "");
}

TEST(DbcapiTrace, WarningsRaisedFromSqlReachTheCallback) {
    Connection c;
    std::vector<Warning> warnings;
    ASSERT_TRUE(dbcapi_register_warning_callback(c.get(), collectWarning, &warnings));
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT zkv_warning(1234, 'disk almost full')");
    ASSERT_NE(stmt, nullptr);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].stmt, stmt);
    EXPECT_EQ(warnings[0].message, "disk almost full");
    EXPECT_EQ(warnings[0].code, 1234);
    EXPECT_EQ(warnings[0].sqlstate, "01000");
    EXPECT_EQ(dbcapi_error_length(c.get()), 0u);  // a warning is no error
    dbcapi_free_stmt(stmt);
    ASSERT_TRUE(dbcapi_register_warning_callback(c.get(), nullptr, nullptr));
    c.exec("SELECT zkv_warning(1, 'unheard')");
    EXPECT_EQ(warnings.size(), 1u);
}

TEST(DbcapiTrace, PrintLines) {
    Connection c;
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT zkv_print('first line'), zkv_print('second')");
    ASSERT_NE(stmt, nullptr);
    char small[4];
    size_t length = 0;
    EXPECT_EQ(dbcapi_get_print_line(stmt, 4, small, &length, sizeof small, 1), DBCAPI_PRINT_LINE_TRUNCATED);
    EXPECT_EQ(length, 11u);
    char buffer[64];
    ASSERT_EQ(dbcapi_get_print_line(stmt, 4, buffer, &length, sizeof buffer, 1), DBCAPI_PRINT_LINE_OK);
    EXPECT_EQ(length, 10u);
    EXPECT_STREQ(buffer, "first line");
    ASSERT_EQ(dbcapi_get_print_line(stmt, 4, buffer, &length, sizeof buffer, 1), DBCAPI_PRINT_LINE_OK);
    EXPECT_STREQ(buffer, "second");
    EXPECT_EQ(dbcapi_get_print_line(stmt, 4, buffer, &length, sizeof buffer, 1), DBCAPI_PRINT_LINE_NONE);
    dbcapi_free_stmt(stmt);
}

// Memory is measured when asked for, from the statement that produced the
// result; a reset that drops a later statement of the text measures it first.
TEST(DbcapiTrace, MemoryOfALaterResultOutlivesItsStatement) {
    Connection c;
    dbcapi_stmt* stmt = dbcapi_prepare(c.get(), "SELECT 1; SELECT 2");
    ASSERT_TRUE(dbcapi_execute(stmt));
    while (dbcapi_fetch_next(stmt)) {
    }
    ASSERT_TRUE(dbcapi_get_next_result(stmt));
    while (dbcapi_fetch_next(stmt)) {
    }
    int64_t secondResult = dbcapi_get_resultset_server_memory_usage(stmt);
    EXPECT_GT(secondResult, 0);
    ASSERT_TRUE(dbcapi_reset(stmt));
    EXPECT_EQ(dbcapi_get_resultset_server_memory_usage(stmt), secondResult);
    dbcapi_free_stmt(stmt);
}

TEST(DbcapiTrace, StatisticsHashAndPacketSize) {
    Connection c;
    dbcapi_stmt* stmt = dbcapi_prepare(
        c.get(), "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n LIMIT 200000) SELECT i FROM n");
    ASSERT_TRUE(dbcapi_execute(stmt));
    int64_t values[100];
    size_t lengths[100];
    dbcapi_bool nulls[100];
    dbcapi_data_value bound{reinterpret_cast<char*>(values), 8, lengths, DBCAPI_VAL64, nulls, 0};
    ASSERT_TRUE(dbcapi_set_rowset_size(stmt, 100));
    ASSERT_TRUE(dbcapi_bind_column(stmt, 0, &bound));
    while (dbcapi_fetch_next(stmt)) {
    }
    EXPECT_GT(dbcapi_get_resultset_server_processing_time(stmt), 0);
    EXPECT_GT(dbcapi_get_resultset_server_cpu_time(stmt), 0);
    EXPECT_GT(dbcapi_get_stmt_server_memory_usage(stmt), 0);
    EXPECT_GE(dbcapi_get_stmt_server_processing_time(stmt), 0);
    char hash[33];
    ASSERT_EQ(dbcapi_get_stmt_statement_hash(stmt, hash, sizeof hash), 0);
    EXPECT_EQ(std::strlen(hash), 32u);
    EXPECT_EQ(std::string(hash).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(dbcapi_get_stmt_statement_hash(stmt, hash, 10), 0);
    dbcapi_stmt* other = dbcapi_prepare(c.get(), "SELECT 2");
    char otherHash[33];
    ASSERT_EQ(dbcapi_get_stmt_statement_hash(other, otherHash, sizeof otherHash), 0);
    EXPECT_STRNE(hash, otherHash);
    EXPECT_EQ(dbcapi_get_stmt_packet_size(stmt), 131072);
    ASSERT_TRUE(dbcapi_set_stmt_packet_size(stmt, 65536));
    EXPECT_EQ(dbcapi_get_stmt_packet_size(stmt), 65536);
    EXPECT_FALSE(dbcapi_set_stmt_packet_size(stmt, -1));
    dbcapi_free_stmt(other);
    dbcapi_free_stmt(stmt);
}
