#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer and
# libFuzzer) and runs each for the given seconds (default 60), starting from its corpus
# in fuzz/corpus/<name>. Inputs found on the way go to build-fuzz/corpus/<name>;
# `--merge` folds the ones that widen coverage back into fuzz/corpus.
#   scripts/run-fuzz.sh [seconds] [--merge]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
merge="${2:-}"
targets=(frame valueset helperargs readings commands)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARVIK_SANITIZE=address,undefined -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_BENCH=OFF \
  -DTARVIK_BUILD_FUZZ=ON > /dev/null
cmake --build build-fuzz -j2 --target "${targets[@]/#/fuzz_}"
for target in "${targets[@]}"; do
  found="build-fuzz/corpus/$target"
  mkdir -p "$found" "fuzz/corpus/$target"
  echo "== fuzz_$target, $seconds s"
  # A finding stops the run with a reproducer in build-fuzz/ and fails this script.
  ./build-fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build-fuzz/ \
    "$found" "fuzz/corpus/$target" 2>&1 | grep -E '^(#[0-9]+.*DONE|==|SUMMARY|Done)' | tail -n 6
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then echo "fuzz_$target found a fault"; exit 1; fi
  if [ "$merge" = "--merge" ]; then
    ./build-fuzz/fuzz/fuzz_$target -merge=1 "fuzz/corpus/$target" "$found" > /dev/null 2>&1
  fi
done
