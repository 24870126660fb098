// The server backend's statements: types, markers, streamed results next
// to other statements, output parameters (named arguments too), warnings
// and print lines, column origins.
#include <cstring>
#include <vector>

#include "dbcapi_pg_util.h"

using namespace dbtest;

namespace {

class PgStatements : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pgAvailable()) GTEST_SKIP() << "no PostgreSQL server: set ZELK_PG_HOST and friends";
        conn_ = std::make_unique<Connection>(pgConnectString());
        ASSERT_TRUE(conn_->ok()) << lastError(conn_->get()).message;
        // Each test works in a temporary schema of its own session.
        conn_->exec("SET search_path = pg_temp");
    }
    dbcapi_connection* c() const { return conn_->get(); }
    std::unique_ptr<Connection> conn_;
};

dbcapi_bind_data textParam(const char* text, size_t* length) {
    dbcapi_bind_data p{};
    p.direction = DBCAPI_DD_INPUT;
    p.value.type = DBCAPI_STRING;
    p.value.buffer = const_cast<char*>(text);
    *length = std::strlen(text);
    p.value.buffer_size = *length;
    p.value.length = length;
    return p;
}

struct WarningLog {
    std::vector<std::string> messages;
    std::vector<std::string> states;
};

void collectWarning(dbcapi_stmt*, const char* message, int32_t, const char* sqlstate, void* context) {
    auto* log = static_cast<WarningLog*>(context);
    log->messages.push_back(message);
    log->states.push_back(sqlstate);
}

}  // namespace

TEST_F(PgStatements, ColumnTypesMapOntoTheLibrarysTypes) {
    dbcapi_stmt* stmt = dbcapi_execute_direct(
        c(),
        "SELECT 1::int4 AS i4, 2::int8 AS i8, 3::int2 AS i2, true AS b, 1.5::float8 AS d, 2.5::float4 AS r, "
        "12.345::numeric(10,3) AS n, 'ab'::varchar(5) AS v, 'long'::text AS t, '\\x00ff'::bytea AS y, "
        "DATE '2024-02-29' AS dt, TIME '13:14:15' AS tm, TIMESTAMP '2024-02-29 13:14:15.5' AS ts");
    ASSERT_NE(stmt, nullptr) << lastError(c()).message;
    struct Expect {
        dbcapi_native_type native;
        dbcapi_data_type type;
        const char* text;
    } expected[] = {
        {DBCAPI_NATIVE_INT, DBCAPI_VAL32, nullptr},        {DBCAPI_NATIVE_BIGINT, DBCAPI_VAL64, nullptr},
        {DBCAPI_NATIVE_SMALLINT, DBCAPI_VAL16, nullptr},   {DBCAPI_NATIVE_BOOLEAN, DBCAPI_UVAL8, nullptr},
        {DBCAPI_NATIVE_DOUBLE, DBCAPI_DOUBLE, nullptr},    {DBCAPI_NATIVE_REAL, DBCAPI_DOUBLE, nullptr},
        {DBCAPI_NATIVE_DECIMAL, DBCAPI_STRING, "12.345"},  {DBCAPI_NATIVE_NVARCHAR, DBCAPI_STRING, "ab"},
        {DBCAPI_NATIVE_TEXT, DBCAPI_STRING, "long"},       {DBCAPI_NATIVE_BLOB, DBCAPI_BINARY, nullptr},
        {DBCAPI_NATIVE_DATE, DBCAPI_STRING, "2024-02-29"}, {DBCAPI_NATIVE_TIME, DBCAPI_STRING, "13:14:15"},
        {DBCAPI_NATIVE_TIMESTAMP, DBCAPI_STRING, "2024-02-29 13:14:15.5"},
    };
    ASSERT_EQ(dbcapi_num_cols(stmt), 13);
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    for (uint32_t i = 0; i < 13; ++i) {
        dbcapi_column_info info{};
        ASSERT_TRUE(dbcapi_get_column_info(stmt, i, &info));
        EXPECT_EQ(info.native_type, expected[i].native) << info.name;
        EXPECT_EQ(info.type, expected[i].type) << info.name;
        if (expected[i].text) {
            EXPECT_EQ(textOf(stmt, i), expected[i].text) << info.name;
        }
    }
    dbcapi_column_info varchar{}, numeric{};
    dbcapi_get_column_info(stmt, 7, &varchar);
    dbcapi_get_column_info(stmt, 6, &numeric);
    EXPECT_EQ(varchar.max_size, 5u);
    EXPECT_EQ(numeric.precision, 10);
    EXPECT_EQ(numeric.scale, 3);
    dbcapi_data_value v{};
    ASSERT_TRUE(dbcapi_get_column(stmt, 0, &v));
    EXPECT_EQ(*reinterpret_cast<int32_t*>(v.buffer), 1);
    ASSERT_TRUE(dbcapi_get_column(stmt, 3, &v));
    EXPECT_EQ(*reinterpret_cast<uint8_t*>(v.buffer), 1);
    ASSERT_TRUE(dbcapi_get_column(stmt, 5, &v));
    EXPECT_EQ(*reinterpret_cast<double*>(v.buffer), 2.5);
    ASSERT_TRUE(dbcapi_get_column(stmt, 9, &v));
    EXPECT_EQ(std::string(v.buffer, *v.length), std::string("\0\xff", 2));
    dbcapi_free_stmt(stmt);
}

