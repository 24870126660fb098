// Statistics, hash and packet size (trace text, warnings and print lines
// are covered through the driver in the JavaScript tests).
#include "dbcapi_test_util.h"

using dbtest::Connection;

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
