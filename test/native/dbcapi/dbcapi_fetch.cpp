// Fetching rows: bound columns with row sets, per-value reads, slices,
// column descriptions and values that do not fit.
#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;

namespace {

struct Row {
    bool idNull;
    int64_t id;
    bool nameNull;
    std::string name;
    double score;
};

void fillTable(const Connection& c, int rows) {
    c.exec("CREATE TABLE r(id BIGINT, name NVARCHAR(12), score DOUBLE)");
    c.exec("BEGIN");
    for (int i = 0; i < rows; ++i) {
        std::string sql = "INSERT INTO r VALUES (" + (i % 97 == 3 ? std::string("NULL") : std::to_string(i * 1000003LL)) +
                          ", " + (i % 13 == 0 ? std::string("NULL") : "'n\xC3\xA4me" + std::to_string(i) + "'") +
                          ", " + std::to_string(i) + ".5)";
        c.exec(sql.c_str());
    }
    c.exec("COMMIT");
}

std::vector<Row> fetchPerValue(dbcapi_connection* conn) {
    std::vector<Row> rows;
    dbcapi_stmt* stmt = dbcapi_execute_direct(conn, "SELECT id, name, score FROM r ORDER BY rowid");
    while (dbcapi_fetch_next(stmt)) {
        Row row{};
        dbcapi_data_value v{};
        EXPECT_TRUE(dbcapi_get_column(stmt, 0, &v));
        row.idNull = *v.is_null;
        if (!row.idNull) std::memcpy(&row.id, v.buffer, 8);
        EXPECT_TRUE(dbcapi_get_column(stmt, 1, &v));
        row.nameNull = *v.is_null;
        if (!row.nameNull) row.name.assign(v.buffer, *v.length);
        EXPECT_TRUE(dbcapi_get_column(stmt, 2, &v));
        std::memcpy(&row.score, v.buffer, 8);
        rows.push_back(row);
    }
    EXPECT_EQ(dbcapi_error(conn, nullptr, 0), 100);
    dbcapi_free_stmt(stmt);
    return rows;
}

struct BoundColumn {
    std::vector<char> data;
    std::vector<size_t> length;
    std::vector<dbcapi_bool> isNull;
    dbcapi_data_value value{};
    BoundColumn(dbcapi_data_type type, size_t slot, uint32_t rows)
        : data(slot * rows), length(rows), isNull(rows) {
        value.buffer = data.data();
        value.buffer_size = slot;
        value.length = length.data();
        value.is_null = isNull.data();
        value.type = type;
    }
};

std::vector<Row> fetchBound(dbcapi_connection* conn, uint32_t rowset) {
    std::vector<Row> rows;
    dbcapi_stmt* stmt = dbcapi_execute_direct(conn, "SELECT id, name, score FROM r ORDER BY rowid");
    dbcapi_column_info info{};
    EXPECT_TRUE(dbcapi_get_column_info(stmt, 1, &info));
    BoundColumn id(DBCAPI_VAL64, 8, rowset), name(DBCAPI_STRING, 4 * info.max_size + 1, rowset),
        score(DBCAPI_DOUBLE, 8, rowset);
    EXPECT_TRUE(dbcapi_set_rowset_size(stmt, rowset));
    EXPECT_TRUE(dbcapi_bind_column(stmt, 0, &id.value));
    EXPECT_TRUE(dbcapi_bind_column(stmt, 1, &name.value));
    EXPECT_TRUE(dbcapi_bind_column(stmt, 2, &score.value));
    while (dbcapi_fetch_next(stmt)) {
        int32_t n = dbcapi_fetched_rows(stmt);
        EXPECT_GT(n, 0);
        EXPECT_LE(n, static_cast<int32_t>(rowset));
        for (int32_t r = 0; r < n; ++r) {
            Row row{};
            row.idNull = id.isNull[r];
            if (!row.idNull) std::memcpy(&row.id, &id.data[r * 8], 8);
            row.nameNull = name.isNull[r];
            if (!row.nameNull) row.name.assign(&name.data[r * name.value.buffer_size], name.length[r]);
            std::memcpy(&row.score, &score.data[r * 8], 8);
            rows.push_back(row);
        }
    }
    EXPECT_EQ(dbcapi_error(conn, nullptr, 0), 100);
    dbcapi_free_stmt(stmt);
    return rows;
}

}  // namespace

TEST(DbcapiFetch, BoundRowSetsMatchPerValueFetch) {
    Connection c;
    fillTable(c, 2503);
    std::vector<Row> expected = fetchPerValue(c.get());
    ASSERT_EQ(expected.size(), 2503u);
    EXPECT_TRUE(expected[3].idNull);
    EXPECT_TRUE(expected[13].nameNull);
    EXPECT_EQ(expected[1].name, "n\xC3\xA4me1");
    for (uint32_t rowset : {1u, 7u, 1000u}) {
        std::vector<Row> got = fetchBound(c.get(), rowset);
        ASSERT_EQ(got.size(), expected.size()) << "row set " << rowset;
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].idNull, expected[i].idNull) << i;
            if (!got[i].idNull) {
                ASSERT_EQ(got[i].id, expected[i].id) << i;
            }
            ASSERT_EQ(got[i].nameNull, expected[i].nameNull) << i;
            ASSERT_EQ(got[i].name, expected[i].name) << i;
            ASSERT_EQ(got[i].score, expected[i].score) << i;
        }
    }
}

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

TEST(DbcapiFetch, LargeValueReadInSlices) {
    Connection c;
    c.exec("CREATE TABLE big(b BLOB)");
    c.exec("INSERT INTO big VALUES (randomblob(1000000))");
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT b, b FROM big");
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    dbcapi_data_info info{};
    ASSERT_TRUE(dbcapi_get_data_info(stmt, 0, &info));
    EXPECT_EQ(info.data_size, 1000000u);
    EXPECT_EQ(info.type, DBCAPI_BINARY);
    dbcapi_data_value whole{};
    ASSERT_TRUE(dbcapi_get_column(stmt, 1, &whole));
    std::string joined;
    char chunk[65536];
    size_t offset = 0;
    int32_t n;
    while ((n = dbcapi_get_data(stmt, 0, offset, chunk, sizeof chunk)) > 0) {
        joined.append(chunk, static_cast<size_t>(n));
        offset += static_cast<size_t>(n);
    }
    EXPECT_EQ(n, 0);
    ASSERT_EQ(joined.size(), 1000000u);
    EXPECT_EQ(std::memcmp(joined.data(), whole.buffer, joined.size()), 0);
    EXPECT_EQ(dbcapi_get_data(stmt, 5, 0, chunk, 10), -1);
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

TEST(DbcapiFetch, ExpressionTypesFollowFirstRowAndLaterRowsKeepTheirOwn) {
    Connection c;
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "VALUES (1), (2.5), ('3')");
    dbcapi_column_info info{};
    ASSERT_TRUE(dbcapi_get_column_info(stmt, 0, &info));
    EXPECT_EQ(info.native_type, DBCAPI_NATIVE_BIGINT);
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(dbtest::int64Of(stmt, 0), 1);
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    dbcapi_data_value v{};
    ASSERT_TRUE(dbcapi_get_column(stmt, 0, &v));
    double real = 0;
    std::memcpy(&real, v.buffer, sizeof real);
    EXPECT_EQ(v.type, DBCAPI_DOUBLE);
    EXPECT_EQ(real, 2.5);  // no silent truncation
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(dbtest::textOf(stmt, 0), "3");
    dbcapi_free_stmt(stmt);
}
