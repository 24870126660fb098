#include "Execution/Assertion.h"
#include "Execution/Context.h"
#include "Execution/RunOnce.h"
#include "Execution/Thread.h"
#include "Synchronization/SystemSemaphore.h"
#include "assertion_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace ExecutionClient;
using SynchronizationClient::SystemTimedSemaphore;

namespace {

// Runs a function object on its thread and records what the thread saw.
class LambdaThread : public Thread {
public:
    using Body = std::function<void(LambdaThread&, void*&)>;
    LambdaThread(const char* name, Body body) : Thread(name), m_body(std::move(body)) {}

    Context* contextSeen = nullptr;

protected:
    void run(void*& result) override
    {
        contextSeen = &Context::current();
        m_body(*this, result);
    }

private:
    Body m_body;
};

std::vector<std::string> g_reports;
std::mutex g_reportsMutex;

void collectReport(const std::string& message)
{
    std::lock_guard<std::mutex> guard(g_reportsMutex);
    g_reports.push_back(message);
}

} // namespace

TEST(support_Thread, JoinDeliversResultOnceAndIsHarmlessWithoutAThread)
{
    static int payload = 42;
    LambdaThread thread("result", [](LambdaThread&, void*& result) { result = &payload; });
    void* result = &payload;
    EXPECT_TRUE(thread.join(result)) << "never started";
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(thread.getState(), ContextState::Initialized);

    ASSERT_TRUE(thread.start(0));
    ASSERT_TRUE(thread.join(result));
    EXPECT_EQ(result, &payload);
    EXPECT_EQ(thread.contextSeen, &thread);
    EXPECT_EQ(thread.getState(), ContextState::Terminated);

    EXPECT_TRUE(thread.join(result)) << "second join";
    EXPECT_EQ(result, nullptr);

    // A joined thread can run again.
    ASSERT_TRUE(thread.start(0));
    ASSERT_TRUE(thread.join(result));
    EXPECT_EQ(result, &payload);
}

TEST(support_Thread, StartWhileRunningAndJoinFromItselfRaise)
{
    SystemTimedSemaphore entered(0), release(0);
    std::string joinMessage;
    LambdaThread thread("self-join", [&](LambdaThread& self, void*&) {
        void* ignored;
        joinMessage = assertionMessage([&] { self.join(ignored); });
        entered.signal();
        release.wait();
    });
    ASSERT_TRUE(thread.start(0));
    entered.wait();
    EXPECT_EQ(joinMessage, "possible deadlock");
    EXPECT_EQ(thread.getState(), ContextState::Running);
    EXPECT_EQ(assertionMessage([&] { thread.start(0); }),
              "Context state should be initialized or terminated but is running.");
    EXPECT_EQ(assertionMessage([&] { thread.assertDestroyable(); }).rfind("Thread handle is not null ", 0), 0u);

    release.signal();
    void* result;
    ASSERT_TRUE(thread.join(result));
    EXPECT_EQ(assertionMessage([&] { thread.assertDestroyable(); }), "<no assertion>");
}

TEST(support_ThreadDeathTest, DestroyingAStartedThreadThatWasNotJoinedAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // Inside run before the object goes, so the thread never meets a half-destroyed object.
            SystemTimedSemaphore running(0);
            SystemTimedSemaphore never(0);
            LambdaThread thread("not-joined", [&](LambdaThread&, void*&) {
                running.signal();
                never.wait();
            });
            thread.start(0);
            running.wait();
        },
        "Thread handle is not null [0-9]+");
}

TEST(support_Thread, EscapingExceptionsAreReportedAndTheThreadStillEnds)
{
    Diagnose::ReportHandler previous = Diagnose::setReportHandler(&collectReport);
    g_reports.clear();
    LambdaThread badAlloc("bad-alloc", [](LambdaThread&, void*&) { throw std::bad_alloc(); });
    LambdaThread unknown("unknown", [](LambdaThread&, void*&) { throw 7; });
    ASSERT_TRUE(badAlloc.start(0));
    ASSERT_TRUE(unknown.start(0));
    void* result = &result;
    EXPECT_TRUE(badAlloc.join(result));
    EXPECT_EQ(result, nullptr);
    EXPECT_TRUE(unknown.join(result));
    Diagnose::setReportHandler(previous);

    std::sort(g_reports.begin(), g_reports.end());
    EXPECT_EQ(g_reports, (std::vector<std::string>{"Unhandled bad_alloc", "Unhandled unknown exception"}));
    EXPECT_EQ(badAlloc.getState(), ContextState::Terminated);
}

TEST(support_Context, ForeignThreadsGetTheirOwnContextOnFirstUse)
{
    Context* mine = &Context::current();
    EXPECT_EQ(&Context::current(), mine);
    EXPECT_EQ(mine->getSystemThreadId(), Context::currentSystemThreadId());
    EXPECT_EQ(mine->getState(), ContextState::Running);

    Context* theirs = nullptr;
    Context* before = mine;
    long theirTid = 0;
    std::thread([&] {
        before = Context::currentIfExists();
        theirs = &Context::current();
        theirTid = Context::currentSystemThreadId();
        EXPECT_EQ(theirs->getSystemThreadId(), theirTid);
    }).join();
    EXPECT_EQ(before, nullptr);
    EXPECT_NE(theirs, mine);
    EXPECT_NE(theirTid, mine->getSystemThreadId());
}

namespace {

std::atomic<int> g_onceCalls{0};

void slowCountedInit(void*)
{
    g_onceCalls.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void throwingInit(void* attempts)
{
    if (++*static_cast<int*>(attempts) == 1)
        throw std::runtime_error("first attempt fails");
}

} // namespace

TEST(support_RunOnce, ConcurrentCallersRunTheFunctionOnce)
{
    bool done = false;
    g_onceCalls = 0;
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([&] {
            runOnce(&slowCountedInit, nullptr, done);
            EXPECT_TRUE(__atomic_load_n(&done, __ATOMIC_ACQUIRE));
        });
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(g_onceCalls.load(), 1);
    runOnce(&slowCountedInit, nullptr, done);
    EXPECT_EQ(g_onceCalls.load(), 1);
}

TEST(support_RunOnce, AThrowingFunctionIsRetriedAndReleasesTheLock)
{
    for (auto run : {&runOnce, &runOnceUnchecked}) {
        bool done = false;
        int attempts = 0;
        EXPECT_THROW(run(&throwingInit, &attempts, done), std::runtime_error);
        EXPECT_FALSE(done);
        // Retried from another thread: it would hang if the lock were still held.
        std::thread([&] { run(&throwingInit, &attempts, done); }).join();
        EXPECT_TRUE(done);
        EXPECT_EQ(attempts, 2);
    }
}
