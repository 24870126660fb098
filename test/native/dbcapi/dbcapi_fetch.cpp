// Fetching rows where the driver cannot reach: values that do not fit,
// conversions the caller chose, column descriptions and forward-only reads
// (row sets and slices are covered through the driver in the JavaScript
// tests).
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

TEST(DbcapiFetch, ColumnInfoTypes) {
    Connection c;
    c.exec("CREATE TABLE ty(a INTEGER NOT NULL, b BIGINT, c SMALLINT, d TINYINT, e BOOLEAN, f DOUBLE, g REAL,"
           " h DECIMAL(10,2), i CHAR(3), j VARCHAR(20), k NVARCHAR(30), l TEXT, m CLOB, n NCLOB, o BINARY(16),"
           " p VARBINARY(8), q BLOB, r DATE, s TIME, t TIMESTAMP, u SECONDDATE, v LONGDATE, w VARCHAR)");
    c.exec("INSERT INTO ty (a) VALUES (1)");
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT *, 1 AS x1, 2.5 AS x2, 'z' AS x3, NULL AS x4 FROM ty");
    struct Expect {
        dbcapi_native_type native;
        dbcapi_data_type type;
        size_t maxSize;
    };
    const Expect expected[] = {
        {DBCAPI_NATIVE_INT, DBCAPI_VAL64, 8}, {DBCAPI_NATIVE_BIGINT, DBCAPI_VAL64, 8},
        {DBCAPI_NATIVE_SMALLINT, DBCAPI_VAL16, 2}, {DBCAPI_NATIVE_TINYINT, DBCAPI_UVAL8, 1},
        {DBCAPI_NATIVE_BOOLEAN, DBCAPI_UVAL8, 1}, {DBCAPI_NATIVE_DOUBLE, DBCAPI_DOUBLE, 8},
        {DBCAPI_NATIVE_REAL, DBCAPI_DOUBLE, 8}, {DBCAPI_NATIVE_DECIMAL, DBCAPI_STRING, 128},
        {DBCAPI_NATIVE_CHAR, DBCAPI_STRING, 3}, {DBCAPI_NATIVE_VARCHAR1, DBCAPI_STRING, 20},
        {DBCAPI_NATIVE_NVARCHAR, DBCAPI_STRING, 30}, {DBCAPI_NATIVE_TEXT, DBCAPI_STRING, 1000000000},
        {DBCAPI_NATIVE_CLOB, DBCAPI_STRING, 1000000000}, {DBCAPI_NATIVE_NCLOB, DBCAPI_STRING, 1000000000},
        {DBCAPI_NATIVE_BINARY, DBCAPI_BINARY, 16}, {DBCAPI_NATIVE_VARBINARY, DBCAPI_BINARY, 8},
        {DBCAPI_NATIVE_BLOB, DBCAPI_BINARY, 1000000000}, {DBCAPI_NATIVE_DATE, DBCAPI_STRING, 10},
        {DBCAPI_NATIVE_TIME, DBCAPI_STRING, 8}, {DBCAPI_NATIVE_TIMESTAMP, DBCAPI_STRING, 32},
        {DBCAPI_NATIVE_SECONDDATE, DBCAPI_STRING, 32}, {DBCAPI_NATIVE_LONGDATE, DBCAPI_STRING, 32},
        {DBCAPI_NATIVE_TEXT, DBCAPI_STRING, 1000000000}, {DBCAPI_NATIVE_BIGINT, DBCAPI_VAL64, 8},
        {DBCAPI_NATIVE_DOUBLE, DBCAPI_DOUBLE, 8}, {DBCAPI_NATIVE_NCLOB, DBCAPI_STRING, 1000000000},
        {DBCAPI_NATIVE_NCLOB, DBCAPI_STRING, 1000000000},
    };
    ASSERT_EQ(dbcapi_num_cols(stmt), 27);
    for (uint32_t i = 0; i < 27; ++i) {
        dbcapi_column_info info{};
        ASSERT_TRUE(dbcapi_get_column_info(stmt, i, &info));
        EXPECT_EQ(info.native_type, expected[i].native) << info.name;
        EXPECT_EQ(info.type, expected[i].type) << info.name;
        EXPECT_EQ(info.max_size, expected[i].maxSize) << info.name;
    }
    dbcapi_column_info info{};
    ASSERT_TRUE(dbcapi_get_column_info(stmt, 0, &info));
    EXPECT_FALSE(info.nullable);
    EXPECT_STREQ(info.table_name, "ty");
    EXPECT_STREQ(info.owner_name, "main");
    ASSERT_TRUE(dbcapi_get_column_info(stmt, 7, &info));
    EXPECT_EQ(info.precision, 10);
    EXPECT_EQ(info.scale, 2);
    EXPECT_EQ(dbcapi_get_function_code(stmt), 5);
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

