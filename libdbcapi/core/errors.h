// Per-connection error state and the library's own error codes.
#ifndef ZKV_ERRORS_H
#define ZKV_ERRORS_H

#include <cstdint>
#include <string>

#include "backend.h"

namespace zkv {

// SQLite failures keep SQLite's extended result code (1..~6000). The
// library's own failures use 10001 and up; 100 is only "no more rows".
enum ErrorCode : int32_t {
    kNoMoreRows = DBCAPI_NO_MORE_ROWS,
    kNotConnected = 10001,
    kConnectFailed = 10002,
    kSequenceError = 10003,
    kInvalidIndex = 10004,
    kDataTooLong = 10005,
    kOutOfRange = 10006,
    kInvalidCast = 10007,
    kNotSupported = 10008,
    kTimedOut = 10009,
    kInvalidSchema = 10010,
    kInvalidArgument = 10011,
    kInvalidHandle = 10012,
    kServerError = 10013,
    kInterrupted = 10014,
    kConnectionLost = 10015,
};

class ErrorState {
public:
    void clear() {
        code_ = 0;
        message_.clear();
        sqlstate_.clear();
    }
    void set(int32_t code, const char* sqlstate, std::string message) {
        code_ = code;
        sqlstate_ = sqlstate;
        message_ = std::move(message);
    }
    void set(const BackendError& err) { set(err.code, err.sqlstate.c_str(), err.message); }
    int32_t code() const { return code_; }
    const std::string& message() const { return message_; }
    const std::string& sqlstate() const { return sqlstate_; }

private:
    int32_t code_ = 0;
    std::string message_;
    std::string sqlstate_;
};

BackendError makeError(int32_t code, const char* sqlstate, std::string message);
class ErrorState;
ErrorState& connectionlessError();

}  // namespace zkv

#endif
