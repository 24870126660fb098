// Counting semaphores over POSIX sem_t.
//
//   SynchronizationClient::SystemTimedSemaphore ready(0);
//   ready.signal();                       // on one thread
//   if (ready.timedWait(500000)) { ... }  // on another: true when 0.5 s ran out
#pragma once

#include <semaphore.h>

namespace SynchronizationClient {

class SystemSemaphore {
public:
    explicit SystemSemaphore(unsigned int initialCount = 0);
    ~SystemSemaphore();
    SystemSemaphore(const SystemSemaphore&) = delete;
    SystemSemaphore& operator=(const SystemSemaphore&) = delete;

    void wait();
    // True when a unit was taken without blocking.
    bool tryWait();
    void signal();

protected:
    sem_t m_semaphore;
};

class SystemTimedSemaphore : public SystemSemaphore {
public:
    explicit SystemTimedSemaphore(unsigned int initialCount = 0) : SystemSemaphore(initialCount) {}

    // Returns true when the time-out (in microseconds) ran out before a unit was available.
    bool timedWait(unsigned long microseconds);
};

} // namespace SynchronizationClient
