#include "Synchronization/SystemSemaphore.h"

#include "Execution/Assertion.h"
#include "Synchronization/Deadline.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace SynchronizationClient {

namespace {

[[noreturn]] void raiseErrno(const char* call)
{
    Diagnose::raiseAssertion(std::string(call) + " failed: " + std::strerror(errno), __FILE__, __LINE__);
}

} // namespace

SystemSemaphore::SystemSemaphore(unsigned int initialCount)
{
    if (sem_init(&m_semaphore, 0, initialCount) != 0)
        raiseErrno("sem_init");
}

SystemSemaphore::~SystemSemaphore()
{
    sem_destroy(&m_semaphore);
}

void SystemSemaphore::wait()
{
    while (sem_wait(&m_semaphore) != 0) {
        if (errno != EINTR)
            raiseErrno("sem_wait");
    }
}

bool SystemSemaphore::tryWait()
{
    while (sem_trywait(&m_semaphore) != 0) {
        if (errno == EAGAIN)
            return false;
        if (errno != EINTR)
            raiseErrno("sem_trywait");
    }
    return true;
}

void SystemSemaphore::signal()
{
    if (sem_post(&m_semaphore) != 0)
        raiseErrno("sem_post");
}

bool SystemTimedSemaphore::timedWait(unsigned long microseconds)
{
    timespec deadline = deadlineAfter(microseconds);
    while (sem_timedwait(&m_semaphore, &deadline) != 0) {
        if (errno == ETIMEDOUT)
            return true;
        if (errno != EINTR)
            raiseErrno("sem_timedwait");
    }
    return false;
}

} // namespace SynchronizationClient
