#!/usr/bin/env bash
# Builds the project and runs the whole test suite with ctest: once in a normal
# build, once under AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2 --timeout 300

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVIK_SANITIZE=address,undefined -DTARVIK_BUILD_BENCH=OFF
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 --timeout 600
