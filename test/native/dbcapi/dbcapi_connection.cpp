// The client library's connection calls the driver makes no use of or
// guards before calling (connecting is covered through the driver in the
// JavaScript tests).
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
