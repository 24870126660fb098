#!/usr/bin/env bash
# The native tests of the thread and lock primitives, the worker-pool pieces
# and the client library, built and run under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan
cmake -S . -B "$build" -DZELK_BUILD_TESTS=ON -DZELK_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(cd test/native && ls support/*.cpp dbcapi/*.cpp server/*.cpp | sed 's#.*/##; s/\.cpp$//')
# shellcheck disable=SC2086
cmake --build "$build" --parallel 2 --target $targets dbcapiZKV_badversion dbcapiZKV_missing \
  dbcapiZKV_noinitex dbcapiZKV_initfails
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"
exec ctest --test-dir "$build" --output-on-failure -R '^(support_|dbcapi_)'
