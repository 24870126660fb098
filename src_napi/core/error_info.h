// The error record that travels from a work function to its completion, and
// the module's own error codes. Nothing here touches JavaScript values.
#ifndef ZELK_ERROR_INFO_H
#define ZELK_ERROR_INFO_H

#include <string>

#include "dbcapi/dbcapi.h"

enum ModuleErrorCode {
    JS_ERR_INVALID_OBJECT = -20001,
    JS_ERR_INVALID_ARGUMENTS = -20002,
    JS_ERR_INVALID_INDEX = -20003,
    JS_ERR_CONNECTED = -20004,
    JS_ERR_INITIALIZING_DBCAPI = -20005,
    JS_ERR_NOT_CONNECTED = -20006,
    JS_ERR_BINDING_PARAMETERS = -20007,
    JS_ERR_GENERAL_ERROR = -20008,
    JS_ERR_RESULTSET = -20009,
    JS_ERR_NO_WIDE_STATEMENTS = -20010,
    JS_ERR_INVALID_TYPE_CONVERSION = -20011,
    JS_ERR_TOO_MANY_PARAMETERS = -20013,
    JS_ERR_NOT_ENOUGH_PARAMETERS = -20014,
    JS_ERR_RESULTSET_CLOSED = -20015,
    JS_ERR_STATEMENT_DROPPED = -20016,
    JS_ERR_ALLOCATION_FAILED = -20017,
    JS_ERR_STRING_TOO_LONG = -20018,
    JS_ERR_INVALID_DATA_TYPE = -20019,
    JS_ERR_RESULTSET_OPEN = -20020,
    JS_ERR_OUT_OF_MEMORY = -20021,
    JS_ERR_INVALID_PARAMETER_INDEX = -20022,
    JS_ERR_TOO_MANY_CONNECTIONS = -20023,
    JS_ERR_RESULTSET_LIMIT = -20024,
    JS_ERR_MUTEX_INIT = -20025,
    JS_ERR_COND_INIT = -20026,
    JS_ERR_DISCONNECTED_DURING_PREPARE = -20029
};

// Holds an error exactly when message is non-empty; a code alone is success.
class ErrorInfo {
public:
    int code;
    std::string message;
    std::string sqlState;

    ErrorInfo() : code(0) {}
    ErrorInfo(int c, const std::string& m, const std::string& s) : code(c), message(m), sqlState(s) {}

    bool isSet() const { return !message.empty(); }
    void clearMessage() {
        message.clear();
        sqlState.clear();
    }
};

// The module's table message of a code ("Unknown Error" when it has none).
void getErrorMsg(int code, ErrorInfo& e);
// Copies the client library's pending error of conn; leaves e alone when
// there is none. The caller holds the connection lock.
void getErrorMsg(dbcapi_connection* conn, ErrorInfo& e);
void getErrorMsgBindingParam(ErrorInfo& e, int index);
void getErrorMsgInvalidParam(ErrorInfo& e, int index);
void getErrorMsgIP(int index, const char* functionSignature, const char* expected,
                   const char* received, ErrorInfo& e);

// JavaScript type mask used in argument messages.
enum JSTypeBit : unsigned {
    JS_UNDEFINED = 1,
    JS_NULL = 2,
    JS_STRING = 4,
    JS_BOOLEAN = 8,
    JS_NUMBER = 16,
    JS_FUNCTION = 32,
    JS_ARRAY = 64,
    JS_OBJECT = 128,
    JS_BUFFER = 256,
    JS_SYMBOL = 512,
    JS_RESERVED = 1024,
    JS_UNKNOWN_TYPE = 2048
};
std::string getJSTypeName(unsigned mask);

// Mutex and condition-variable initialisation through libuv, with the
// module's messages. The uv types are passed as opaque pointers so that this
// header stays free of uv.h.
const char* mutexInitMessage(int err);
const char* condInitMessage(int err);

#endif
