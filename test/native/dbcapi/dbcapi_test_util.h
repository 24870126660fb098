// Helpers shared by the dbcapi_* tests of our client library.
#ifndef ZELK_TEST_DBCAPI_UTIL_H
#define ZELK_TEST_DBCAPI_UTIL_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbcapi/dbcapi.h"

namespace dbtest {

struct LastError {
    int32_t code = 0;
    std::string message;
    std::string sqlstate;
};

inline LastError lastError(dbcapi_connection* conn) {
    LastError e;
    size_t length = dbcapi_error_length(conn);
    char state[6] = {0};
    dbcapi_sqlstate(conn, state, sizeof state);
    e.sqlstate = state;
    std::vector<char> text(length + 1, '\0');
    e.code = dbcapi_error(conn, text.data(), length);
    e.message = text.data();
    return e;
}

// A connected connection, freed at the end of the test.
class Connection {
public:
    explicit Connection(const std::string& connectString = "") {
        conn_ = dbcapi_new_connection();
        ok_ = dbcapi_connect(conn_, connectString.c_str()) != 0;
    }
    ~Connection() {
        if (conn_) {
            dbcapi_disconnect(conn_);
            dbcapi_free_connection(conn_);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    dbcapi_connection* get() const { return conn_; }
    bool ok() const { return ok_; }
    void exec(const char* sql) const {
        ASSERT_TRUE(dbcapi_execute_immediate(conn_, sql)) << sql << ": " << lastError(conn_).message;
    }

private:
    dbcapi_connection* conn_ = nullptr;
    bool ok_ = false;
};

// Reads column col of the current row as text through dbcapi_get_column.
inline std::string textOf(dbcapi_stmt* stmt, uint32_t col) {
    dbcapi_data_value v{};
    if (!dbcapi_get_column(stmt, col, &v)) return "<error>";
    if (*v.is_null) return "<null>";
    return std::string(v.buffer, *v.length);
}

inline int64_t int64Of(dbcapi_stmt* stmt, uint32_t col) {
    dbcapi_data_value v{};
    EXPECT_TRUE(dbcapi_get_column(stmt, col, &v));
    EXPECT_EQ(v.type, DBCAPI_VAL64);
    int64_t out = 0;
    std::memcpy(&out, v.buffer, sizeof out);
    return out;
}

inline int64_t scalar(dbcapi_connection* conn, const char* sql) {
    dbcapi_stmt* stmt = dbcapi_execute_direct(conn, sql);
    EXPECT_NE(stmt, nullptr) << sql << ": " << lastError(conn).message;
    if (!stmt) return -1;
    EXPECT_TRUE(dbcapi_fetch_next(stmt));
    int64_t v = int64Of(stmt, 0);
    dbcapi_free_stmt(stmt);
    return v;
}

}  // namespace dbtest

#endif
