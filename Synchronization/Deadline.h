// Absolute wall-clock deadline for the POSIX timed waits.
//
//   timespec deadline = SynchronizationClient::deadlineAfter(1500000); // now + 1.5 s
#pragma once

#include <ctime>

namespace SynchronizationClient {

// Now (gettimeofday) plus the given microseconds, with tv_nsec below one second.
timespec deadlineAfter(unsigned long microseconds);

} // namespace SynchronizationClient