TEST_F(PgStatements, ValuesRoundTripThroughParameters) {
    conn_->exec("CREATE TABLE vals(i int, b bigint, d float8, t text, y bytea, n numeric)");
    dbcapi_stmt* insert = dbcapi_prepare(c(), "INSERT INTO vals VALUES (:i, :b, :d, :t, :y, :n)");
    ASSERT_NE(insert, nullptr) << lastError(c()).message;
    ASSERT_EQ(dbcapi_num_params(insert), 6);
    dbcapi_bind_data described{};
    ASSERT_TRUE(dbcapi_describe_bind_param(insert, 0, &described));
    EXPECT_STREQ(described.name, "i");
    EXPECT_EQ(described.value.type, DBCAPI_VAL32);
    int32_t i = -7;
    int64_t b = 9007199254740993LL;
    double d = 0.1;
    const char bytes[] = {'\0', '\x01', '\xfe'};
    size_t tLength = 0, yLength = 3, nLength = 0;
    dbcapi_bind_data params[6] = {};
    params[0].value = {reinterpret_cast<char*>(&i), 4, nullptr, DBCAPI_VAL32, nullptr, 0};
    params[1].value = {reinterpret_cast<char*>(&b), 8, nullptr, DBCAPI_VAL64, nullptr, 0};
    params[2].value = {reinterpret_cast<char*>(&d), 8, nullptr, DBCAPI_DOUBLE, nullptr, 0};
    params[3] = textParam("grüße ' ? :x", &tLength);
    params[4].value = {const_cast<char*>(bytes), 3, &yLength, DBCAPI_BINARY, nullptr, 0};
    params[5] = textParam("123456789012345678901234567890.5", &nLength);
    for (uint32_t k = 0; k < 6; ++k) {
        params[k].direction = DBCAPI_DD_INPUT;
        ASSERT_TRUE(dbcapi_bind_param(insert, k, &params[k])) << k;
    }
    ASSERT_TRUE(dbcapi_execute(insert)) << lastError(c()).message;
    EXPECT_EQ(dbcapi_affected_rows(insert), 1);
    dbcapi_free_stmt(insert);
    dbcapi_stmt* select = dbcapi_execute_direct(c(), "SELECT i, b, d, t, y, n::text FROM vals WHERE t LIKE '%?%'");
    ASSERT_NE(select, nullptr) << lastError(c()).message;
    ASSERT_TRUE(dbcapi_fetch_next(select));
    EXPECT_EQ(textOf(select, 3), "grüße ' ? :x");
    EXPECT_EQ(textOf(select, 4), std::string(bytes, 3));
    EXPECT_EQ(textOf(select, 5), "123456789012345678901234567890.5");
    dbcapi_data_value v{};
    ASSERT_TRUE(dbcapi_get_column(select, 1, &v));
    EXPECT_EQ(*reinterpret_cast<int64_t*>(v.buffer), b);
    ASSERT_TRUE(dbcapi_get_column(select, 2, &v));
    EXPECT_EQ(*reinterpret_cast<double*>(v.buffer), 0.1);
    ASSERT_TRUE(dbcapi_get_column(select, 0, &v));
    EXPECT_EQ(*reinterpret_cast<int32_t*>(v.buffer), -7);
    dbcapi_free_stmt(select);
}

TEST_F(PgStatements, CastsAndQuotedMarkersAreNotParameters) {
    dbcapi_stmt* stmt = dbcapi_prepare(c(), "SELECT '?'::text || $q$:x ?$q$ || :a::text, :a::int + 1 -- ?\n");
    ASSERT_NE(stmt, nullptr) << lastError(c()).message;
    ASSERT_EQ(dbcapi_num_params(stmt), 1);
    size_t length = 0;
    dbcapi_bind_data p = textParam("41", &length);
    ASSERT_TRUE(dbcapi_bind_param(stmt, 0, &p));
    ASSERT_TRUE(dbcapi_execute(stmt)) << lastError(c()).message;
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(textOf(stmt, 0), "?:x ?41");
    dbcapi_free_stmt(stmt);
}

