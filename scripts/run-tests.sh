#!/usr/bin/env bash
# Builds the project and runs the whole test suite with ctest: once in a normal build
# with every program's tests in shuffled order (the seed is printed; set
# TARVIK_TEST_SEED to repeat a run), once under AddressSanitizer with
# UndefinedBehaviorSanitizer, then the channel, relay, message and logger tests under
# ThreadSanitizer, then each fuzz target for 20 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
seed="${TARVIK_TEST_SEED:-$(( RANDOM % 99999 + 1 ))}"
echo "run-tests: shuffled with GTEST_RANDOM_SEED=$seed (repeat with TARVIK_TEST_SEED=$seed)"
GTEST_SHUFFLE=1 GTEST_RANDOM_SEED="$seed" ctest --test-dir build --output-on-failure -j2 --timeout 300

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVIK_SANITIZE=address,undefined -DTARVIK_BUILD_BENCH=OFF
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 --timeout 600

# The channel, relay, message, fault and logger tests once more under ThreadSanitizer.
tsan_tests="test_channel test_appservice_transports test_messages test_managers_base test_lifecycle test_lifecycle_processes test_faults test_platform_tasks test_logger"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVIK_SANITIZE=thread -DTARVIK_BUILD_BENCH=OFF
# shellcheck disable=SC2086
cmake --build build-tsan -j2 --target $tsan_tests tarvik-helper tarvik-apphost
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j2 --timeout 900 -R "^($(echo $tsan_tests | tr ' ' '|'))\$"

# Each fuzz target for a short while (TARVIK_FUZZ_SECONDS, 20 by default; 0 skips); a
# longer search is scripts/run-fuzz.sh on its own.
fuzz_seconds="${TARVIK_FUZZ_SECONDS:-20}"
if [ "$fuzz_seconds" -gt 0 ]; then ./scripts/run-fuzz.sh "$fuzz_seconds"; fi
