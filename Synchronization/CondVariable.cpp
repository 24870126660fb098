#include "Synchronization/CondVariable.h"

#include "Execution/Assertion.h"
#include "Synchronization/Deadline.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace SynchronizationClient {

using ExecutionClient::Context;

namespace {

void assertPosixCall(int rc, const char* call)
{
    ZELK_ASSERT_MSG(rc == 0, std::string(call) + " failed: " + std::strerror(rc));
}

} // namespace

SystemCondVariable::SystemCondVariable()
{
    assertPosixCall(pthread_cond_init(&m_cond, nullptr), "pthread_cond_init");
}

SystemCondVariable::~SystemCondVariable()
{
    int rc = pthread_cond_destroy(&m_cond);
    if (rc != 0)
        Diagnose::report("SystemCondVariable at " + Diagnose::pointerText(this) +
                         " destroyed while in use: " + std::strerror(rc));
}

int SystemCondVariable::waitUntil(SystemMutex& mutex, const timespec* deadline)
{
    ZELK_ASSERT(mutex.isSelfOwned());
    ZELK_ASSERT(mutex.getLockCount() != 0);
    std::uint32_t lockCount = mutex.releaseOwnershipForWait();
    int rc = deadline ? pthread_cond_timedwait(&m_cond, &mutex.m_mutex, deadline)
                      : pthread_cond_wait(&m_cond, &mutex.m_mutex);
    mutex.restoreOwnershipAfterWait(lockCount);
    return rc;
}

void SystemCondVariable::wait(SystemMutex& mutex)
{
    assertPosixCall(waitUntil(mutex, nullptr), "pthread_cond_wait");
}

bool SystemCondVariable::timedWait(SystemMutex& mutex, unsigned long microseconds)
{
    timespec deadline = deadlineAfter(microseconds);
    int rc = waitUntil(mutex, &deadline);
    if (rc == ETIMEDOUT)
        return true;
    assertPosixCall(rc, "pthread_cond_timedwait");
    return false;
}

void SystemCondVariable::signal()
{
    assertPosixCall(pthread_cond_signal(&m_cond), "pthread_cond_signal");
}

void SystemCondVariable::broadcast()
{
    assertPosixCall(pthread_cond_broadcast(&m_cond), "pthread_cond_broadcast");
}

CondVariable::CondVariable(const StatsSpec& stats) : m_name(stats.name)
{
}

bool CondVariable::waitOwned(Mutex& mutex, const unsigned long* microseconds)
{
    Context& self = Context::current();
    ZELK_ASSERT(mutex.isSelfOwned(self));
    ZELK_ASSERT(mutex.getLockCount() != 0);
    std::uint32_t lockCount = mutex.getLockCount();
    mutex.clearOwnership();
    bool timedOut = false;
    try {
        if (microseconds)
            timedOut = m_systemCondVariable.timedWait(mutex.m_systemMutex, *microseconds);
        else
            m_systemCondVariable.wait(mutex.m_systemMutex);
    } catch (...) {
        mutex.takeOwnership(self, lockCount);
        throw;
    }
    bool wasClear = mutex.getOwner() == nullptr && mutex.getLockCount() == 0;
    mutex.takeOwnership(self, lockCount);
    ZELK_ASSERT_MSG(wasClear, "Assertion failed: mutex owner and lock count clear after wait");
    return timedOut;
}

void CondVariable::wait(Mutex& mutex)
{
    waitOwned(mutex, nullptr);
}

bool CondVariable::timedWait(Mutex& mutex, unsigned long microseconds)
{
    return waitOwned(mutex, &microseconds);
}

void CondVariable::signal()
{
    m_systemCondVariable.signal();
}

void CondVariable::broadcast()
{
    m_systemCondVariable.broadcast();
}

} // namespace SynchronizationClient
