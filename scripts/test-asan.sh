#!/usr/bin/env bash
# The whole JavaScript suite against the module and client library built with
# AddressSanitizer and UBSan, loaded into an uninstrumented Node.js by
# preloading the sanitizer runtime. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-asan
cmake -S . -B "$build" -DZELK_BUILD_TESTS=ON -DZELK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel 2 --target zelk dbcapiZKV external_connection \
  dbcapiZKV_badversion dbcapiZKV_missing dbcapiZKV_noinitex dbcapiZKV_initfails
# Node.js itself keeps memory until exit; leaks are checked by the client
# library's live-handle counts in the stress test instead.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_odr_violation=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export ZELK_BUILD_DIR="$PWD/$build" ZELK_SANITIZED=1
# The large data tests are sized down: their full run is in the normal suite.
export ZELK_LOST_ROWS="${ZELK_LOST_ROWS:-100000}" ZELK_LOST_MB="${ZELK_LOST_MB:-32}"
exec node --test --test-concurrency=1 test/js/
