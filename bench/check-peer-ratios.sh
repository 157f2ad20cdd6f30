#!/usr/bin/env bash
# Fails when a ratio of peerratios.py names no benchmark that the built programs run.
# Arguments: the programs (paths); each one's list of benchmarks is what is checked.
set -euo pipefail
lists=$(mktemp -d)
trap 'rm -rf "$lists"' EXIT
for program in "$@"; do
  "$program" --benchmark_list_tests=true >"$lists/$(basename "$program").txt"
done
python3 "$(dirname "$0")/peerratios.py" --check "$lists"
