#include "read_target.h"

#include <string.h>

#include <new>

namespace {

char* arrayBytes(const Napi::TypedArray& array) {
    return static_cast<char*>(array.ArrayBuffer().Data()) + array.ByteOffset();
}

void outOfMemory(ErrorInfo& error) {
    getErrorMsg(JS_ERR_OUT_OF_MEMORY, error);
}

}  // namespace

void ReadTarget::aim(const Napi::TypedArray& array, size_t offset, size_t length, bool synchronous) {
    offset_ = offset;
    length_ = length;
    synchronous_ = synchronous;
    if (synchronous) {
        direct_ = arrayBytes(array) + offset;
        return;
    }
    array_ = Napi::Persistent(array.As<Napi::Object>());
}

char* ReadTarget::bytes(ErrorInfo& error) {
    if (synchronous_) {
        return direct_;
    }
    owned_.reset(new (std::nothrow) char[length_ > 0 ? length_ : 1]);
    if (!owned_) {
        outOfMemory(error);
    }
    return owned_.get();
}

bool ReadTarget::deliver(size_t count, ErrorInfo& error) {
    if (synchronous_ || count == 0) {
        return true;
    }
    Napi::TypedArray array = array_.Value().As<Napi::TypedArray>();
    if (array.ArrayBuffer().IsDetached()) {
        error = ErrorInfo(JS_ERR_INVALID_ARGUMENTS, "getData buffer was detached before the data arrived.", "HY000");
        return false;
    }
    if (offset_ + count > array.ByteLength()) {
        error = ErrorInfo(JS_ERR_INVALID_ARGUMENTS,
                          "getData buffer is not large enough to copy length bytes to bufferOffset.", "HY000");
        return false;
    }
    memcpy(arrayBytes(array) + offset_, owned_.get(), count);
    return true;
}

bool ChunkCopy::take(const Napi::Buffer<char>& buffer, ErrorInfo& error) {
    length_ = buffer.Length();
    bytes_.reset(new (std::nothrow) char[length_ > 0 ? length_ : 1]);
    if (!bytes_) {
        outOfMemory(error);
        return false;
    }
    if (length_ > 0) {  // an empty Buffer has no data pointer
        memcpy(bytes_.get(), buffer.Data(), length_);
    }
    return true;
}
