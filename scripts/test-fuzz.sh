#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for ZELK_FUZZ_SECONDS
# (60 by default) from its corpus, then the decoder's JavaScript fuzz loop
# for the same number of cases per second. Crashes are left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-fuzz
seconds="${ZELK_FUZZ_SECONDS:-60}"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DZELK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --parallel 2 --target fuzz_conn_string fuzz_params
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
for target in fuzz_conn_string fuzz_params; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp -n test/fuzz/seeds/"$target"/* "$corpus"/ 2>/dev/null || true
  status=0
  (cd "$build" && "./$target" -max_total_time="$seconds" -print_final_stats=1 "corpus/$target") \
    >"$build/$target.log" 2>&1 || status=$?
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::new_units_added|==[0-9]+==ERROR|SUMMARY)' \
    "$build/$target.log" || true
  if [ "$status" -ne 0 ]; then tail -n 60 "$build/$target.log"; exit "$status"; fi
done
ZELK_FUZZ_ITERATIONS=$((seconds * 2000)) node --test test/js/90-decoder-fuzz.test.js
