#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer and
# libFuzzer) and runs each for the given seconds (default 60) from its corpus in
# fuzz/corpus/<name>; new inputs that widen coverage are added to that corpus.
#   scripts/run-fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARVIK_SANITIZE=address,undefined -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_BENCH=OFF \
  -DTARVIK_BUILD_FUZZ=ON
cmake --build build-fuzz -j2 --target fuzz_frame fuzz_helperargs
for target in frame helperargs; do
  mkdir -p "fuzz/corpus/$target"
  echo "== fuzz_$target, $seconds s"
  ./build-fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -max_len=65536 "fuzz/corpus/$target"
done
