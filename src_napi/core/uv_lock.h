// Scoped lock of a libuv mutex.
#ifndef ZELK_UV_LOCK_H
#define ZELK_UV_LOCK_H

#include <uv.h>

class UvLock {
public:
    explicit UvLock(uv_mutex_t* mutex) : mutex_(mutex) { uv_mutex_lock(mutex_); }
    ~UvLock() { uv_mutex_unlock(mutex_); }
    UvLock(const UvLock&) = delete;
    UvLock& operator=(const UvLock&) = delete;

private:
    uv_mutex_t* mutex_;
};

#endif
