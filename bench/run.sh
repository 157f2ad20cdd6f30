#!/usr/bin/env bash
# Builds the benchmarks (release build with debug info) and runs every one; each
# program ends with its ratios against the raw baselines it measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target bench_logger bench_roundtrip bench_background bench_growth bench_redeem
for program in bench_logger bench_roundtrip bench_background bench_growth bench_redeem; do
    echo "== $program"
    # The library's own log lines go to standard error; the tables go to standard output.
    ./build/bench/$program 2>/dev/null
done
