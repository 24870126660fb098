// The server backend's connections where the driver cannot reach: a
// silent server and isolation levels changed on a live session (the rest
// is covered through the driver in the JavaScript tests).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "dbcapi_pg_util.h"

using namespace dbtest;

namespace {

dbcapi_connection* connectWith(const std::string& connectString) {
    dbcapi_connection* conn = dbcapi_new_connection();
    dbcapi_connect(conn, connectString.c_str());
    return conn;
}

// Ends the connection's server session from another session.
void killSession(dbcapi_connection* victim) {
    Connection killer(pgConnectString());
    std::string pid = scalarText(victim, "SELECT pg_backend_pid()::text");
    killer.exec(("SELECT pg_terminate_backend(" + pid + ")").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace

// A listener that never answers: the connect waits for the server's first
// reply until its time-out.
TEST(DbcapiPgConnection, ConnectTimeOutEndsTheWaitForASilentServer) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    std::string node = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    auto start = std::chrono::steady_clock::now();
    dbcapi_connection* conn = connectWith("ServerNode=" + node + ";uid=u;pwd=p;CONNECTTIMEOUT=1500");
    auto waited = std::chrono::steady_clock::now() - start;
    LastError e = lastError(conn);
    EXPECT_EQ(e.code, 10002);
    EXPECT_EQ(e.sqlstate, "08001");
    EXPECT_NE(e.message.find("timeout"), std::string::npos) << e.message;
    EXPECT_LT(waited, std::chrono::seconds(10));
    dbcapi_free_connection(conn);
    close(listener);
}

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
