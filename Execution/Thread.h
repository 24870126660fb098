// Named POSIX thread; subclasses override run().
//
//   class Worker : public ExecutionClient::Thread {
//   public:
//       Worker() : Thread("zelk-worker") {}
//   protected:
//       void run(void*& result) override { ...; result = something; }
//   };
//   Worker w;
//   if (!w.start(0)) { /* could not create the thread; reported already */ }
//   void* result;
//   w.join(result);   // required before w is destroyed
//
// Misuse (starting a running thread, joining from the thread itself or joining a
// detached one, destroying a started thread that was not joined) raises
// Diagnose::AssertError; the destructor, which cannot throw, aborts instead.
// A detached thread (start(CreateDetached) or forget()) must live on the heap:
// it deletes itself when run() returns.
#pragma once

#include "Execution/Context.h"
#include "Synchronization/SystemMutex.h"
#include "Synchronization/SystemSemaphore.h"

#include <pthread.h>

namespace ExecutionClient {

class Thread : public Context {
public:
    using CreationFlags = unsigned int;
    static constexpr CreationFlags CreateDetached = 2;
    static constexpr CreationFlags ProcessScope = 4;

    // Keeps at most 31 characters; "unnamed-Thread" when name is null.
    explicit Thread(const char* name = nullptr);
    ~Thread() override;

    // False (with a report) when the thread could not be created.
    bool start(CreationFlags flags);
    // result receives what run() produced; true at once (result null) when there is
    // no thread to join. False (with a report) when pthread_join fails.
    bool join(void*& result);
    // Gives the object up: the thread is detached and the object deleted when run()
    // has returned (at once if it already has, or if it was never started).
    void forget();

    bool isDetached() const { return m_detached; }
    // Raises the assertion the destructor would end the process with.
    void assertDestroyable() const;

protected:
    virtual void run(void*& result) = 0;

private:
    static void* main(void* self);
    void runGuarded();
    // Marks the thread terminated; returns true when the object must delete itself.
    bool finish();

    pthread_t m_handle = 0;
    bool m_detached = false;
    SynchronizationClient::SystemMutex m_stateMutex;
    SynchronizationClient::SystemTimedSemaphore m_startSemaphore{0};
    void* m_result = nullptr;
};

} // namespace ExecutionClient
