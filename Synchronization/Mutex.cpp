#include "Synchronization/Mutex.h"

#include "Execution/Assertion.h"

namespace SynchronizationClient {

using ExecutionClient::Context;

Mutex::Mutex(const StatsSpec& stats) : m_name(stats.name)
{
}

Mutex::Mutex(const char* name, const char* component)
    : m_name(std::string(component ? component : "") + "/" + (name ? name : ""))
{
}

Mutex::~Mutex()
{
    if (m_owner.load(std::memory_order_relaxed) != nullptr)
        Diagnose::report("Mutex " + m_name + " at " + Diagnose::pointerText(this) + " destroyed while locked");
}

void Mutex::lock()
{
    lock(Context::current());
}

void Mutex::unlock()
{
    unlock(Context::current());
}

bool Mutex::tryLock()
{
    return tryLock(Context::current());
}

bool Mutex::isSelfOwned() const
{
    const Context* self = Context::currentIfExists();
    return self != nullptr && isSelfOwned(*self);
}

bool Mutex::isSelfOwned(const Context& self) const
{
    return m_owner.load(std::memory_order_relaxed) == &self;
}

void Mutex::takeOwnership(Context& self, std::uint32_t lockCount)
{
    m_owner.store(&self, std::memory_order_relaxed);
    m_ownerThreadId.store(self.getSystemThreadId(), std::memory_order_relaxed);
    m_lockCount.store(lockCount, std::memory_order_relaxed);
}

void Mutex::clearOwnership()
{
    m_owner.store(nullptr, std::memory_order_relaxed);
    m_ownerThreadId.store(0, std::memory_order_relaxed);
    m_lockCount.store(0, std::memory_order_relaxed);
}

void Mutex::lock(Context& self)
{
    if (isSelfOwned(self)) {
        m_lockCount.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // The system mutex stays held for as long as a context owns this one.
    m_systemMutex.lock();
    takeOwnership(self, 1);
}

bool Mutex::tryLock(Context& self)
{
    if (isSelfOwned(self)) {
        m_lockCount.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (!m_systemMutex.tryLock())
        return false;
    takeOwnership(self, 1);
    return true;
}

std::string Mutex::notOwnedMessage(const Context& self) const
{
    return "Mutex at " + Diagnose::pointerText(this) + " not locked when unlocking by context " +
           self.getName() + " at " + Diagnose::pointerText(&self) + " ownerId " +
           std::to_string(m_ownerThreadId.load(std::memory_order_relaxed));
}

void Mutex::unlock(Context& self)
{
    ZELK_ASSERT_MSG(isSelfOwned(self), notOwnedMessage(self));
    if (m_lockCount.fetch_sub(1, std::memory_order_relaxed) > 1)
        return;
    clearOwnership();
    m_systemMutex.unlock();
}

} // namespace SynchronizationClient
