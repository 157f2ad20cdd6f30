#!/usr/bin/env bash
# Fails when peerratios.py stops with a traceback on a results folder that a failed or
# interrupted run can leave: results cut short, of another shape, or of failed runs.
set -uo pipefail
script="$(dirname "$0")/peerratios.py"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0
expect() {  # expect STATUS TEXT ARGS...: the exit status and a line of the output
  local status=$1 text=$2 out code
  shift 2
  out=$(python3 "$script" "$@" 2>&1)
  code=$?
  if [[ $code -ne $status ]] || ! grep -qF -- "$text" <<<"$out" || grep -q Traceback <<<"$out"; then
    echo "peerratios.py $*: status $code, expected $status and \"$text\":"
    echo "$out"
    failed=1
  fi
}
expect 2 usage
expect 2 "no folder" "$dir/absent"
inputs=('' '{"benchmarks": [' '[]' 'null' '{"benchmarks": null}' '{"benchmarks": ["x"]}'
        '{"benchmarks": [{"req_per_s": 5}]}'
        '{"benchmarks": [{"name": "BM_GrpcInFlight/16", "run_type": "aggregate", "aggregate_name": "median", "req_per_s": "x"}]}'
        '{"benchmarks": [{"name": "BM_GrpcInFlight/16", "error_occurred": true, "error_message": "gone"}]}')
roundtrip='{"benchmarks": [{"name": "BM_TestDelayInFlight/depth:16/level:3", "req_per_s": 90000.0}]}'
for i in "${!inputs[@]}"; do
  mkdir "$dir/$i"
  printf '%s' "${inputs[$i]}" >"$dir/$i/bench_grpc.json"
  printf '%s' "$roundtrip" >"$dir/$i/bench_roundtrip.json"
  expect 0 "at depth 16 / gRPC                not measured" "$dir/$i"
done
mkdir "$dir/bytes"
printf '\xff\xfe' >"$dir/bytes/bench_grpc.txt"
expect 1 "0 of 0 ratios" --check "$dir/bytes"
mkdir "$dir/good"
printf '%s' "$roundtrip" >"$dir/good/bench_roundtrip.json"
printf '%s' '{"benchmarks": [{"name": "BM_GrpcInFlight/16", "req_per_s": 30000.0}, {"name": "BM_GrpcInFlight/16", "req_per_s": 45000.0}, {"name": "BM_GrpcInFlight/16", "req_per_s": 60000.0}]}' >"$dir/good/bench_grpc.json"
expect 0 "90000.0    45000.0    2.00" "$dir/good"
exit $failed