TEST_F(PgStatements, StreamedResultSurvivesOtherStatementsOnTheConnection) {
    dbcapi_stmt* rows = dbcapi_execute_direct(c(), "SELECT g FROM generate_series(1::bigint, 50000) g");
    ASSERT_NE(rows, nullptr) << lastError(c()).message;
    int64_t sum = 0;
    for (int k = 0; k < 10; ++k) {
        ASSERT_TRUE(dbcapi_fetch_next(rows));
        sum += int64Of(rows, 0);
    }
    conn_->exec("CREATE TABLE side(a int)");
    conn_->exec("INSERT INTO side VALUES (1)");
    while (dbcapi_fetch_next(rows)) sum += int64Of(rows, 0);
    EXPECT_EQ(lastError(c()).code, 100);
    EXPECT_EQ(sum, 50000LL * 50001 / 2);
    EXPECT_EQ(dbcapi_num_rows(rows), 50000);
    dbcapi_free_stmt(rows);
    // A statement freed halfway leaves the connection usable.
    rows = dbcapi_execute_direct(c(), "SELECT g FROM generate_series(1, 1000) g");
    ASSERT_TRUE(dbcapi_fetch_next(rows));
    dbcapi_free_stmt(rows);
    EXPECT_EQ(scalarText(c(), "SELECT count(*)::text FROM side"), "1");
}

TEST_F(PgStatements, ServerErrorsKeepTheirSqlstate) {
    conn_->exec("CREATE TABLE uniq(a int PRIMARY KEY)");
    conn_->exec("INSERT INTO uniq VALUES (1)");
    EXPECT_FALSE(dbcapi_execute_immediate(c(), "INSERT INTO uniq VALUES (1)"));
    LastError e = lastError(c());
    EXPECT_EQ(e.sqlstate, "23505");
    EXPECT_EQ(e.code, 10013);
    EXPECT_EQ(dbcapi_prepare(c(), "SELECT * FROM no_such_table"), nullptr);
    EXPECT_EQ(lastError(c()).sqlstate, "42P01");
}

TEST_F(PgStatements, OutputParametersOfCall) {
    conn_->exec(
        "CREATE PROCEDURE pg_temp.fill(IN n int, INOUT doubled int, OUT big text, OUT flag boolean) "
        "LANGUAGE plpgsql AS $$ BEGIN doubled := doubled * 2; big := repeat('ab', n); flag := n > 0; END $$");
    dbcapi_stmt* stmt = dbcapi_prepare(c(), "CALL pg_temp.fill(?, ?, ?, ?)");
    ASSERT_NE(stmt, nullptr) << lastError(c()).message;
    ASSERT_EQ(dbcapi_num_params(stmt), 4);
    dbcapi_data_direction directions[] = {DBCAPI_DD_INPUT, DBCAPI_DD_INPUT_OUTPUT, DBCAPI_DD_OUTPUT,
                                          DBCAPI_DD_OUTPUT};
    for (uint32_t k = 0; k < 4; ++k) {
        dbcapi_bind_param_info info{};
        ASSERT_TRUE(dbcapi_get_bind_param_info(stmt, k, &info));
        EXPECT_EQ(info.direction, directions[k]) << k;
    }
    dbcapi_bind_param_info bigInfo{};
    dbcapi_get_bind_param_info(stmt, 2, &bigInfo);
    EXPECT_EQ(bigInfo.native_type, DBCAPI_NATIVE_NCLOB);

    int32_t n = 60000, doubled = 21;
    uint8_t flag = 0;
    size_t doubledLength = 4, bigLength = 0, flagLength = 0;
    dbcapi_bool doubledNull = 0, bigNull = 0, flagNull = 1;
    dbcapi_bind_data p[4] = {};
    p[0] = {DBCAPI_DD_INPUT, {reinterpret_cast<char*>(&n), 4, nullptr, DBCAPI_VAL32, nullptr, 0}, nullptr};
    p[1] = {DBCAPI_DD_INPUT_OUTPUT,
            {reinterpret_cast<char*>(&doubled), 4, &doubledLength, DBCAPI_VAL32, &doubledNull, 0}, nullptr};
    p[2] = {DBCAPI_DD_OUTPUT, {nullptr, 0, &bigLength, DBCAPI_STRING, &bigNull, 0}, nullptr};
    p[3] = {DBCAPI_DD_OUTPUT, {reinterpret_cast<char*>(&flag), 1, &flagLength, DBCAPI_UVAL8, &flagNull, 0}, nullptr};
    for (uint32_t k = 0; k < 4; ++k) ASSERT_TRUE(dbcapi_bind_param(stmt, k, &p[k])) << lastError(c()).message;
    ASSERT_TRUE(dbcapi_execute(stmt)) << lastError(c()).message;
    EXPECT_EQ(dbcapi_num_cols(stmt), 0);
    EXPECT_EQ(doubled, 42);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(flagNull, 0);
    EXPECT_EQ(bigLength, 120000u);

    std::string big;
    char slice[7000];
    int32_t got = 0;
    while ((got = dbcapi_get_param_data(stmt, 2, big.size(), slice, sizeof slice)) > 0) big.append(slice, got);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(big.size(), 120000u);
    EXPECT_EQ(big.substr(0, 4), "abab");
    EXPECT_EQ(dbcapi_get_param_data(stmt, 0, 0, slice, sizeof slice), -1);
    EXPECT_EQ(lastError(c()).sqlstate, "HYC00");
    dbcapi_free_stmt(stmt);
}

