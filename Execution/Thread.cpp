#include "Execution/Thread.h"

#include "Execution/Assertion.h"

#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <sys/prctl.h>

namespace ExecutionClient {

namespace {

std::string handleText(pthread_t handle)
{
    return std::to_string(static_cast<unsigned long>(handle));
}

} // namespace

Thread::Thread(const char* name) : Context(name ? name : "unnamed-Thread", ContextKind::Thread)
{
}

Thread::~Thread()
{
    try {
        assertDestroyable();
    } catch (const Diagnose::AssertError& error) {
        // The thread may still be running on this object's memory.
        Diagnose::crash(error.what());
    }
}

void Thread::assertDestroyable() const
{
    ZELK_ASSERT_MSG(m_handle == 0 || m_detached, "Thread handle is not null " + handleText(m_handle));
}

bool Thread::start(CreationFlags flags)
{
    ContextState previous;
    {
        std::lock_guard<SynchronizationClient::SystemMutex> guard(m_stateMutex);
        previous = getState();
        ZELK_ASSERT_MSG(previous == ContextState::Initialized || previous == ContextState::Terminated,
                        std::string("Context state should be initialized or terminated but is ") +
                            toString(previous) + ".");
        // A terminated thread must be joined before it is started again.
        assertDestroyable();
        setState(ContextState::Starting);
    }
    m_detached = (flags & CreateDetached) != 0;
    const char* failedCall = nullptr;
    pthread_attr_t attributes;
    int rc = pthread_attr_init(&attributes);
    if (rc != 0) {
        failedCall = "pthread_attr_init";
    } else {
        if (m_detached)
            rc = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        if (rc == 0 && (flags & ProcessScope) != 0)
            rc = pthread_attr_setscope(&attributes, PTHREAD_SCOPE_PROCESS);
        pthread_t handle = 0;
        if (rc != 0)
            failedCall = "pthread_attr_set";
        else if ((rc = pthread_create(&handle, &attributes, &Thread::main, this)) != 0)
            failedCall = "pthread_create";
        pthread_attr_destroy(&attributes);
        m_handle = handle;
    }
    if (failedCall != nullptr) {
        m_detached = false;
        setState(previous);
        Diagnose::report(std::string("Thread: ") + getName() + " " + failedCall + " error: " + std::strerror(rc));
        return false;
    }
    // The new thread waits for this, so a detached one cannot delete itself before now.
    m_startSemaphore.signal();
    return true;
}

void* Thread::main(void* object)
{
    Thread* self = static_cast<Thread*>(object);
    self->m_startSemaphore.wait();
    self->runGuarded();
    void* result = self->m_result;
    if (self->finish())
        delete self;
    return result;
}

void Thread::runGuarded()
{
    try {
        attachToCurrentThread(*this);
        setSystemThreadId(currentSystemThreadId());
        setState(ContextState::Running);
        ::prctl(PR_SET_NAME, getName(), 0, 0, 0);
        m_result = nullptr;
        run(m_result);
    } catch (const std::bad_alloc&) {
        Diagnose::report("Unhandled bad_alloc");
    } catch (const std::exception& error) {
        Diagnose::report(std::string("Unhandled exception: ") + error.what());
    } catch (...) {
        Diagnose::report("Unhandled unknown exception");
    }
}

bool Thread::finish()
{
    detachFromCurrentThread();
    std::lock_guard<SynchronizationClient::SystemMutex> guard(m_stateMutex);
    setState(ContextState::Terminated);
    return m_detached;
}

bool Thread::join(void*& result)
{
    result = nullptr;
    if (m_handle == 0)
        return true;
    ZELK_ASSERT_MSG(!m_detached, "thread is detached");
    ZELK_ASSERT_MSG(currentSystemThreadId() != getSystemThreadId(), "possible deadlock");
    int rc = pthread_join(m_handle, &result);
    if (rc != 0) {
        Diagnose::report(std::string("Thread: ") + getName() + " pthread_join error: " + std::strerror(rc) +
                         " error terminating thread - make it detached");
        return false;
    }
    m_handle = 0;
    setSystemThreadId(0);
    return true;
}

void Thread::forget()
{
    if (m_detached)
        return;
    bool deleteNow = true;
    {
        std::lock_guard<SynchronizationClient::SystemMutex> guard(m_stateMutex);
        if (m_handle != 0) {
            int rc = pthread_detach(m_handle);
            if (rc != 0)
                Diagnose::report(std::string("Thread: ") + getName() + " pthread_detach error: " + std::strerror(rc));
            m_detached = true;
            deleteNow = getState() == ContextState::Terminated;
        }
    }
    if (deleteNow)
        delete this;
}

} // namespace ExecutionClient
