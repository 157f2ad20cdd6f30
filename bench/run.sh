#!/usr/bin/env bash
# Builds the benchmarks (release build with debug info) and runs every one; each
# program ends with its ratios against the raw baselines it measured in the same run,
# and the run ends with the library's ratios against its peers (gRPC, D-Bus), which are
# built only where their packages are installed.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(cmake --build build --target help)
# Each peer right after the library's program it is compared with. Programs named on the
# command line run instead of all, e.g. `bench/run.sh bench_roundtrip bench_grpc`.
all=(bench_logger bench_roundtrip bench_grpc bench_background bench_dbus bench_growth bench_redeem)
programs=()
for program in "${@:-${all[@]}}"; do
  if grep -q "^$program:" <<<"$targets"; then programs+=("$program"); fi
done
cmake --build build -j2 --target "${programs[@]}"
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
  ./build/bench/$program "${out[@]}" 2>/dev/null
done
echo "== the library against its peers, measured in this run"
python3 bench/peerratios.py "$results"
