// The error record and a busy database (several results, abort, time-outs
// and the SQLSTATE of each failure are covered through the driver in the
// JavaScript tests).
#include <chrono>

#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;

TEST(DbcapiResults, SuccessAndClearErrorEmptyTheErrorRecord) {
    Connection c;
    EXPECT_FALSE(dbcapi_execute_immediate(c.get(), "SELEC 1"));
    dbtest::LastError err = lastError(c.get());
    EXPECT_EQ(err.code, 1);  // SQLite's SQLITE_ERROR
    EXPECT_EQ(dbcapi_error_length(c.get()), err.message.size() + 1);
    EXPECT_EQ(dbtest::scalar(c.get(), "SELECT 1"), 1);
    EXPECT_EQ(dbcapi_error_length(c.get()), 0u);
    EXPECT_FALSE(dbcapi_execute_immediate(c.get(), "SELEC 1"));
    dbcapi_clear_error(c.get());
    EXPECT_EQ(dbcapi_error(c.get(), nullptr, 0), 0);
    char state[6];
    dbcapi_sqlstate(c.get(), state, sizeof state);
    EXPECT_STREQ(state, "00000");
}

TEST(DbcapiResults, BusyDatabaseReports40001) {
    std::string path = dbtest::tempDbPath("busy");
    Connection writer("databaseName=" + path), other("databaseName=" + path);
    writer.exec("CREATE TABLE t(a)");
    writer.exec("BEGIN IMMEDIATE");
    writer.exec("INSERT INTO t VALUES (1)");
    dbcapi_stmt* stmt = dbcapi_prepare(other.get(), "INSERT INTO t VALUES (2)");
    ASSERT_TRUE(dbcapi_set_query_timeout(stmt, 0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(dbcapi_execute(stmt));  // waits out the 5 s busy time-out
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(lastError(other.get()).sqlstate, "40001");
    dbcapi_free_stmt(stmt);
    writer.exec("COMMIT");
}
