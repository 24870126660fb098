#!/usr/bin/env bash
# Runs a small script under valgrind memcheck and fails on any invalid read,
# write or free whose stack passes through the module or the client library.
# Node.js's own JIT code is not judged here.
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
valgrind --tool=memcheck --leak-check=no --undef-value-errors=no --error-limit=no \
  --log-file="$log" node test/valgrind/smoke.js
awk '
  /== (Invalid (read|write|free)|Mismatched free|Source and destination overlap)/ { inblock = 1; block = $0; next }
  inblock && /==[0-9]+== *$/ { if (block ~ /zelk\.node|libdbcapiZKV/) { print block; bad++ } inblock = 0; next }
  inblock { block = block "\n" $0 }
  END { printf "valgrind: %d invalid accesses in our code\n", bad; exit bad > 0 }
' "$log"
