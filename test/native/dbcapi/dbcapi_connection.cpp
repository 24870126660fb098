// The client library's connection calls the driver makes no use of or
// guards before calling, and the error record (connecting, the SQLSTATE of
// each failure, several results, abort, time-outs and a busy database are
// covered through the driver in the JavaScript tests).
#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;

TEST(DbcapiConnection, AutocommitAndIsolation) {
    Connection c;
    dbcapi_bool mode = 0;
    ASSERT_TRUE(dbcapi_get_autocommit(c.get(), &mode));
    EXPECT_EQ(mode, 1);
    for (uint32_t level = 0; level <= 3; ++level) EXPECT_TRUE(dbcapi_set_transaction_isolation(c.get(), level));
    EXPECT_FALSE(dbcapi_set_transaction_isolation(c.get(), 4));
    EXPECT_EQ(lastError(c.get()).sqlstate, "HY024");
}

TEST(DbcapiConnection, NotConnectedCallsFailCleanly) {
    dbcapi_connection* conn = dbcapi_new_connection();
    EXPECT_EQ(dbcapi_prepare(conn, "SELECT 1"), nullptr);
    EXPECT_EQ(lastError(conn).sqlstate, "08003");
    EXPECT_FALSE(dbcapi_disconnect(conn));
    dbcapi_free_connection(conn);
}

TEST(DbcapiConnection, SuccessAndClearErrorEmptyTheErrorRecord) {
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
