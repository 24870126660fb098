// Where a read into a script's typed array lands. A synchronous call writes
// straight into the array. An asynchronous one reads into memory of its own
// and its completion copies the bytes over: while the call waits, the
// script may transfer or detach the array, which frees its memory.
#ifndef ZELK_READ_TARGET_H
#define ZELK_READ_TARGET_H

#include <napi.h>

#include <memory>

#include "error_info.h"

class ReadTarget {
public:
    // JavaScript thread, when the call is made.
    void aim(const Napi::TypedArray& array, size_t offset, size_t length, bool synchronous);
    // Work function: length bytes to read into; null, with error set, when
    // they cannot be had.
    char* bytes(ErrorInfo& error);
    size_t length() const { return length_; }
    // After-function: puts count read bytes into the array; false, with
    // error set, when it was detached or shrank meanwhile.
    bool deliver(size_t count, ErrorInfo& error);

private:
    Napi::ObjectReference array_;
    size_t offset_ = 0;
    size_t length_ = 0;
    bool synchronous_ = false;
    char* direct_ = nullptr;
    std::unique_ptr<char[]> owned_;
};

// The bytes of a Buffer passed to an asynchronous call, copied when the
// call is made, for the same reason.
class ChunkCopy {
public:
    // False, with error set, when the copy cannot be allocated.
    bool take(const Napi::Buffer<char>& buffer, ErrorInfo& error);
    const char* data() const { return bytes_.get(); }
    size_t length() const { return length_; }

private:
    std::unique_ptr<char[]> bytes_;
    size_t length_ = 0;
};

#endif
