// Condition variables for SystemMutex and Mutex.
//
//   SynchronizationClient::CondVariable cv("work-available");
//   mutex.lock();
//   while (!ready)
//       if (cv.timedWait(mutex, 1000000)) { /* one second ran out */ }
//   mutex.unlock();
//   ...  ready = true; cv.signal();   // or cv.broadcast()
//
// The caller must own the mutex (any lock count); the wait releases it completely
// and restores the owner and count on waking. Wake-ups may be spurious: wait in a loop.
#pragma once

#include "Synchronization/Mutex.h"
#include "Synchronization/SystemMutex.h"

#include <pthread.h>

namespace SynchronizationClient {

class SystemCondVariable {
public:
    SystemCondVariable();
    ~SystemCondVariable();
    SystemCondVariable(const SystemCondVariable&) = delete;
    SystemCondVariable& operator=(const SystemCondVariable&) = delete;

    void wait(SystemMutex& mutex);
    // Returns true when the time-out (in microseconds) ran out, false when woken.
    bool timedWait(SystemMutex& mutex, unsigned long microseconds);
    void signal();
    void broadcast();

private:
    // Returns the POSIX result of the wait.
    int waitUntil(SystemMutex& mutex, const timespec* deadline);

    pthread_cond_t m_cond;
};

class CondVariable {
public:
    explicit CondVariable(const StatsSpec& stats);
    CondVariable(const CondVariable&) = delete;
    CondVariable& operator=(const CondVariable&) = delete;

    void wait(Mutex& mutex);
    // Returns true when the time-out (in microseconds) ran out, false when woken.
    bool timedWait(Mutex& mutex, unsigned long microseconds);
    void signal();
    void broadcast();

    const std::string& getName() const { return m_name; }

private:
    bool waitOwned(Mutex& mutex, const unsigned long* microseconds);

    std::string m_name;
    SystemCondVariable m_systemCondVariable;
};

} // namespace SynchronizationClient
