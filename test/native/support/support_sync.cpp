#include "Execution/Assertion.h"
#include "Execution/Context.h"
#include "Synchronization/CondVariable.h"
#include "Synchronization/Mutex.h"
#include "Synchronization/SystemMutex.h"
#include "Synchronization/SystemSemaphore.h"
#include "assertion_message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace SynchronizationClient;
using ExecutionClient::Context;

namespace {

bool lockableFromAnotherThread(Mutex& mutex)
{
    bool locked = false;
    std::thread([&] {
        locked = mutex.tryLock();
        if (locked)
            mutex.unlock();
    }).join();
    return locked;
}

} // namespace

TEST(support_Mutex, IsRecursivePerContextAndAThirdUnlockRaises)
{
    Mutex mutex("recursive", "test");
    mutex.lock();
    mutex.lock();
    EXPECT_EQ(mutex.getLockCount(), 2u);
    EXPECT_TRUE(mutex.isSelfOwned());
    EXPECT_EQ(mutex.getOwner(), &Context::current());
    EXPECT_FALSE(lockableFromAnotherThread(mutex));

    mutex.unlock();
    EXPECT_EQ(mutex.getLockCount(), 1u);
    EXPECT_FALSE(lockableFromAnotherThread(mutex));
    mutex.unlock();
    EXPECT_EQ(mutex.getLockCount(), 0u);
    EXPECT_FALSE(mutex.isSelfOwned());
    EXPECT_TRUE(lockableFromAnotherThread(mutex));

    Context& self = Context::current();
    std::string expected = "Mutex at " + Diagnose::pointerText(&mutex) + " not locked when unlocking by context " +
                           self.getName() + " at " + Diagnose::pointerText(&self) + " ownerId 0";
    EXPECT_EQ(assertionMessage([&] { mutex.unlock(); }), expected);
    EXPECT_TRUE(lockableFromAnotherThread(mutex));
}

TEST(support_Mutex, UnlockByANonOwnerRaisesAndLeavesTheOwnerInPlace)
{
    Mutex mutex(StatsSpec("owned"));
    mutex.lock();
    std::string message;
    std::thread([&] { message = assertionMessage([&] { mutex.unlock(); }); }).join();
    std::regex pattern("Mutex at 0x[0-9a-f]+ not locked when unlocking by context .+ at 0x[0-9a-f]+ ownerId ([0-9]+)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(message, match, pattern)) << message;
    EXPECT_EQ(match[1].str(), std::to_string(Context::currentSystemThreadId()));
    EXPECT_NE(message.find(Diagnose::pointerText(&mutex)), std::string::npos);

    EXPECT_TRUE(mutex.isSelfOwned());
    EXPECT_EQ(mutex.getLockCount(), 1u);
    mutex.unlock();
}

TEST(support_Mutex, KeepsIncrementsFromManyThreadsApart)
{
    Mutex mutex("counter", "test");
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard<Mutex> guard(mutex);
                ++counter;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(mutex.getOwner(), nullptr);
}

TEST(support_SystemMutex, IsRecursivePerThreadAndOwnerChecked)
{
    SystemMutex mutex;
    mutex.lock();
    EXPECT_TRUE(mutex.tryLock());
    EXPECT_EQ(mutex.getLockCount(), 2u);
    bool otherLocked = true;
    std::string message;
    std::thread([&] {
        otherLocked = mutex.tryLock();
        message = assertionMessage([&] { mutex.unlock(); });
    }).join();
    EXPECT_FALSE(otherLocked);
    EXPECT_EQ(message.rfind("SystemMutex at " + Diagnose::pointerText(&mutex) + " not locked when unlocking", 0), 0u);
    mutex.unlock();
    mutex.unlock();
    EXPECT_FALSE(mutex.isSelfOwned());
    EXPECT_NE(assertionMessage([&] { mutex.unlock(); }), "<no assertion>");
}

TEST(support_CondVariable, TimedWaitWithoutSignalTimesOut)
{
    Mutex mutex("timed", "test");
    CondVariable condition("nobody-signals");
    mutex.lock();
    auto before = std::chrono::steady_clock::now();
    bool timedOut = condition.timedWait(mutex, 1500000);
    auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_TRUE(timedOut);
    // Must not return before the deadline; a little slack for the wall-clock conversion.
    EXPECT_GE(waited, std::chrono::milliseconds(1490));
    EXPECT_TRUE(mutex.isSelfOwned());
    EXPECT_EQ(mutex.getLockCount(), 1u);
    mutex.unlock();
}

TEST(support_CondVariable, BroadcastWakesEveryWaiterBeforeTheTimeOut)
{
    Mutex mutex("broadcast", "test");
    CondVariable condition("broadcast");
    bool go = false;
    int waiting = 0, woken = 0;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            std::lock_guard<Mutex> guard(mutex);
            ++waiting;
            bool timedOut = false;
            while (!go)
                timedOut = condition.timedWait(mutex, 60000000);
            woken += timedOut ? 0 : 1;
        });
    for (;;) {
        std::lock_guard<Mutex> guard(mutex);
        if (waiting == 3)
            break;
    }
    {
        std::lock_guard<Mutex> guard(mutex);
        go = true;
        condition.broadcast();
    }
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(woken, 3);
}

