// Every way to hold a connection's connMutex.
//
// Lock order: a connection's connMutex first; then its warningsMutex, or
// either the pool mutex or the open-connections mutex (pool.h). The pool and
// open-connections mutexes are never held together, and no connMutex is
// taken while any of the others is held.
#include "connection.h"
#include "resultset.h"
#include "statement.h"

ConnectionLock::ConnectionLock(Connection* connection) : connection_(connection), mutex_(nullptr) {
    if (connection_ != nullptr) {
        mutex_ = connection_->getConnMutex();
        uv_mutex_lock(mutex_);
    }
}

ConnectionLock::ConnectionLock(Statement* statement)
    : ConnectionLock(statement != nullptr ? statement->connection : nullptr) {}

ConnectionLock::ConnectionLock(ResultSet* resultSet)
    : ConnectionLock(resultSet != nullptr ? resultSet->statement : static_cast<Statement*>(nullptr)) {}

// Handles of statements and result sets the collector took are freed by
// the next holder of the lock, which is the only one allowed to.
ConnectionLock::~ConnectionLock() {
    if (connection_ != nullptr) {
        connection_->freeOrphanedHandles();
    }
    if (mutex_ != nullptr) {
        uv_mutex_unlock(mutex_);
    }
}

bool ConnectionLock::requireValid(ErrorInfo& error) const {
    if (isValid()) {
        return true;
    }
    getErrorMsg(JS_ERR_NOT_CONNECTED, error);
    return false;
}
