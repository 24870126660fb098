// Connections and transactions of the client library.
#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;
using dbtest::scalar;

TEST(DbcapiConnection, PropertiesAndQuotedDatabaseName) {
    std::string path = dbtest::tempDbPath("props;x");
    dbcapi_connection* conn = dbcapi_new_connection();
    ASSERT_TRUE(dbcapi_set_connect_property(conn, "DATABASENAME", path.c_str()));
    ASSERT_TRUE(dbcapi_connect2(conn)) << lastError(conn).message;
    ASSERT_TRUE(dbcapi_execute_immediate(conn, "CREATE TABLE t(a INT)"));
    EXPECT_FALSE(dbcapi_connect2(conn));  // already connected
    dbcapi_disconnect(conn);
    dbcapi_free_connection(conn);
    Connection again("databaseName={" + path + "}");
    ASSERT_TRUE(again.ok()) << lastError(again.get()).message;
    EXPECT_EQ(scalar(again.get(), "SELECT count(*) FROM t"), 0);
}

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
