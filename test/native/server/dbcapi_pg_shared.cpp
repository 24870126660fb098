// Behaviour both backends share, run against each from one table of cases:
// batches, data at execution, several results, bound row sets, the
// current schema of the connect string.
#include <cstring>
#include <vector>

#include "dbcapi_pg_util.h"

using namespace dbtest;

namespace {

class BothBackends : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        bool server = std::strcmp(GetParam(), "postgres") == 0;
        if (server && !pgAvailable()) GTEST_SKIP() << "no PostgreSQL server: set ZELK_PG_HOST and friends";
        conn_ = std::make_unique<Connection>(server ? pgConnectString() : "");
        ASSERT_TRUE(conn_->ok()) << lastError(conn_->get()).message;
    }
    dbcapi_connection* c() const { return conn_->get(); }

    // Inserts values into a temporary table "nums" as one batch.
    dbcapi_stmt* insertBatch(std::vector<int64_t>& values, std::vector<size_t>& lengths) {
        dbcapi_stmt* stmt = dbcapi_prepare(c(), "INSERT INTO nums VALUES (?)");
        EXPECT_NE(stmt, nullptr) << lastError(c()).message;
        lengths.assign(values.size(), 8);
        dbcapi_bind_data p{};
        p.direction = DBCAPI_DD_INPUT;
        p.value = {reinterpret_cast<char*>(values.data()), 8, lengths.data(), DBCAPI_VAL64, nullptr, 0};
        EXPECT_TRUE(dbcapi_bind_param(stmt, 0, &p));
        EXPECT_TRUE(dbcapi_set_batch_size(stmt, static_cast<uint32_t>(values.size())));
        return stmt;
    }

    std::unique_ptr<Connection> conn_;
};

}  // namespace

TEST_P(BothBackends, BatchReportsRowStatusAndRollsBackAsAWhole) {
    conn_->exec("CREATE TEMP TABLE nums(a BIGINT PRIMARY KEY)");
    std::vector<int64_t> values = {1, 2, 3};
    std::vector<size_t> lengths;
    dbcapi_stmt* stmt = insertBatch(values, lengths);
    ASSERT_TRUE(dbcapi_execute(stmt)) << lastError(c()).message;
    EXPECT_EQ(dbcapi_affected_rows(stmt), 3);
    int32_t* status = dbcapi_get_row_status(stmt);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status[0] + status[1] + status[2], 3);
    dbcapi_free_stmt(stmt);

    std::vector<int64_t> clash = {4, 2, 5};
    stmt = insertBatch(clash, lengths);
    EXPECT_FALSE(dbcapi_execute(stmt));
    LastError e = lastError(c());
    EXPECT_NE(e.message.find("Batch row 1 failed"), std::string::npos) << e.message;
    EXPECT_EQ(e.sqlstate, std::strcmp(GetParam(), "postgres") == 0 ? "23505" : "23000");
    status = dbcapi_get_row_status(stmt);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(status[1], -3);
    EXPECT_EQ(status[2], -3);
    dbcapi_free_stmt(stmt);
    EXPECT_EQ(scalarText(c(), "SELECT CAST(COUNT(*) AS VARCHAR(10)) FROM nums"), "3");
}

TEST_P(BothBackends, DataAtExecutionArrivesWhole) {
    conn_->exec("CREATE TEMP TABLE docs(body TEXT)");
    dbcapi_stmt* stmt = dbcapi_prepare(c(), "INSERT INTO docs VALUES (?)");
    ASSERT_NE(stmt, nullptr);
    size_t atExec = DBCAPI_DATA_AT_EXEC_LENGTH;
    dbcapi_bind_data p{};
    p.direction = DBCAPI_DD_INPUT;
    p.value.type = DBCAPI_INVALID_TYPE;
    p.value.length = &atExec;
    ASSERT_TRUE(dbcapi_bind_param(stmt, 0, &p));
    ASSERT_TRUE(dbcapi_execute(stmt)) << lastError(c()).message;
    std::string chunk(10000, 'z');
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(dbcapi_send_param_data(stmt, 0, &chunk[0], chunk.size()));
    ASSERT_TRUE(dbcapi_finish_param_data(stmt, 0)) << lastError(c()).message;
    dbcapi_free_stmt(stmt);
    EXPECT_EQ(scalarText(c(), "SELECT CAST(LENGTH(body) AS VARCHAR(10)) FROM docs"), "300000");
}

