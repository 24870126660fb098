#include "Synchronization/Deadline.h"

#include <sys/time.h>

namespace SynchronizationClient {

timespec deadlineAfter(unsigned long microseconds)
{
    timeval now;
    gettimeofday(&now, nullptr);
    unsigned long micros = static_cast<unsigned long>(now.tv_usec) + microseconds % 1000000;
    timespec deadline;
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(microseconds / 1000000 + micros / 1000000);
    deadline.tv_nsec = static_cast<long>(micros % 1000000) * 1000;
    return deadline;
}

} // namespace SynchronizationClient
