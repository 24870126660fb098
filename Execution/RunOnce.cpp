#include "Execution/RunOnce.h"

#include "Synchronization/SystemMutex.h"

#include <mutex>

namespace ExecutionClient {

namespace {

SynchronizationClient::SystemMutex& runOnceMutex()
{
    // Never destroyed: threads still running at exit may reach it.
    static SynchronizationClient::SystemMutex* mutex = new SynchronizationClient::SystemMutex;
    return *mutex;
}

bool isDone(const bool& done)
{
    return __atomic_load_n(&done, __ATOMIC_ACQUIRE);
}

void runLocked(void (*fn)(void*), void* arg, bool& done)
{
    std::lock_guard<SynchronizationClient::SystemMutex> guard(runOnceMutex());
    if (isDone(done))
        return;
    fn(arg);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    __atomic_store_n(&done, true, __ATOMIC_RELEASE);
}

} // namespace

void runOnce(void (*fn)(void*), void* arg, bool& done)
{
    if (!isDone(done))
        runLocked(fn, arg, done);
}

void runOnceUnchecked(void (*fn)(void*), void* arg, bool& done)
{
    runOnce(fn, arg, done);
}

} // namespace ExecutionClient
