#include "pool.h"

#include <stdlib.h>
#include <strings.h>
#include <sys/time.h>

#include "dbcapi/DBCAPI_DLL.h"

ConnectionPoolManager g_conn_pool_manager;
int g_max_pool_size = 0;

namespace {

int g_pooled_connections = 0;
int g_open_connections = 0;
uint32_t g_max_open_connections = 0;
bool g_max_open_connections_set = false;

uv_mutex_t* getOpenConnectionsMutex() {
    static uv_mutex_t* mutex = [] {
        auto* m = new uv_mutex_t;
        uv_mutex_init(m);
        return m;
    }();
    return mutex;
}

void readOpenConnectionLimit() {
    if (g_max_open_connections_set) {
        return;
    }
    g_max_open_connections_set = true;
    const char* value = getenv("ZKV_NODEJS_MAX_OPEN_CONNECTIONS");
    if (value != nullptr && *value != '\0') {
        g_max_open_connections = static_cast<uint32_t>(strtol(value, nullptr, 10));
    }
}

}  // namespace

TimePoint TimePoint::getCurrentTime() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    TimePoint point;
    point.seconds = now.tv_sec;
    point.microseconds = now.tv_usec;
    return point;
}

int64_t getTimeDiff(const TimePoint& later, const TimePoint& earlier) {
    return (static_cast<int64_t>(later.seconds) * 1000000 + later.microseconds) -
           (static_cast<int64_t>(earlier.seconds) * 1000000 + earlier.microseconds);
}

int64_t TimePoint::getTimeDiffNow() const {
    return getTimeDiff(getCurrentTime(), *this);
}

void closeConnectionHandle(dbcapi_connection* handle, bool disconnect) {
    if (disconnect) {
        g_api.dbcapi_disconnect(handle);
    }
    g_api.dbcapi_free_connection(handle);
}

ConnectionPoolManager::ConnectionPoolManager() {
    uv_mutex_init(&poolMutex);
}

ConnectionPoolManager::~ConnectionPoolManager() {
    int count = 0;
    if (g_api.initialized) {
        clearPool(count);
    }
    uv_mutex_destroy(&poolMutex);
}

bool ConnectionPoolManager::add(const std::string& key, dbcapi_connection* handle, int maxPoolSize,
                                int connectionLifetime, const TimePoint& openTime) {
    if (connectionLifetime > 0 && connectionLifetime <= openTime.getTimeDiffNow() / 1000000.0) {
        return false;
    }
    if (maxPoolSize > 0) {
        int sameKey = 0;
        for (PooledConnection* entry = head; entry != nullptr; entry = entry->next) {
            sameKey += (*entry->key == key) ? 1 : 0;
        }
        if (sameKey >= maxPoolSize) {
            return false;
        }
    }
    head = new PooledConnection{new std::string(key), handle, head, openTime};
    g_pooled_connections++;
    return true;
}

int ConnectionPoolManager::getConnectionCount(const std::string& key) const {
    int count = 0;
    for (PooledConnection* entry = head; entry != nullptr; entry = entry->next) {
        if (key.empty() || strcasecmp(entry->key->c_str(), key.c_str()) == 0) {
            count++;
        }
    }
    return count;
}

int ConnectionPoolManager::getConnectionCount() const {
    return getConnectionCount(std::string());
}

PooledConnection* ConnectionPoolManager::takeEntry(const std::string& key) {
    uv_mutex_lock(&poolMutex);
    PooledConnection** link = &head;
    while (*link != nullptr && *(*link)->key != key) {
        link = &(*link)->next;
    }
    PooledConnection* entry = *link;
    if (entry != nullptr) {
        *link = entry->next;
        g_pooled_connections--;
    }
    uv_mutex_unlock(&poolMutex);
    return entry;
}

// Dead handles for the key are closed one by one until a live one is found.
dbcapi_connection* ConnectionPoolManager::allocate(const std::string& key, TimePoint& openTime, bool ping,
                                                   const char* traceOptions) {
    while (PooledConnection* entry = takeEntry(key)) {
        if (traceOptions != nullptr) {
            g_api.dbcapi_enable_trace_buffering(entry->handle, traceOptions);
        }
        if (!ping || pingConnection(entry)) {
            dbcapi_connection* handle = entry->handle;
            openTime = entry->openTime;
            delete entry;
            return handle;
        }
        closeConnectionHandle(entry->handle, true);
        delete entry;
    }
    return nullptr;
}

bool ConnectionPoolManager::pingConnection(PooledConnection* entry) {
    g_api.dbcapi_set_clientinfo(entry->handle, "TEST_ALL_PLXQRM_PCONN", "TRUE");
    dbcapi_stmt* stmt = g_api.dbcapi_execute_direct(entry->handle, "SELECT 'ping' FROM DUMMY");
    if (stmt == nullptr) {
        return false;
    }
    g_api.dbcapi_free_stmt(stmt);
    return true;
}

// An earlier failure is forgotten: each call reports only its own.
bool ConnectionPoolManager::clearPool(int& count) {
    uv_mutex_lock(&poolMutex);
    poolError = ErrorInfo();
    count = 0;
    while (head != nullptr) {
        PooledConnection* entry = head;
        head = entry->next;
        if (!g_api.dbcapi_disconnect(entry->handle) && !poolError.isSet()) {
            getErrorMsg(entry->handle, poolError);
        }
        g_api.dbcapi_free_connection(entry->handle);
        delete entry;
        count++;
    }
    g_pooled_connections = 0;
    bool ok = !poolError.isSet();
    uv_mutex_unlock(&poolMutex);
    return ok;
}

bool reserveOpenConnection() {
    UvLock lock(getOpenConnectionsMutex());
    readOpenConnectionLimit();
    if (g_max_open_connections != 0 && static_cast<uint32_t>(g_open_connections) >= g_max_open_connections) {
        return false;
    }
    g_open_connections++;
    return true;
}

void releaseOpenConnection() {
    UvLock lock(getOpenConnectionsMutex());
    if (g_open_connections > 0) {
        g_open_connections--;
    }
}

int getOpenConnectionCount() {
    return g_open_connections;
}
