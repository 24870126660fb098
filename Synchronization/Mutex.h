// Mutex owned by an execution context, recursive for its owner.
//
//   SynchronizationClient::Mutex m("queue", "scheduler");
//   m.lock();  m.lock();  m.unlock();  m.unlock();   // recursive per context
//   if (m.tryLock()) { ...; m.unlock(); }
//   std::lock_guard<SynchronizationClient::Mutex> guard(m);
//
// Unlocking a mutex the caller's context does not own raises Diagnose::AssertError.
// The lock(Context&) forms skip the thread-local look-up; pass the caller's own context.
#pragma once

#include "Execution/Context.h"
#include "Synchronization/SystemMutex.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace SynchronizationClient {

// Names a primitive for diagnostics.
struct StatsSpec {
    StatsSpec(const char* specName) : name(specName ? specName : "") {}
    std::string name;
};

class CondVariable;

class Mutex {
public:
    explicit Mutex(const StatsSpec& stats);
    Mutex(const char* name, const char* component);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void lock(ExecutionClient::Context& self);
    void unlock();
    void unlock(ExecutionClient::Context& self);
    bool tryLock();
    bool tryLock(ExecutionClient::Context& self);

    bool isSelfOwned() const;
    bool isSelfOwned(const ExecutionClient::Context& self) const;
    // Meaningful for the owner only; 0 when free.
    std::uint32_t getLockCount() const { return m_lockCount.load(std::memory_order_relaxed); }
    // Null when free.
    const ExecutionClient::Context* getOwner() const { return m_owner.load(std::memory_order_relaxed); }
    const std::string& getName() const { return m_name; }

private:
    friend class CondVariable;

    void takeOwnership(ExecutionClient::Context& self, std::uint32_t lockCount);
    void clearOwnership();
    std::string notOwnedMessage(const ExecutionClient::Context& self) const;

    std::string m_name;
    SystemMutex m_systemMutex;
    std::atomic<ExecutionClient::Context*> m_owner{nullptr};
    std::atomic<long> m_ownerThreadId{0};
    std::atomic<std::uint32_t> m_lockCount{0};
};

} // namespace SynchronizationClient
