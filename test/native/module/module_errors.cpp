// Error records, the code table and the messages of failed lock set-ups
// (the copy of the library's error and the type names of argument messages
// show in the JavaScript tests).
#include <errno.h>
#include <gtest/gtest.h>

#include <string>

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

// The argument and binding messages show in the JavaScript tests.
TEST(ErrorRecord, OnlyAMessageMakesAnError) {
    EXPECT_FALSE(ErrorInfo(-20002, "", "HY000").isSet());
    ErrorInfo e;
    getErrorMsgInvalidParam(e, 12);
    EXPECT_TRUE(e.isSet());
    EXPECT_EQ("Invalid argument(12).", e.message);
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