TEST_P(BothBackends, SeveralResultsInOrder) {
    conn_->exec("CREATE TEMP TABLE r(a VARCHAR(5)); INSERT INTO r VALUES ('five')");
    EXPECT_EQ(scalarText(c(), "SELECT a FROM r"), "five");
    dbcapi_stmt* stmt = dbcapi_execute_direct(c(), "SELECT a FROM r; SELECT 'x'");
    ASSERT_NE(stmt, nullptr) << lastError(c()).message;
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(textOf(stmt, 0), "five");
    ASSERT_TRUE(dbcapi_has_next_result(stmt));
    ASSERT_TRUE(dbcapi_get_next_result(stmt)) << lastError(c()).message;
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(textOf(stmt, 0), "x");
    EXPECT_FALSE(dbcapi_has_next_result(stmt));
    EXPECT_FALSE(dbcapi_get_next_result(stmt));
    EXPECT_EQ(lastError(c()).sqlstate, "02000");
    dbcapi_free_stmt(stmt);
}

TEST_P(BothBackends, BoundRowSetsFillInSlices) {
    conn_->exec("CREATE TEMP TABLE nums(a BIGINT PRIMARY KEY)");
    std::vector<int64_t> values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::vector<size_t> lengths;
    dbcapi_stmt* insert = insertBatch(values, lengths);
    ASSERT_TRUE(dbcapi_execute(insert)) << lastError(c()).message;
    dbcapi_free_stmt(insert);
    dbcapi_stmt* stmt = dbcapi_execute_direct(c(), "SELECT a FROM nums ORDER BY a");
    ASSERT_NE(stmt, nullptr);
    int64_t slots[4] = {};
    size_t slotLengths[4] = {};
    dbcapi_bool nulls[4] = {};
    dbcapi_data_value bound{reinterpret_cast<char*>(slots), 8, slotLengths, DBCAPI_VAL64, nulls, 0};
    ASSERT_TRUE(dbcapi_set_rowset_size(stmt, 4));
    ASSERT_TRUE(dbcapi_bind_column(stmt, 0, &bound));
    std::vector<int32_t> sizes;
    int64_t sum = 0;
    while (dbcapi_fetch_next(stmt)) {
        sizes.push_back(dbcapi_fetched_rows(stmt));
        for (int32_t i = 0; i < dbcapi_fetched_rows(stmt); ++i) sum += slots[i];
    }
    EXPECT_EQ(sizes, (std::vector<int32_t>{4, 4, 2}));
    EXPECT_EQ(sum, 55);
    dbcapi_free_stmt(stmt);
}

// The connect property has the effect of SET SCHEMA, refusals included.
TEST_P(BothBackends, CurrentSchemaPropertyAtConnect) {
    bool server = std::strcmp(GetParam(), "postgres") == 0;
    std::string schema = server ? uniqueName("zkv_current") : "temp";
    if (server) conn_->exec(("CREATE SCHEMA " + schema).c_str());
    std::string base = server ? pgConnectString() + ";" : "";
    {
        Connection other(base + "currentSchema=" + schema);
        ASSERT_TRUE(other.ok()) << lastError(other.get()).message;
        EXPECT_EQ(scalarText(other.get(), "SELECT current_schema()"), schema);
    }
    // A schema that does not exist yet is accepted at connect; SET SCHEMA
    // of it, as the pool's reset runs it, is still refused.
    Connection early(base + "CURRENTSCHEMA=no_such_schema_zkv");
    ASSERT_TRUE(early.ok()) << lastError(early.get()).message;
    EXPECT_EQ(scalar(early.get(), "SELECT COUNT(*) FROM DUMMY"), 1);
    EXPECT_FALSE(dbcapi_execute_immediate(early.get(), "SET SCHEMA no_such_schema_zkv"));
    LastError e = lastError(early.get());
    EXPECT_EQ(e.sqlstate, "3F000");
    EXPECT_EQ(e.message, "Invalid schema name: no_such_schema_zkv");
    if (server) conn_->exec(("DROP SCHEMA " + schema).c_str());
}

INSTANTIATE_TEST_SUITE_P(Backends, BothBackends, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });
