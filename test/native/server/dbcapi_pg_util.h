// Helpers of the dbcapi_pg_* tests: the server from the environment
// (scripts/pg-test-server.sh start), skipped when none is given.
#ifndef ZELK_TEST_DBCAPI_PG_UTIL_H
#define ZELK_TEST_DBCAPI_PG_UTIL_H

#include <cstdlib>
#include <string>

#include "dbcapi_test_util.h"

namespace dbtest {

inline std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

inline bool pgAvailable() {
    return !env("ZELK_PG_HOST").empty() && !env("ZELK_PG_PORT").empty() && !env("ZELK_PG_USER").empty() &&
           !env("ZELK_PG_DATABASE").empty();
}

#define REQUIRE_PG_SERVER()                                                                                  \
    do {                                                                                                     \
        if (!dbtest::pgAvailable())                                                                          \
            GTEST_SKIP() << "no PostgreSQL server: set ZELK_PG_HOST, ZELK_PG_PORT, ZELK_PG_USER, "           \
                            "ZELK_PG_PASSWORD and ZELK_PG_DATABASE (eval \"$(scripts/pg-test-server.sh start)\")"; \
    } while (0)

inline std::string pgNode() { return env("ZELK_PG_HOST") + ":" + env("ZELK_PG_PORT"); }

inline std::string pgConnectString(const std::string& extra = "") {
    return "ServerNode=" + pgNode() + ";uid=" + env("ZELK_PG_USER") + ";pwd={" + env("ZELK_PG_PASSWORD") +
           "};databaseName=" + env("ZELK_PG_DATABASE") + (extra.empty() ? "" : ";" + extra);
}

inline std::string scalarText(dbcapi_connection* conn, const char* sql) {
    dbcapi_stmt* stmt = dbcapi_execute_direct(conn, sql);
    if (!stmt) return "<error " + lastError(conn).message + ">";
    std::string out = dbcapi_fetch_next(stmt) ? textOf(stmt, 0) : "<no row>";
    dbcapi_free_stmt(stmt);
    return out;
}

}  // namespace dbtest

#endif
