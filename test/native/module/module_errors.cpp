// Error records, the code table, the client library's error copy and the
// type-mask names of argument messages.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "dbcapi/DBCAPI_DLL.h"
#include "error_info.h"

namespace {

std::string tableMessage(int code) {
    ErrorInfo e;
    getErrorMsg(code, e);
    EXPECT_EQ(code, e.code);
    EXPECT_EQ("HY000", e.sqlState);
    return e.message;
}

TEST(ErrorTable, CodesWithoutTextAreUnknown) {
    EXPECT_EQ("Unknown Error", tableMessage(-20020));
    EXPECT_EQ("Unknown Error", tableMessage(-20011));
    EXPECT_EQ("Unknown Error", tableMessage(-20025));
    EXPECT_EQ("Unknown Error", tableMessage(0));
    EXPECT_EQ("Result set data size was larger than resultSetArrayLimitMB", tableMessage(-20024));
    EXPECT_EQ("Can't initialize DBCAPI", tableMessage(-20005));
    EXPECT_EQ("Invalid parameter index.", tableMessage(-20022));
}

TEST(ErrorRecord, OnlyAMessageMakesAnError) {
    EXPECT_FALSE(ErrorInfo(-20002, "", "HY000").isSet());
    ErrorInfo e;
    getErrorMsgIP(0, "setTimeout(timeout)", "number", "string", e);
    EXPECT_EQ("Invalid parameter 0 for function 'setTimeout(timeout)': expected number, received string.", e.message);
    getErrorMsgBindingParam(e, 3);
    EXPECT_EQ(-20007, e.code);
    EXPECT_EQ("Can not bind parameter(3).", e.message);
    getErrorMsgInvalidParam(e, 12);
    EXPECT_EQ("Invalid argument(12).", e.message);
}

size_t g_errorLength = 0;

TEST(LibraryError, CopiedWhenPendingAndLeftAloneWhenNot) {
    memset(&g_api, 0, sizeof(g_api));
    g_api.dbcapi_error_length = [](dbcapi_connection*) { return g_errorLength; };
    g_api.dbcapi_sqlstate = [](dbcapi_connection*, char* buffer, size_t size) {
        return static_cast<size_t>(snprintf(buffer, size, "42S02"));
    };
    g_api.dbcapi_error = [](dbcapi_connection*, char* buffer, size_t size) {
        snprintf(buffer, size, "no such table: t");
        return 1;
    };
    ErrorInfo earlier(-20006, "No Connection Available", "HY000");
    g_errorLength = 0;
    getErrorMsg(static_cast<dbcapi_connection*>(nullptr), earlier);
    EXPECT_EQ(-20006, earlier.code);
    EXPECT_EQ("No Connection Available", earlier.message);
    g_errorLength = strlen("no such table: t") + 1;
    getErrorMsg(static_cast<dbcapi_connection*>(nullptr), earlier);
    EXPECT_EQ(1, earlier.code);
    EXPECT_EQ("no such table: t", earlier.message);
    EXPECT_EQ("42S02", earlier.sqlState);
}

TEST(InitMessages, ByErrorKind) {
    EXPECT_STREQ("Insufficient memory exists to initialise the mutex.", mutexInitMessage(ENOMEM));
    EXPECT_STREQ("The caller does not have the privilege to perform the operation.", mutexInitMessage(EPERM));
    EXPECT_STREQ("Failed to initialise the mutex.", mutexInitMessage(EINVAL));
    EXPECT_STREQ("Failed to initialise the condition variable.", condInitMessage(EPERM));
    EXPECT_STREQ("The system lacked the necessary resources (other than memory) to initialise another condition "
                 "variable.",
                 condInitMessage(EAGAIN));
}

}  // namespace
