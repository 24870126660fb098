// Run-once initialisation, safe from any number of threads.
//
//   static bool g_poolCreated = false;
//   ExecutionClient::runOnce(&createPool, nullptr, g_poolCreated);
//
// fn runs under one process-wide lock until it has returned normally once; if it
// throws, the exception propagates, done stays false and a later call tries again.
// The lock is recursive, so fn may itself call runOnce for another flag.
#pragma once

namespace ExecutionClient {

void runOnce(void (*fn)(void*), void* arg, bool& done);

// For functions that do not throw: no exception handling on the way. Should fn
// throw anyway, the lock is still released, since keeping it would hang every
// later caller.
void runOnceUnchecked(void (*fn)(void*), void* arg, bool& done);

} // namespace ExecutionClient
