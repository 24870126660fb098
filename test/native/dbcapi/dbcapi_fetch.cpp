// Fetching rows where the driver cannot reach: values that do not fit,
// conversions the caller chose and forward-only reads (row sets, slices
// and column descriptions are covered through the driver in the
// JavaScript tests).
#include <unistd.h>

#include <cstdio>

#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;

TEST(DbcapiFetch, ValueLongerThanItsSlotIsKeptAsideWithoutOverrun) {
    Connection c;
    c.exec("CREATE TABLE s(v VARCHAR(4))");
    c.exec("INSERT INTO s VALUES ('abcd'), ('abcdefgh')");
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT v FROM s");
    char buffer[2 * 5 + 1];
    std::memset(buffer, '#', sizeof buffer);
    size_t lengths[2];
    dbcapi_bool nulls[2];
    dbcapi_data_value v{buffer, 5, lengths, DBCAPI_STRING, nulls, 0};
    ASSERT_TRUE(dbcapi_set_rowset_size(stmt, 2));
    ASSERT_TRUE(dbcapi_bind_column(stmt, 0, &v));
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(dbcapi_fetched_rows(stmt), 2);
    EXPECT_EQ(nulls[0], 0);
    EXPECT_EQ(nulls[1], DBCAPI_VALUE_ASIDE);
    EXPECT_EQ(lengths[1], 8u);
    EXPECT_EQ(buffer[10], '#');
    ASSERT_TRUE(dbcapi_set_rowset_pos(stmt, 1));
    EXPECT_EQ(dbtest::textOf(stmt, 0), "abcdefgh");
    dbcapi_free_stmt(stmt);

    // Without a null indicator there is nowhere to mark the slot.
    stmt = dbcapi_execute_direct(c.get(), "SELECT v FROM s");
    dbcapi_data_value unmarked{buffer, 5, lengths, DBCAPI_STRING, nullptr, 0};
    ASSERT_TRUE(dbcapi_set_rowset_size(stmt, 2));
    ASSERT_TRUE(dbcapi_bind_column(stmt, 0, &unmarked));
    EXPECT_FALSE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(lastError(c.get()).sqlstate, "22001");
    dbcapi_free_stmt(stmt);
}

// Values the column's type cannot carry come in their own (the module's
// tests cover every storage class); a type the caller chose is a
// conversion it asked for, and can fail.
TEST(DbcapiFetch, ConversionsTheCallerChoseCanFail) {
    Connection c;
    c.exec("CREATE TABLE n(s SMALLINT)");
    c.exec("INSERT INTO n VALUES (40000)");
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT s FROM n");
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(dbtest::int64Of(stmt, 0), 40000);
    dbcapi_free_stmt(stmt);
    stmt = dbcapi_execute_direct(c.get(), "SELECT s FROM n");
    int8_t small = 0;
    dbcapi_bool isNull = 0;
    dbcapi_data_value asByte{reinterpret_cast<char*>(&small), 1, nullptr, DBCAPI_VAL8, &isNull, 0};
    ASSERT_TRUE(dbcapi_bind_column(stmt, 0, &asByte));
    EXPECT_FALSE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(lastError(c.get()).sqlstate, "22003");
    dbcapi_free_stmt(stmt);
}

TEST(DbcapiFetch, ForwardOnlyAndRowCounts) {
    Connection c;
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "VALUES (1), (2), (3)");
    EXPECT_EQ(dbcapi_num_rows(stmt), 0);
    EXPECT_FALSE(dbcapi_fetch_absolute(stmt, 1));
    EXPECT_NE(lastError(c.get()).message.find("forward-only"), std::string::npos);
    while (dbcapi_fetch_next(stmt)) {
    }
    EXPECT_EQ(dbcapi_num_rows(stmt), 3);
    EXPECT_FALSE(dbcapi_fetch_next(stmt));  // stays at the end
    dbtest::LastError e = lastError(c.get());
    EXPECT_EQ(e.code, 100);
    EXPECT_EQ(e.sqlstate, "02000");
    dbcapi_free_stmt(stmt);
}


// Another connection's schema change makes SQLite prepare a cached
// statement again; the reused text must describe the new column type.
TEST(DbcapiFetch, CachedTextSeesAnotherConnectionsSchemaChange) {
    std::string path = "/tmp/zelk-fetch-schema-" + std::to_string(getpid()) + ".db";
    std::remove(path.c_str());
    Connection a("databaseName=" + path);
    Connection b("databaseName=" + path);
    ASSERT_TRUE(a.ok() && b.ok()) << lastError(a.get()).message;
    a.exec("CREATE TABLE t(x INTEGER)");
    a.exec("INSERT INTO t VALUES (1)");
    const char* sql = "SELECT x FROM t";
    dbcapi_column_info info;
    dbcapi_stmt* before = dbcapi_execute_direct(a.get(), sql);
    ASSERT_TRUE(before && dbcapi_fetch_next(before) && dbcapi_get_column_info(before, 0, &info));
    EXPECT_EQ(info.native_type, DBCAPI_NATIVE_INT);
    dbcapi_free_stmt(before);
    b.exec("DROP TABLE t");
    b.exec("CREATE TABLE t(x VARCHAR(10))");
    b.exec("INSERT INTO t VALUES ('1')");
    dbcapi_stmt* after = dbcapi_execute_direct(a.get(), sql);
    ASSERT_NE(after, nullptr) << lastError(a.get()).message;
    ASSERT_TRUE(dbcapi_fetch_next(after) && dbcapi_get_column_info(after, 0, &info));
    EXPECT_EQ(info.type, DBCAPI_STRING);
    dbcapi_free_stmt(after);
    std::remove(path.c_str());
}

// Memory is measured when asked for; a reset that drops a later statement
// of the text measures it first (a read after free otherwise).
TEST(DbcapiFetch, MemoryOfALaterResultOutlivesItsStatement) {
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
