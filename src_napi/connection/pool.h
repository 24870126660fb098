// The process-wide pool of idle connection handles, keyed by connection
// string, and the count and limit of open connections.
// The lock order is stated in connection_lock.cpp.
#ifndef ZELK_POOL_H
#define ZELK_POOL_H

#include <uv.h>

#include <string>

#include "dbcapi/dbcapi.h"
#include "error_info.h"
#include "uv_lock.h"

struct TimePoint {
    long seconds = 0;
    long microseconds = 0;

    static TimePoint getCurrentTime();
    int64_t getTimeDiffNow() const;  // microseconds since this point
};
int64_t getTimeDiff(const TimePoint& later, const TimePoint& earlier);

struct PooledConnection {
    std::string* key;
    dbcapi_connection* handle;
    PooledConnection* next;
    TimePoint openTime;
    ~PooledConnection() { delete key; }
};

class ConnectionPoolManager {
public:
    ConnectionPoolManager();
    ~ConnectionPoolManager();

    // The caller holds the pool mutex.
    bool add(const std::string& key, dbcapi_connection* handle, int maxPoolSize, int connectionLifetime,
             const TimePoint& openTime);
    int getConnectionCount(const std::string& key) const;
    int getConnectionCount() const;

    // These take the pool mutex themselves.
    dbcapi_connection* allocate(const std::string& key, TimePoint& openTime, bool ping, const char* traceOptions);
    bool clearPool(int& count);
    const ErrorInfo& lastError() const { return poolError; }

    uv_mutex_t* getPoolMutex() { return &poolMutex; }

private:
    PooledConnection* takeEntry(const std::string& key);
    static bool pingConnection(PooledConnection* entry);

    PooledConnection* head = nullptr;
    uv_mutex_t poolMutex;
    ErrorInfo poolError;
};

extern ConnectionPoolManager g_conn_pool_manager;
extern int g_max_pool_size;

class PoolLock : public UvLock {
public:
    PoolLock() : UvLock(g_conn_pool_manager.getPoolMutex()) {}
};

// Open connections: a slot is reserved in the same critical section as the
// limit test, so concurrent connects cannot pass the limit together.
bool reserveOpenConnection();
void releaseOpenConnection();
int getOpenConnectionCount();

// Closes a handle nobody owns any more.
void closeConnectionHandle(dbcapi_connection* handle, bool disconnect);

#endif