// Arguments written "name => value" take their direction by name.
TEST_F(PgStatements, NamedArgumentsOfCallTakeTheirDirectionsByName) {
    conn_->exec(
        "CREATE PROCEDURE pg_temp.tag(IN a int, INOUT b text, OUT c int) LANGUAGE plpgsql "
        "AS $$ BEGIN b := b || '-' || a; c := a * 2; END $$");
    const char* calls[] = {"CALL pg_temp.tag(b => ?, c => ?, a => ?)", "CALL pg_temp.tag(b => :b, c => :c, a => :a)",
                           "CALL pg_temp.tag(B := ?, \"c\" => ?, a => ?)"};
    for (const char* sql : calls) {
        dbcapi_stmt* stmt = dbcapi_prepare(c(), sql);
        ASSERT_NE(stmt, nullptr) << sql << ": " << lastError(c()).message;
        dbcapi_data_direction directions[] = {DBCAPI_DD_INPUT_OUTPUT, DBCAPI_DD_OUTPUT, DBCAPI_DD_INPUT};
        for (uint32_t k = 0; k < 3; ++k) {
            dbcapi_bind_param_info info{};
            ASSERT_TRUE(dbcapi_get_bind_param_info(stmt, k, &info));
            EXPECT_EQ(info.direction, directions[k]) << sql << " parameter " << k;
        }
        int32_t a = 7, doubled = 0;
        size_t bLength = 3, doubledLength = 0;
        dbcapi_bool bNull = 0, doubledNull = 1;
        char b[16] = "tag";
        dbcapi_bind_data p[3] = {};
        p[0] = {DBCAPI_DD_INPUT_OUTPUT, {b, sizeof b, &bLength, DBCAPI_STRING, &bNull, 0}, nullptr};
        p[1] = {DBCAPI_DD_OUTPUT,
                {reinterpret_cast<char*>(&doubled), 4, &doubledLength, DBCAPI_VAL32, &doubledNull, 0}, nullptr};
        p[2] = {DBCAPI_DD_INPUT, {reinterpret_cast<char*>(&a), 4, nullptr, DBCAPI_VAL32, nullptr, 0}, nullptr};
        ASSERT_TRUE(dbcapi_bind_param(stmt, 0, &p[0])) << lastError(c()).message;
        ASSERT_TRUE(dbcapi_bind_param(stmt, 1, &p[1])) << lastError(c()).message;
        ASSERT_TRUE(dbcapi_bind_param(stmt, 2, &p[2])) << lastError(c()).message;
        ASSERT_TRUE(dbcapi_execute(stmt)) << sql << ": " << lastError(c()).message;
        EXPECT_EQ(doubled, 14) << sql;
        EXPECT_EQ(std::string(b, bLength), "tag-7") << sql;
        char out[16] = {};
        EXPECT_EQ(dbcapi_get_param_data(stmt, 0, 0, out, sizeof out), 5) << sql << ": " << lastError(c()).message;
        EXPECT_STREQ(out, "tag-7") << sql;
        dbcapi_free_stmt(stmt);
    }
}

