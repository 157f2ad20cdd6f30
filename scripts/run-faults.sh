#!/usr/bin/env bash
# Builds and runs the fault suite (a real helper and app host, faults injected between
# them and this process) and prints its table: faults tried, requests sent, completed,
# failed, wrong answers, duplicates executed and leaks.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja > /dev/null
cmake --build build -j2 --target test_faults tarvik-helper tarvik-apphost > /dev/null
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
./build/tests/test_faults > "$out" 2>&1 || status=$?
grep -E '^\[  (FAILED|PASSED) |Failure$' "$out" || true
sed -n '/^fault /,/^\[==========\]/p' "$out" | sed '$d'
exit "$status"
