// POSIX mutex with owner bookkeeping, recursive for the owning POSIX thread.
//
//   SynchronizationClient::SystemMutex m;
//   m.lock(); m.lock(); m.unlock(); m.unlock();   // recursive for its owner
//   std::lock_guard<SystemMutex> guard(m);        // BasicLockable
//
// Unlocking from a thread that does not own it raises Diagnose::AssertError.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

namespace SynchronizationClient {

class SystemCondVariable;

class SystemMutex {
public:
    SystemMutex();
    ~SystemMutex();
    SystemMutex(const SystemMutex&) = delete;
    SystemMutex& operator=(const SystemMutex&) = delete;

    void lock();
    void unlock();
    bool tryLock();
    bool isSelfOwned() const;
    // Meaningful for the owner only; 0 when free.
    std::uint32_t getLockCount() const { return m_lockCount.load(std::memory_order_relaxed); }

private:
    friend class SystemCondVariable;

    void takeOwnership();
    // Hands the POSIX mutex to a condition wait: clears the bookkeeping, returns the count.
    std::uint32_t releaseOwnershipForWait();
    void restoreOwnershipAfterWait(std::uint32_t lockCount);

    pthread_mutex_t m_mutex;
    std::atomic<pthread_t> m_owner{0};
    std::atomic<std::uint32_t> m_lockCount{0};
};

} // namespace SynchronizationClient
