#!/usr/bin/env python3
"""Prints the library's ratios against its peers (bench_grpc, bench_dbus) from the JSON
files that the benchmark programs of one run of bench/run.sh wrote into a folder.

Read from the library's programs: in bench_roundtrip, the req_per_s counter of
BM_TestDelayInFlight/<depth>; in bench_background, the p50_us counter of
BM_BackgroundRoundTrip and the req_per_s counter of any BM_Background... benchmark whose
first argument is the depth."""
import json
import pathlib
import re
import statistics
import sys


def load(folder, program):
    """Benchmark runs of one program by run name: the median aggregate where the program
    repeated its runs, else the median of the single runs."""
    try:
        data = json.loads((folder / f"{program}.json").read_text())
    except (OSError, ValueError):
        return {}
    single, medians = {}, {}
    for run in data.get("benchmarks", []):
        if run.get("error_occurred"):
            continue
        name = run.get("run_name", run["name"])
        if run.get("run_type") == "aggregate":
            if run.get("aggregate_name") == "median":
                medians[name] = run
            continue
        single.setdefault(name, []).append(run)
    runs = {}
    for name, found in single.items():
        counters = {k for run in found for k, v in run.items() if isinstance(v, (int, float))}
        runs[name] = {
            k: statistics.median(run[k] for run in found if k in run) for k in counters
        }
    runs.update(medians)
    return runs


def value(runs, family, counter, depth=None):
    """The counter of the first run whose name's family matches the pattern `family` and
    whose first argument is `depth` (None: whatever arguments it has)."""
    for name in sorted(runs):
        parts = name.split("/")
        if not re.fullmatch(family, parts[0]) or counter not in runs[name]:
            continue
        if depth is not None and (len(parts) < 2 or parts[1] != str(depth)):
            continue
        return runs[name][counter]
    return None


def main():
    folder = pathlib.Path(sys.argv[1])
    roundtrip, background = load(folder, "bench_roundtrip"), load(folder, "bench_background")
    grpc, dbus = load(folder, "bench_grpc"), load(folder, "bench_dbus")
    # label, subject, baseline, target, whether the ratio must be at most the target
    ratios = []
    for depth in (1, 16, 64, 256):
        ratios.append((f"one hop throughput at depth {depth} / gRPC",
                       value(roundtrip, "BM_TestDelayInFlight", "req_per_s", depth),
                       value(grpc, "BM_GrpcInFlight", "req_per_s", depth), 2.0, False))
    ratios.append(("background p50 / D-Bus call p50",
                   value(background, "BM_BackgroundRoundTrip", "p50_us"),
                   value(dbus, "BM_DbusRoundTrip", "p50_us"), 1.0, True))
    for depth in (16, 64):
        ratios.append((f"background throughput at depth {depth} / D-Bus call",
                       value(background, r"BM_Background\w*", "req_per_s", depth),
                       value(dbus, "BM_DbusInFlight", "req_per_s", depth), 1.0, False))
    print(f"{'ratio':<52} {'subject':>10} {'baseline':>10} {'ratio':>7} {'target':>8}")
    for label, subject, baseline, target, at_most in ratios:
        if subject is None or not baseline:
            print(f"{label:<52} not measured in this run")
            continue
        ratio = subject / baseline
        met = ratio <= target if at_most else ratio >= target
        print(f"{label:<52} {subject:>10.1f} {baseline:>10.1f} {ratio:>7.2f} "
              f"{'<=' if at_most else '>='}{target:<6.2f} {'met' if met else 'MISSED'}")


if __name__ == "__main__":
    main()
