// Cancel and time-out of a query that never sleeps, the error record and a
// busy database (several results, abort and the SQLSTATE of each failure
// are covered through the driver in the JavaScript tests).
#include <atomic>
#include <chrono>
#include <thread>

#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;

TEST(DbcapiResults, CancelInterruptsLongQuery) {
    Connection c;
    dbcapi_stmt* stmt = dbcapi_prepare(
        c.get(), "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) FROM n");
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            dbcapi_cancel(c.get());
        }
    });
    EXPECT_FALSE(dbcapi_execute(stmt));
    done = true;
    canceller.join();
    EXPECT_EQ(lastError(c.get()).sqlstate, "HY008");
    dbcapi_free_stmt(stmt);
}

TEST(DbcapiResults, QueryTimeout) {
    Connection c;
    dbcapi_stmt* stmt = dbcapi_prepare(
        c.get(), "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT count(*) FROM n");
    ASSERT_TRUE(dbcapi_set_query_timeout(stmt, 1));
    EXPECT_FALSE(dbcapi_set_query_timeout(stmt, -1));
    EXPECT_FALSE(dbcapi_execute(stmt));
    dbtest::LastError e = lastError(c.get());
    EXPECT_EQ(e.sqlstate, "HYT00");
    EXPECT_NE(e.message.find("timed out"), std::string::npos);
    dbcapi_free_stmt(stmt);
    dbcapi_stmt* sleeper = dbcapi_prepare(c.get(), "SELECT zkv_sleep(30000)");
    ASSERT_TRUE(dbcapi_set_query_timeout(sleeper, 1));
    EXPECT_FALSE(dbcapi_execute(sleeper));
    EXPECT_EQ(lastError(c.get()).sqlstate, "HYT00");
    dbcapi_free_stmt(sleeper);
}

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
