#!/usr/bin/env bash
# Builds the benchmarks (release build with debug info) and runs every one; each
# program ends with its ratios against the raw baselines it measured in the same run,
# and the run ends with the library's ratios against its peers (gRPC, D-Bus), which are
# built only where their packages are installed.
set -euo pipefail
cd "$(dirname "$0")/.."
# The benchmarks use build/ when it is (or will be) an optimised build with benchmarks;
# a build/ set up otherwise (Debug, sanitizers) is left as it is, and they build in
# build-bench/ instead.
dir=build
cached() { sed -n "s/^$1:[A-Z]*=//p" build/CMakeCache.txt 2>/dev/null; }
if [ -f build/CMakeCache.txt ] && { [ "$(cached CMAKE_BUILD_TYPE)" != RelWithDebInfo ] ||
  [ -n "$(cached TARVIK_SANITIZE)" ] || [ "$(cached TARVIK_BUILD_BENCH)" = OFF ]; }; then
  dir=build-bench
  echo "build/ is set up for something else; the benchmarks build in build-bench/" >&2
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(cmake --build "$dir" --target help)
# Each peer right after the library's program it is compared with. Programs named on the
# command line run instead of all, e.g. `bench/run.sh bench_roundtrip bench_grpc`.
all=(bench_logger bench_roundtrip bench_grpc bench_background bench_dbus bench_growth bench_redeem)
programs=()
for program in "${@:-${all[@]}}"; do
  if grep -q "^$program:" <<<"$targets"; then programs+=("$program"); fi
done
if [ ${#programs[@]} -eq 0 ]; then
  echo "no benchmark of that name here; they are: ${all[*]}" >&2
  exit 2
fi
cmake --build "$dir" -j2 --target "${programs[@]}"
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
for program in "${programs[@]}"; do
  echo "== $program"
  # The programs that peerratios.py reads also write their results as JSON.
  out=()
  case $program in
    bench_roundtrip | bench_grpc | bench_background | bench_dbus)
      out=(--benchmark_out="$results/$program.json" --benchmark_out_format=json) ;;
  esac
  # The library's own log lines go to standard error; the tables go to standard output.
  "./$dir/bench/$program" "${out[@]}" 2>/dev/null
done
echo "== the library against its peers, measured in this run"
python3 bench/peerratios.py "$results"
