// Connections and transactions of the client library.
#include "dbcapi_test_util.h"

using dbtest::Connection;
using dbtest::lastError;
using dbtest::scalar;

TEST(DbcapiLibrary, InitAndVersion) {
    uint32_t maxVersion = 0;
    EXPECT_TRUE(dbcapi_init("test", 2, &maxVersion));
    EXPECT_EQ(maxVersion, 2u);
    char version[256];
    ASSERT_TRUE(dbcapi_client_version(version, sizeof version));
    EXPECT_STREQ(version, "libdbcapiZKV 2.11.020.1644165757");
    EXPECT_FALSE(dbcapi_client_version(version, 10));
}

TEST(DbcapiConnection, InMemoryPingAndUnknownPropertiesIgnored) {
    Connection c("CHARSET=UTF-8;SCROLLABLERESULT=0;POOLING=TRUE;uid=x;pwd='a;b'");
    ASSERT_TRUE(c.ok()) << lastError(c.get()).message;
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT 'ping' FROM DUMMY");
    ASSERT_NE(stmt, nullptr);
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(dbtest::textOf(stmt, 0), "ping");
    EXPECT_FALSE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(dbcapi_error(c.get(), nullptr, 0), 100);
    dbcapi_free_stmt(stmt);
}

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

TEST(DbcapiConnection, SetSchema) {
    Connection c;
    c.exec("SET SCHEMA main");
    c.exec("ATTACH DATABASE ':memory:' AS other");
    c.exec("SET SCHEMA \"other\"");
    dbcapi_stmt* stmt = dbcapi_execute_direct(c.get(), "SELECT current_schema()");
    ASSERT_TRUE(dbcapi_fetch_next(stmt));
    EXPECT_EQ(dbtest::textOf(stmt, 0), "other");
    dbcapi_free_stmt(stmt);
    EXPECT_FALSE(dbcapi_execute_immediate(c.get(), "SET SCHEMA nowhere"));
    dbtest::LastError e = lastError(c.get());
    EXPECT_EQ(e.sqlstate, "3F000");
    EXPECT_NE(e.message.find("nowhere"), std::string::npos);
}

TEST(DbcapiConnection, MakeConnectionChecksRegistryAndNeverClosesSession) {
    int notAHandle = 0;
    EXPECT_EQ(dbcapi_make_connection(&notAHandle), nullptr);
    EXPECT_GT(dbcapi_error_length(nullptr), 0u);
    EXPECT_EQ(dbcapi_make_connection(reinterpret_cast<void*>(0x1234)), nullptr);

    Connection owner;
    owner.exec("CREATE TABLE shared(a INT)");
    dbcapi_connection* adopted = dbcapi_make_connection(owner.get());
    ASSERT_NE(adopted, nullptr);
    EXPECT_TRUE(dbcapi_execute_immediate(adopted, "INSERT INTO shared VALUES (7)"));
    EXPECT_TRUE(dbcapi_disconnect(adopted));
    dbcapi_free_connection(adopted);
    EXPECT_EQ(scalar(owner.get(), "SELECT a FROM shared"), 7);
}

TEST(DbcapiConnection, ClientInfo) {
    Connection c;
    char buffer[32];
    EXPECT_FALSE(dbcapi_get_clientinfo(c.get(), "APPLICATION", buffer, sizeof buffer));
    ASSERT_TRUE(dbcapi_set_clientinfo(c.get(), "APPLICATION", "zelk tests"));
    ASSERT_TRUE(dbcapi_get_clientinfo_utf8(c.get(), "APPLICATION", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "zelk tests");
    EXPECT_FALSE(dbcapi_get_clientinfo(c.get(), "APPLICATION", buffer, 5));  // too small
    ASSERT_TRUE(dbcapi_set_clientinfo(c.get(), "APPLICATION", nullptr));
    EXPECT_FALSE(dbcapi_get_clientinfo(c.get(), "APPLICATION", buffer, sizeof buffer));
}

TEST(DbcapiConnection, NotConnectedCallsFailCleanly) {
    dbcapi_connection* conn = dbcapi_new_connection();
    EXPECT_EQ(dbcapi_prepare(conn, "SELECT 1"), nullptr);
    EXPECT_EQ(lastError(conn).sqlstate, "08003");
    EXPECT_FALSE(dbcapi_disconnect(conn));
    dbcapi_free_connection(conn);
}
