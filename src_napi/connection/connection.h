// Connection: one client-library connection handle, the statements prepared
// on it, its warnings and trace, and the parameters it connects with.
// connection/ also holds exec and prepare, client info, the connection
// string and parameters, the pool, and connection_lock.cpp (lock order).
#ifndef ZELK_CONNECTION_H
#define ZELK_CONNECTION_H

#include <napi.h>
#include <uv.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "conn_params.h"
#include "error_info.h"
#include "execute_baton.h"
#include "pool.h"

class Statement;
class ResultSet;
class FetchReuseByText;

struct warningMessage {
    int code;
    std::string* message;
    std::string* sqlState;
    ~warningMessage() {
        delete message;
        delete sqlState;
    }
};

class Connection : public Napi::ObjectWrap<Connection> {
public:
    static void Init(Napi::Env env, Napi::Object exports);
    // Runs the connection hook on the new object; empty when construction threw.
    static Napi::Value NewInstance(Napi::Value arg);

    explicit Connection(const Napi::CallbackInfo& info);
    ~Connection() override;

    const ErrorInfo& constructionError() const { return errorInfo; }

    // Object graph (every call on the JavaScript thread).
    void addStatement(Statement* statement);
    void removeStatement(Statement* statement);
    // A statement being finalized leaves the list and hands its handle over.
    void forgetStatement(Statement* statement);
    // What collected statements and result sets leave to undo on their
    // handles (JavaScript thread); run by the next holder of connMutex.
    void orphanStatementHandle(dbcapi_stmt* handle);
    void addOrphanedWork(std::function<void()> work);
    void freeOrphanedHandles();

    // Connection lock and validity, for work of the connection's children.
    uv_mutex_t* getConnMutex() { return &connMutex; }
    bool isValid() const { return conn != nullptr && connected && !disconnecting && !closed; }
    bool isDisconnecting() const { return disconnecting; }
    dbcapi_connection* handle() const { return conn; }

    bool getFastInternalRowsDefault() const { return settings.fastInternalRows; }
    int getResultSetArrayLimit() const { return settings.resultSetArrayLimit; }
    bool getResultSetCanBind() const { return settings.resultSetCanBind; }
    int getRowSetSize() const { return rowSetSize; }

    // Trace and warnings.
    void doTraceCallback(Napi::Env env);
    void clearWarnings();
    static void warningCallback(dbcapi_stmt* stmt, const char* message, int32_t code, const char* sqlState,
                                void* context);

private:
    friend class Statement;

    // Methods (connection.cpp).
    Napi::Value connect(const Napi::CallbackInfo& info);
    Napi::Value disconnect(const Napi::CallbackInfo& info);
    Napi::Value commit(const Napi::CallbackInfo& info);
    Napi::Value rollback(const Napi::CallbackInfo& info);
    Napi::Value abort(const Napi::CallbackInfo& info);
    Napi::Value getAutoCommit(const Napi::CallbackInfo& info);
    Napi::Value setAutoCommit(const Napi::CallbackInfo& info);
    Napi::Value setRowSetSize(const Napi::CallbackInfo& info);
    Napi::Value state(const Napi::CallbackInfo& info);
    Napi::Value clearPool(const Napi::CallbackInfo& info);
    Napi::Value getPooledConnectionCount(const Napi::CallbackInfo& info);
    Napi::Value getOpenConnectionCount(const Napi::CallbackInfo& info);

    // Direct execute (connection_exec.cpp).
    Napi::Value execInternal(const Napi::CallbackInfo& info);
    void executeWork(ErrorInfo& error, void* baton);
    Napi::Value executeAfter(ErrorInfo& error, void* baton, Napi::Env env);

    // Prepare (connection_prepare.cpp).
    Napi::Value prepare(const Napi::CallbackInfo& info);
    void prepareWork(ErrorInfo& error, void* baton);
    Napi::Value prepareAfter(ErrorInfo& error, void* baton, Napi::Env env);

    // Client information, trace and warnings (client_info.cpp).
    Napi::Value getClientInfo(const Napi::CallbackInfo& info);
    Napi::Value setClientInfo(const Napi::CallbackInfo& info);
    Napi::Value onTrace(const Napi::CallbackInfo& info);
    Napi::Value getWarnings(const Napi::CallbackInfo& info);
    void enableTraceBuffering();
    void clearTraceCallback();
    void addWarning(int code, const char* message, const char* sqlState);

    // Work and after-functions (connection.cpp).
    void connectWork(ErrorInfo& error, void* baton);
    Napi::Value connectAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void disconnectWork(ErrorInfo& error, void* baton);
    Napi::Value disconnectAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void commitWork(ErrorInfo& error, void* baton);
    void rollbackWork(ErrorInfo& error, void* baton);
    Napi::Value transactionAfter(ErrorInfo& error, void* baton, Napi::Env env);
    void abortWork(ErrorInfo& error, void* baton);
    void clearPoolWork(ErrorInfo& error, void* baton);
    Napi::Value clearPoolAfter(ErrorInfo& error, void* baton, Napi::Env env);

    bool openHandle(ErrorInfo& error);
    void parkOrClose(ErrorInfo& error);
    bool resetForPool(ErrorInfo& error);
    // False (error set, the parameters dropped) for a refused property.
    bool takeParameters(Napi::Value params, ErrorInfo& error);
    void completeConnectionString();
    void clearConnProps();

    dbcapi_connection* conn = nullptr;
    std::unique_ptr<FetchReuseByText> execReuse;  // work functions only, under connMutex
    SpareBaton spareBaton;
    bool useExternalHandle = false;
    int64_t externalHandle = 0;
    bool autoCommit = true;
    uv_mutex_t connMutex;
    bool connMutexInitialised = false;
    uv_mutex_t warningsMutex;
    bool warningsMutexInitialised = false;
    std::vector<warningMessage*> warnings;
    bool connected = false;
    bool closed = false;
    bool disconnecting = false;
    // Counts successful connects, so a completion can tell that its handle
    // came from a session that has since been closed and replaced.
    std::atomic<uint32_t> sessionCount{0};
    std::string connStr;
    bool connStrPending = true;
    ConnectionSettings settings;
    TimePoint connectTime;
    std::vector<std::string> clientInfoKeys;
    std::vector<std::string*> propNames;   // owned
    std::vector<std::string*> propValues;  // owned
    bool propsFromObject = false;
    int rowSetSize;
    // Lock order: connMutex, statementsMutex, orphansMutex.
    // A set: collected statements leave it one by one, out of any order.
    std::unordered_set<Statement*> statements;
    std::mutex statementsMutex;
    std::mutex orphansMutex;
    std::vector<std::function<void()>> orphanedWork;
    ErrorInfo errorInfo;
    Napi::FunctionReference traceCallback;
    std::string traceOptions;
    bool traceBufferingPending = false;
};

// Scoped holder of a connection's connMutex, built from the connection or
// from one of its children (connection_lock.cpp, with the lock order).
class ConnectionLock {
public:
    explicit ConnectionLock(Connection* connection);
    explicit ConnectionLock(Statement* statement);
    explicit ConnectionLock(ResultSet* resultSet);
    ~ConnectionLock();
    ConnectionLock(const ConnectionLock&) = delete;
    ConnectionLock& operator=(const ConnectionLock&) = delete;

    bool isValid() const { return connection_ != nullptr && connection_->isValid(); }
    // isValid(), recording "not connected" in error when it is not.
    bool requireValid(ErrorInfo& error) const;
    Connection* connection() const { return connection_; }

private:
    Connection* connection_;
    uv_mutex_t* mutex_;
};

#endif
