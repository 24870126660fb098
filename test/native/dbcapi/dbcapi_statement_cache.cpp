// Statements prepared again from the same text reuse idle SQLite statements;
// none of it may show except in speed.
#include <sys/stat.h>

#include "dbcapi_test_util.h"

namespace {

using dbtest::Connection;
using dbtest::lastError;

const char* const kOrdered = "SELECT id FROM t ORDER BY id";

void fillThreeRows(const Connection& c) {
    c.exec("CREATE TABLE t(id INTEGER)");
    c.exec("INSERT INTO t VALUES (1), (2), (3)");
}

dbcapi_stmt* runAndRead(dbcapi_connection* conn, const char* sql, int64_t expected) {
    dbcapi_stmt* stmt = dbcapi_execute_direct(conn, sql);
    EXPECT_NE(stmt, nullptr) << lastError(conn).message;
    if (!stmt) return nullptr;
    EXPECT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(dbtest::int64Of(stmt, 0), expected);
    return stmt;
}

class StatementCacheSizes : public ::testing::TestWithParam<const char*> {};

// A statement freed in the middle of its rows is reused from its first
// row, and a second live statement of the same text runs on its own.
TEST_P(StatementCacheSizes, ReusedStatementsStartOverAndNeverShare) {
    Connection c(GetParam());
    ASSERT_TRUE(c.ok()) << lastError(c.get()).message;
    fillThreeRows(c);
    for (int round = 0; round < 3; ++round) {
        dbcapi_free_stmt(runAndRead(c.get(), kOrdered, 1));
        dbcapi_free_stmt(runAndRead(c.get(), "SELECT count(*) FROM t", 3));
    }
    dbcapi_stmt* first = runAndRead(c.get(), kOrdered, 1);
    dbcapi_stmt* second = runAndRead(c.get(), kOrdered, 1);
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(dbcapi_fetch_next(first));
    EXPECT_EQ(dbtest::int64Of(first, 0), 2);
    ASSERT_TRUE(dbcapi_fetch_next(second));
    EXPECT_EQ(dbtest::int64Of(second, 0), 2);
    dbcapi_free_stmt(first);
    dbcapi_free_stmt(second);
}

INSTANTIATE_TEST_SUITE_P(DbcapiStatementCache, StatementCacheSizes,
                         ::testing::Values("", "STATEMENTCACHESIZE=0", "statementCacheSize=1"));

TEST(DbcapiStatementCache, SizeIsAKnownConnectProperty) {
    EXPECT_TRUE(dbcapi_is_connect_property("StatementCacheSize"));
}

TEST(DbcapiStatementCache, RolledBackTableIsGoneForAReusedText) {
    Connection c;
    ASSERT_TRUE(dbcapi_set_autocommit(c.get(), 0));
    c.exec("CREATE TABLE t(a INTEGER)");
    dbcapi_free_stmt(dbcapi_execute_direct(c.get(), "SELECT a FROM t"));
    ASSERT_TRUE(dbcapi_rollback(c.get()));
    EXPECT_EQ(dbcapi_prepare(c.get(), "SELECT a FROM t"), nullptr);
}

// SQLite removes the write-ahead log only when the last connection really
// closes, which it does not while a statement is left unfinalized.
TEST(DbcapiStatementCache, DisconnectClosesTheDatabase) {
    std::string path = dbtest::tempDbPath("stmtcache");
    {
        Connection c("databaseName=" + path);
        ASSERT_TRUE(c.ok()) << lastError(c.get()).message;
        fillThreeRows(c);
        dbcapi_free_stmt(runAndRead(c.get(), kOrdered, 1));
    }
    struct stat info;
    EXPECT_NE(stat((path + "-wal").c_str(), &info), 0);
    std::remove(path.c_str());
}

}  // namespace