TEST(support_CondVariable, WaitReleasesARecursiveLockCompletelyAndRestoresIt)
{
    Mutex mutex("nested", "test");
    CondVariable condition("nested");
    bool otherRan = false;
    mutex.lock();
    mutex.lock();
    std::thread other([&] {
        std::lock_guard<Mutex> guard(mutex);
        otherRan = true;
        condition.signal();
    });
    while (!otherRan)
        condition.wait(mutex);
    EXPECT_EQ(mutex.getLockCount(), 2u);
    EXPECT_TRUE(mutex.isSelfOwned());
    mutex.unlock();
    mutex.unlock();
    other.join();
}

TEST(support_CondVariable, WaitWithoutHoldingTheMutexRaises)
{
    Mutex mutex("unheld", "test");
    CondVariable condition("unheld");
    EXPECT_EQ(assertionMessage([&] { condition.wait(mutex); }), "Assertion failed: mutex.isSelfOwned(self)");
    EXPECT_EQ(assertionMessage([&] { condition.timedWait(mutex, 1000); }),
              "Assertion failed: mutex.isSelfOwned(self)");

    mutex.lock();
    std::string fromOther;
    std::thread([&] { fromOther = assertionMessage([&] { condition.timedWait(mutex, 1000); }); }).join();
    EXPECT_EQ(fromOther, "Assertion failed: mutex.isSelfOwned(self)");
    mutex.unlock();

    SystemMutex systemMutex;
    SystemCondVariable systemCondition;
    EXPECT_EQ(assertionMessage([&] { systemCondition.wait(systemMutex); }),
              "Assertion failed: mutex.isSelfOwned()");
    systemMutex.lock();
    EXPECT_TRUE(systemCondition.timedWait(systemMutex, 1000));
    EXPECT_EQ(systemMutex.getLockCount(), 1u);
    systemMutex.unlock();
}

TEST(support_SystemTimedSemaphore, CountsSignalsAndTimesOut)
{
    SystemTimedSemaphore semaphore(1);
    EXPECT_TRUE(semaphore.tryWait());
    EXPECT_FALSE(semaphore.tryWait());
    EXPECT_TRUE(semaphore.timedWait(1000));
    semaphore.signal();
    semaphore.signal();
    EXPECT_FALSE(semaphore.timedWait(1000));
    semaphore.wait();
    EXPECT_FALSE(semaphore.tryWait());
}

namespace {

Mutex* g_lockedAtThreadExit = nullptr;

struct LocksWhenDestroyed {
    ~LocksWhenDestroyed() { g_lockedAtThreadExit->lock(); }
};

} // namespace

TEST(support_ContextDeathTest, UsingAPrimitiveAfterTheContextIsTornDownAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Mutex mutex("late", "test");
            g_lockedAtThreadExit = &mutex;
            std::thread([] {
                // Constructed before the context, so destroyed after it.
                thread_local LocksWhenDestroyed lateUser;
                (void)&lateUser;
                Context::current();
            }).join();
        },
        "used after it was torn down");
}