TEST_F(PgStatements, ColumnInfoNamesTheTableAndSchemaOfTableColumns) {
    conn_->exec("CREATE TABLE people(id int, full_name text)");
    conn_->exec("INSERT INTO people VALUES (1, 'Ada')");
    std::string schema = scalarText(c(), "SELECT nspname FROM pg_namespace WHERE oid = pg_my_temp_schema()");
    const char* sql = "SELECT p.id, p.full_name AS who, p.id + 1 AS next, 'x' AS lit FROM people p";
    for (int round = 0; round < 2; ++round) {
        dbcapi_stmt* stmt = dbcapi_execute_direct(c(), sql);
        ASSERT_NE(stmt, nullptr) << lastError(c()).message;
        ASSERT_TRUE(dbcapi_fetch_next(stmt));
        dbcapi_column_info info[4] = {};
        for (uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(dbcapi_get_column_info(stmt, i, &info[i]));
        EXPECT_STREQ(info[0].table_name, "people");
        EXPECT_EQ(std::string(info[0].owner_name ? info[0].owner_name : "<null>"), schema);
        EXPECT_STREQ(info[0].column_name, "id");
        EXPECT_STREQ(info[1].name, "who");
        EXPECT_STREQ(info[1].column_name, "full_name");
        EXPECT_STREQ(info[1].table_name, "people");
        for (uint32_t i : {2u, 3u}) {
            EXPECT_EQ(info[i].table_name, nullptr) << info[i].name;
            EXPECT_EQ(info[i].owner_name, nullptr) << info[i].name;
            EXPECT_STREQ(info[i].column_name, info[i].name);
        }
        dbcapi_free_stmt(stmt);
    }
    // Names the session has seen follow a rename made on it.
    conn_->exec("ALTER TABLE people RENAME full_name TO given_name");
    conn_->exec("ALTER TABLE people RENAME TO persons");
    dbcapi_stmt* stmt = dbcapi_execute_direct(c(), "SELECT given_name FROM persons");
    ASSERT_NE(stmt, nullptr) << lastError(c()).message;
    dbcapi_column_info info{};
    ASSERT_TRUE(dbcapi_get_column_info(stmt, 0, &info));
    EXPECT_STREQ(info.table_name, "persons");
    EXPECT_STREQ(info.column_name, "given_name");
    dbcapi_free_stmt(stmt);
}

TEST_F(PgStatements, NoticesAreWarningsAndInfoIsPrintLines) {
    conn_->exec(
        "CREATE PROCEDURE pg_temp.talk() LANGUAGE plpgsql AS $$ BEGIN "
        "RAISE NOTICE 'just so you know'; RAISE WARNING 'careful' USING ERRCODE = '01000'; "
        "RAISE INFO 'line one'; RAISE INFO 'line two'; END $$");
    WarningLog log;
    ASSERT_TRUE(dbcapi_register_warning_callback(c(), &collectWarning, &log));
    dbcapi_stmt* stmt = dbcapi_prepare(c(), "CALL pg_temp.talk()");
    ASSERT_NE(stmt, nullptr) << lastError(c()).message;
    ASSERT_TRUE(dbcapi_execute(stmt)) << lastError(c()).message;
    ASSERT_EQ(log.messages.size(), 2u);
    EXPECT_EQ(log.messages[0], "just so you know");
    EXPECT_EQ(log.messages[1], "careful");
    EXPECT_EQ(log.states[1], "01000");
    char line[64];
    size_t length = 0;
    ASSERT_EQ(dbcapi_get_print_line(stmt, 0, line, &length, sizeof line, 1), DBCAPI_PRINT_LINE_OK);
    EXPECT_STREQ(line, "line one");
    ASSERT_EQ(dbcapi_get_print_line(stmt, 0, line, &length, sizeof line, 1), DBCAPI_PRINT_LINE_OK);
    EXPECT_STREQ(line, "line two");
    EXPECT_EQ(dbcapi_get_print_line(stmt, 0, line, &length, sizeof line, 1), DBCAPI_PRINT_LINE_NONE);
    dbcapi_register_warning_callback(c(), nullptr, nullptr);
    dbcapi_free_stmt(stmt);
}

TEST_F(PgStatements, TransactionsFollowAutoCommit) {
    conn_->exec("CREATE TABLE tx(a int)");
    ASSERT_TRUE(dbcapi_set_autocommit(c(), 0));
    conn_->exec("INSERT INTO tx VALUES (1)");
    ASSERT_TRUE(dbcapi_rollback(c()));
    conn_->exec("INSERT INTO tx VALUES (2)");
    ASSERT_TRUE(dbcapi_commit(c()));
    ASSERT_TRUE(dbcapi_set_autocommit(c(), 1));
    EXPECT_EQ(scalarText(c(), "SELECT string_agg(a::text, ',') FROM tx"), "2");
}
