#include "error_info.h"

#include <errno.h>

#include <vector>

#include "dbcapi/DBCAPI_DLL.h"

namespace {

const char* const kUnknownError = "Unknown Error";

const char* tableMessage(int code) {
    switch (code) {
        case JS_ERR_INVALID_OBJECT: return "Invalid Object";
        case JS_ERR_INVALID_ARGUMENTS: return "Invalid Arguments";
        case JS_ERR_INVALID_INDEX: return "Invalid Index";
        case JS_ERR_CONNECTED: return "Already Connected";
        case JS_ERR_INITIALIZING_DBCAPI: return "Can't initialize DBCAPI";
        case JS_ERR_NOT_CONNECTED: return "No Connection Available";
        case JS_ERR_BINDING_PARAMETERS: return "Can not bind parameter(s)";
        case JS_ERR_GENERAL_ERROR: return "An error occurred";
        case JS_ERR_RESULTSET: return "Error making result set Object";
        case JS_ERR_TOO_MANY_PARAMETERS: return "Too many parameters for the SQL statement";
        case JS_ERR_NOT_ENOUGH_PARAMETERS: return "Not enough parameters for the SQL statement";
        case JS_ERR_RESULTSET_CLOSED: return "ResultSet is closed";
        case JS_ERR_STATEMENT_DROPPED: return "Statement is dropped";
        case JS_ERR_ALLOCATION_FAILED: return "Allocation Failed";
        case JS_ERR_STRING_TOO_LONG: return "String is too long";
        case JS_ERR_INVALID_DATA_TYPE: return "Invalid data type";
        case JS_ERR_OUT_OF_MEMORY: return "Out of memory";
        case JS_ERR_INVALID_PARAMETER_INDEX: return "Invalid parameter index.";
        case JS_ERR_TOO_MANY_CONNECTIONS: return "Too many connections";
        case JS_ERR_RESULTSET_LIMIT: return "Result set data size was larger than resultSetArrayLimitMB";
        default: return kUnknownError;
    }
}

const char* const kTypeNames[] = {"undefined", "null",   "string", "boolean", "number", "function",
                                  "array",     "object", "buffer", "symbol",  nullptr,  "unknown type"};

}  // namespace

void getErrorMsg(int code, ErrorInfo& e) {
    e.code = code;
    e.message = tableMessage(code);
    e.sqlState = "HY000";
}

void getErrorMsg(dbcapi_connection* conn, ErrorInfo& e) {
    size_t length = g_api.dbcapi_error_length(conn);
    if (length == 0) {
        return;
    }
    char sqlState[6] = {0};
    g_api.dbcapi_sqlstate(conn, sqlState, sizeof(sqlState));
    std::vector<char> text(length + 1, '\0');
    e.code = g_api.dbcapi_error(conn, text.data(), text.size());
    e.message = text.data();
    e.sqlState = sqlState;
}

void getErrorMsgBindingParam(ErrorInfo& e, int index) {
    e = ErrorInfo(JS_ERR_BINDING_PARAMETERS, "Can not bind parameter(" + std::to_string(index) + ").", "HY000");
}

void getErrorMsgInvalidParam(ErrorInfo& e, int index) {
    e = ErrorInfo(JS_ERR_INVALID_ARGUMENTS, "Invalid argument(" + std::to_string(index) + ").", "HY000");
}

void getErrorMsgIP(int index, const char* functionSignature, const char* expected, const char* received,
                   ErrorInfo& e) {
    std::string message = "Invalid parameter " + std::to_string(index) + " for function '" + functionSignature +
                          "': expected " + expected + ", received " + received + ".";
    e = ErrorInfo(JS_ERR_INVALID_ARGUMENTS, message, "HY000");
}

std::string getJSTypeName(unsigned mask) {
    std::string text;
    for (unsigned bit = 0; bit < 12; bit++) {
        if ((mask & (1u << bit)) == 0 || kTypeNames[bit] == nullptr) {
            continue;
        }
        if (!text.empty()) {
            text += "|";
        }
        text += kTypeNames[bit];
    }
    return text;
}

const char* mutexInitMessage(int err) {
    switch (err) {
        case EAGAIN: return "The system lacked the necessary resources (other than memory) to initialise another mutex.";
        case ENOMEM: return "Insufficient memory exists to initialise the mutex.";
        case EPERM: return "The caller does not have the privilege to perform the operation.";
        case EBUSY:
            return "The system has detected an attempt to re-initialise the object referenced by mutex, a previously "
                   "initialised, but not yet destroyed, mutex.";
        default: return "Failed to initialise the mutex.";
    }
}

const char* condInitMessage(int err) {
    switch (err) {
        case EAGAIN:
            return "The system lacked the necessary resources (other than memory) to initialise another condition "
                   "variable.";
        case ENOMEM: return "Insufficient memory exists to initialise the condition variable.";
        case EBUSY:
            return "The system has detected an attempt to re-initialise the object referenced by cond, a previously "
                   "initialised, but not yet destroyed, condition variable.";
        default: return "Failed to initialise the condition variable.";
    }
}
