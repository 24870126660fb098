// Isolation levels changed on a live server session, which the driver sets
// only at connect and pooled reuse (the rest of the server backend's
// connections is covered through the driver in the JavaScript tests).
#include <chrono>
#include <thread>

#include "dbcapi_pg_util.h"

using namespace dbtest;

namespace {

// Ends the connection's server session from another session.
void killSession(dbcapi_connection* victim) {
    Connection killer(pgConnectString());
    std::string pid = scalarText(victim, "SELECT pg_backend_pid()::text");
    killer.exec(("SELECT pg_terminate_backend(" + pid + ")").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace

TEST(DbcapiPgConnection, IsolationLevelReachesTheSession) {
    REQUIRE_PG_SERVER();
    dbcapi_connection* conn = dbcapi_new_connection();
    ASSERT_TRUE(dbcapi_set_transaction_isolation(conn, 2));
    ASSERT_TRUE(dbcapi_connect(conn, pgConnectString().c_str())) << lastError(conn).message;
    EXPECT_EQ(scalarText(conn, "SHOW transaction_isolation"), "repeatable read");
    const char* names[] = {"read uncommitted", "read committed", "repeatable read", "serializable"};
    for (uint32_t level : {3u, 0u, 1u}) {
        ASSERT_TRUE(dbcapi_set_transaction_isolation(conn, level)) << lastError(conn).message;
        EXPECT_EQ(scalarText(conn, "SHOW transaction_isolation"), names[level]);
    }
    EXPECT_FALSE(dbcapi_set_transaction_isolation(conn, 4));
    EXPECT_EQ(lastError(conn).sqlstate, "HY024");
    EXPECT_EQ(scalarText(conn, "SHOW transaction_isolation"), "read committed");

    // Set inside a transaction, even a failed one, the level outlives its rollback.
    ASSERT_TRUE(dbcapi_set_autocommit(conn, 0));
    ASSERT_TRUE(dbcapi_execute_immediate(conn, "SELECT 1"));
    ASSERT_TRUE(dbcapi_set_transaction_isolation(conn, 3)) << lastError(conn).message;
    ASSERT_TRUE(dbcapi_rollback(conn)) << lastError(conn).message;
    EXPECT_EQ(scalarText(conn, "SHOW transaction_isolation"), "serializable");
    EXPECT_FALSE(dbcapi_execute_immediate(conn, "SELECT 1/0"));
    ASSERT_TRUE(dbcapi_set_transaction_isolation(conn, 2)) << lastError(conn).message;
    ASSERT_TRUE(dbcapi_rollback(conn)) << lastError(conn).message;
    EXPECT_EQ(scalarText(conn, "SHOW transaction_isolation"), "repeatable read");
    ASSERT_TRUE(dbcapi_set_autocommit(conn, 1));
    dbcapi_free_connection(conn);
}

TEST(DbcapiPgConnection, IsolationLevelFailureIsTheCallsError) {
    REQUIRE_PG_SERVER();
    Connection c(pgConnectString());
    ASSERT_TRUE(c.ok());
    killSession(c.get());
    EXPECT_FALSE(dbcapi_set_transaction_isolation(c.get(), 3));
    EXPECT_EQ(lastError(c.get()).code, 10015) << lastError(c.get()).message;
}
