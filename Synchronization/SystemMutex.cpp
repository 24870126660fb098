#include "Synchronization/SystemMutex.h"

#include "Execution/Assertion.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace SynchronizationClient {

namespace {

void assertPosixCall(int rc, const char* call)
{
    ZELK_ASSERT_MSG(rc == 0, std::string(call) + " failed: " + std::strerror(rc));
}

} // namespace

SystemMutex::SystemMutex()
{
    assertPosixCall(pthread_mutex_init(&m_mutex, nullptr), "pthread_mutex_init");
}

SystemMutex::~SystemMutex()
{
    int rc = pthread_mutex_destroy(&m_mutex);
    if (rc != 0)
        Diagnose::report("SystemMutex at " + Diagnose::pointerText(this) +
                         " destroyed while in use: " + std::strerror(rc));
}

bool SystemMutex::isSelfOwned() const
{
    return pthread_equal(m_owner.load(std::memory_order_relaxed), pthread_self()) != 0;
}

void SystemMutex::takeOwnership()
{
    m_owner.store(pthread_self(), std::memory_order_relaxed);
    m_lockCount.store(1, std::memory_order_relaxed);
}

void SystemMutex::lock()
{
    if (isSelfOwned()) {
        m_lockCount.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    assertPosixCall(pthread_mutex_lock(&m_mutex), "pthread_mutex_lock");
    takeOwnership();
}

bool SystemMutex::tryLock()
{
    if (isSelfOwned()) {
        m_lockCount.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    int rc = pthread_mutex_trylock(&m_mutex);
    if (rc == EBUSY)
        return false;
    assertPosixCall(rc, "pthread_mutex_trylock");
    takeOwnership();
    return true;
}

void SystemMutex::unlock()
{
    ZELK_ASSERT_MSG(isSelfOwned(), "SystemMutex at " + Diagnose::pointerText(this) +
                                       " not locked when unlocking by thread " +
                                       std::to_string(static_cast<unsigned long>(pthread_self())));
    if (m_lockCount.fetch_sub(1, std::memory_order_relaxed) > 1)
        return;
    m_owner.store(0, std::memory_order_relaxed);
    assertPosixCall(pthread_mutex_unlock(&m_mutex), "pthread_mutex_unlock");
}

std::uint32_t SystemMutex::releaseOwnershipForWait()
{
    ZELK_ASSERT(isSelfOwned());
    std::uint32_t lockCount = m_lockCount.exchange(0, std::memory_order_relaxed);
    m_owner.store(0, std::memory_order_relaxed);
    return lockCount;
}

void SystemMutex::restoreOwnershipAfterWait(std::uint32_t lockCount)
{
    bool wasClear = m_owner.load(std::memory_order_relaxed) == 0 &&
                    m_lockCount.load(std::memory_order_relaxed) == 0;
    m_owner.store(pthread_self(), std::memory_order_relaxed);
    m_lockCount.store(lockCount, std::memory_order_relaxed);
    ZELK_ASSERT_MSG(wasClear, "Assertion failed: system mutex owner and lock count clear after wait");
}

} // namespace SynchronizationClient
