// The server backend's connections: authentication, TLS, node lists,
// DUMMY and SET SCHEMA, time-out, killed sessions, parallel work, isolation
// levels and the current schema at connect (abort is covered through the
// driver in the JavaScript tests).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "dbcapi_pg_util.h"

using namespace dbtest;

namespace {

dbcapi_connection* connectWith(const std::string& connectString, const char* trustStore = nullptr) {
    dbcapi_connection* conn = dbcapi_new_connection();
    if (trustStore) dbcapi_set_connect_property(conn, "sslTrustStore", trustStore);
    dbcapi_connect(conn, connectString.c_str());
    return conn;
}

bool connected(dbcapi_connection* conn) { return scalarText(conn, "SELECT 'ping' FROM DUMMY") == "ping"; }

// Waits until the server shows a statement running on the session with
// the given process id.
void awaitRunning(dbcapi_connection* observer, const std::string& pid, const char* what) {
    std::string sql = "SELECT count(*) FROM pg_stat_activity WHERE pid = " + pid + " AND query LIKE '%" + what +
                      "%' AND state = 'active'";
    for (int i = 0; i < 500 && scalar(observer, sql.c_str()) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Ends the connection's server session from another session.
void killSession(dbcapi_connection* victim) {
    Connection killer(pgConnectString());
    std::string pid = scalarText(victim, "SELECT pg_backend_pid()::text");
    killer.exec(("SELECT pg_terminate_backend(" + pid + ")").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace

TEST(DbcapiPgConnection, WrongPasswordIsRefusedWithTheServersSqlstate) {
    REQUIRE_PG_SERVER();
    std::string str = "ServerNode=" + pgNode() + ";uid=" + env("ZELK_PG_USER") + ";pwd=wrong;databaseName=" +
                      env("ZELK_PG_DATABASE");
    dbcapi_connection* conn = connectWith(str);
    LastError e = lastError(conn);
    EXPECT_EQ(e.sqlstate, "28P01");
    EXPECT_EQ(e.code, 10002);
    EXPECT_NE(e.message.find("password authentication failed"), std::string::npos) << e.message;
    EXPECT_FALSE(dbcapi_execute_immediate(conn, "SELECT 1"));
    EXPECT_EQ(lastError(conn).sqlstate, "08003");
    dbcapi_free_connection(conn);
}

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

TEST(DbcapiPgConnection, TlsWithVerificationAndRefusalOfAnUntrustedCertificate) {
    REQUIRE_PG_SERVER();
    if (env("ZELK_PG_CA").empty()) GTEST_SKIP() << "ZELK_PG_CA (the server's certificate) is not set";
    std::string trusted = readFile(env("ZELK_PG_CA"));
    dbcapi_connection* conn = connectWith(pgConnectString(), trusted.c_str());
    ASSERT_TRUE(connected(conn)) << lastError(conn).message;
    EXPECT_EQ(scalarText(conn, "SELECT ssl::text FROM pg_stat_ssl WHERE pid = pg_backend_pid()"), "true");
    dbcapi_free_connection(conn);

    if (env("ZELK_PG_UNTRUSTED_CA").empty()) return;
    std::string untrusted = readFile(env("ZELK_PG_UNTRUSTED_CA"));
    conn = connectWith(pgConnectString(), untrusted.c_str());
    LastError e = lastError(conn);
    EXPECT_EQ(e.code, 10002);
    EXPECT_EQ(e.sqlstate, "08001");
    EXPECT_NE(e.message.find("certificate"), std::string::npos) << e.message;
    dbcapi_free_connection(conn);
}

TEST(DbcapiPgConnection, EncryptWithoutTrustStoreStillEncrypts) {
    REQUIRE_PG_SERVER();
    dbcapi_connection* conn = connectWith(pgConnectString("ENCRYPT=TRUE"));
    ASSERT_TRUE(connected(conn)) << lastError(conn).message;
    EXPECT_EQ(scalarText(conn, "SELECT ssl::text FROM pg_stat_ssl WHERE pid = pg_backend_pid()"), "true");
    dbcapi_free_connection(conn);
}

TEST(DbcapiPgConnection, ServerNodeListIsTriedInOrder) {
    REQUIRE_PG_SERVER();
    std::string str = "ServerNode=127.0.0.1:1," + pgNode() + ";uid=" + env("ZELK_PG_USER") + ";pwd={" +
                      env("ZELK_PG_PASSWORD") + "};databaseName=" + env("ZELK_PG_DATABASE") + ";someUnknown=1";
    dbcapi_connection* conn = connectWith(str);
    EXPECT_TRUE(connected(conn)) << lastError(conn).message;
    dbcapi_free_connection(conn);
}

TEST(DbcapiPgConnection, DummyAndSetSchemaPerSession) {
    REQUIRE_PG_SERVER();
    Connection c(pgConnectString());
    ASSERT_TRUE(c.ok()) << lastError(c.get()).message;
    std::string schema = uniqueName("zkv_schema");
    EXPECT_EQ(scalarText(c.get(), "SELECT dummy FROM DUMMY"), "X");
    EXPECT_FALSE(dbcapi_execute_immediate(c.get(), "SET SCHEMA no_such_schema_here"));
    EXPECT_EQ(lastError(c.get()).sqlstate, "3F000");
    c.exec(("CREATE SCHEMA " + schema).c_str());
    c.exec(("SET SCHEMA " + schema).c_str());
    EXPECT_EQ(scalarText(c.get(), "SELECT current_schema()"), schema);
    c.exec("CREATE TABLE in_schema(a int)");
    EXPECT_EQ(scalarText(c.get(), ("SELECT count(*)::text FROM " + schema + ".in_schema").c_str()), "0");
    EXPECT_EQ(scalarText(c.get(), "SELECT 'still' FROM DUMMY"), "still");
    c.exec(("DROP SCHEMA " + schema + " CASCADE").c_str());
}

TEST(DbcapiPgConnection, QueryTimeOutCancelsTheStatement) {
    REQUIRE_PG_SERVER();
    Connection c(pgConnectString());
    ASSERT_TRUE(c.ok());
    dbcapi_stmt* stmt = dbcapi_prepare(c.get(), "SELECT pg_sleep(20)");
    ASSERT_NE(stmt, nullptr);
    ASSERT_TRUE(dbcapi_set_query_timeout(stmt, 1));
    EXPECT_FALSE(dbcapi_execute(stmt));
    LastError e = lastError(c.get());
    EXPECT_EQ(e.sqlstate, "HYT00");
    EXPECT_EQ(e.code, 10009);
    ASSERT_TRUE(dbcapi_set_query_timeout(stmt, 0));
    dbcapi_free_stmt(stmt);
    EXPECT_TRUE(connected(c.get()));
}

TEST(DbcapiPgConnection, KilledSessionFailsItsNextStatement) {
    REQUIRE_PG_SERVER();
    Connection c(pgConnectString());
    ASSERT_TRUE(c.ok());
    killSession(c.get());
    EXPECT_EQ(dbcapi_execute_direct(c.get(), "SELECT 'ping' FROM DUMMY"), nullptr);
    LastError e = lastError(c.get());
    EXPECT_EQ(e.code, 10015) << e.message;
    EXPECT_EQ(e.sqlstate.substr(0, 2), e.sqlstate == "57P01" ? "57" : "08") << e.sqlstate;
}

TEST(DbcapiPgConnection, TwoConnectionsWorkInParallel) {
    REQUIRE_PG_SERVER();
    Connection holder(pgConnectString()), waiter(pgConnectString());
    ASSERT_TRUE(holder.ok() && waiter.ok());
    std::string pid = scalarText(waiter.get(), "SELECT pg_backend_pid()::text");
    holder.exec("SELECT pg_advisory_lock(4711)");
    std::atomic<bool> done{false};
    bool waitedOk = false;
    std::thread blocked([&] {
        waitedOk = dbcapi_execute_immediate(waiter.get(), "SELECT pg_advisory_lock(4711), pg_advisory_unlock(4711)");
        done = true;
    });
    // The holder keeps working while the waiter's call blocks on the server.
    awaitRunning(holder.get(), pid, "pg_advisory_lock");
    EXPECT_FALSE(done);
    EXPECT_EQ(scalarText(holder.get(), "SELECT 'holder works'"), "holder works");
    holder.exec("SELECT pg_advisory_unlock(4711)");
    blocked.join();
    EXPECT_TRUE(waitedOk) << lastError(waiter.get()).message;
}

TEST(DbcapiPgConnection, ClientInfoBecomesTheApplicationName) {
    REQUIRE_PG_SERVER();
    Connection c(pgConnectString());
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(dbcapi_set_clientinfo(c.get(), "APPLICATION", "zelk-test-app"));
    EXPECT_EQ(scalarText(c.get(), "SELECT current_setting('application_name')"), "zelk-test-app");
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
