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

TEST(DbcapiStatementCache, ReusedTextDescribesTheCurrentSchema) {
    Connection c;
    c.exec("CREATE TABLE t(a INTEGER)");
    const char* sql = "SELECT * FROM t";
    dbcapi_stmt* before = dbcapi_prepare(c.get(), sql);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(dbcapi_num_cols(before), 1);
    c.exec("ALTER TABLE t ADD COLUMN b TEXT");
    dbcapi_free_stmt(before);  // never ran since the change
    dbcapi_stmt* after = dbcapi_prepare(c.get(), sql);
    ASSERT_NE(after, nullptr) << lastError(c.get()).message;
    EXPECT_EQ(dbcapi_num_cols(after), 2);
    ASSERT_TRUE(dbcapi_execute(after));
    EXPECT_EQ(dbcapi_num_cols(after), 2);
    dbcapi_free_stmt(after);
    c.exec("DROP TABLE t");
    EXPECT_EQ(dbcapi_prepare(c.get(), sql), nullptr);
    dbtest::LastError e = lastError(c.get());
    EXPECT_NE(e.message.find("no such table"), std::string::npos) << e.message;
    EXPECT_EQ(e.sqlstate, "42S02");
}

// Another connection's schema change makes SQLite prepare a cached
// statement again; the reused text must describe the new column types.
TEST(DbcapiStatementCache, ReusedTextSeesAnotherConnectionsSchemaChange) {
    std::string path = dbtest::tempDbPath("stmtcache_types");
    Connection a("databaseName=" + path);
    Connection b("databaseName=" + path);
    ASSERT_TRUE(a.ok() && b.ok()) << lastError(a.get()).message;
    a.exec("CREATE TABLE t(x INTEGER)");
    a.exec("INSERT INTO t VALUES (1)");
    const char* sql = "SELECT x FROM t";
    dbcapi_column_info info;
    dbcapi_stmt* before = runAndRead(a.get(), sql, 1);
    ASSERT_TRUE(before && dbcapi_get_column_info(before, 0, &info));
    EXPECT_EQ(info.native_type, DBCAPI_NATIVE_INT);
    dbcapi_free_stmt(before);
    b.exec("DROP TABLE t");
    b.exec("CREATE TABLE t(x VARCHAR(10))");
    b.exec("INSERT INTO t VALUES ('1')");
    dbcapi_stmt* after = dbcapi_execute_direct(a.get(), sql);
    ASSERT_NE(after, nullptr) << lastError(a.get()).message;
    ASSERT_TRUE(dbcapi_fetch_next(after) && dbcapi_get_column_info(after, 0, &info));
    EXPECT_EQ(info.type, DBCAPI_STRING);
    EXPECT_NE(info.native_type, DBCAPI_NATIVE_INT);
    dbcapi_free_stmt(after);
    std::remove(path.c_str());
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
