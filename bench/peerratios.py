#!/usr/bin/env python3
"""Prints the library's ratios against its peers (bench_grpc, bench_dbus) from the JSON
files that the benchmark programs of one run of bench/run.sh wrote into a folder.

Read from the library's programs, at log level 3: in bench_roundtrip, the req_per_s
counter of BM_TestDelayInFlight at each depth; in bench_background, the p50_us counter of
BM_BackgroundRoundTrip and the req_per_s counter of any BM_Background... benchmark at
the depth.

`peerratios.py --check FOLDER` reads `<program> --benchmark_list_tests` output saved as
<program>.txt instead, and fails when a ratio finds no benchmark of its name."""
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
    # A file cut short or written by something else is read as far as it has runs.
    found_runs = data.get("benchmarks") if isinstance(data, dict) else None
    single, medians = {}, {}
    for run in found_runs if isinstance(found_runs, list) else []:
        if not isinstance(run, dict) or run.get("error_occurred"):
            continue
        name = run.get("run_name", run.get("name"))
        if not isinstance(name, str):
            continue
        # Only numbers count: a counter that is not one would fail the division.
        numbers = {k: v for k, v in run.items()
                   if isinstance(v, (int, float)) and not isinstance(v, bool)}
        if run.get("run_type") == "aggregate":
            if run.get("aggregate_name") == "median":
                medians[name] = numbers
            continue
        single.setdefault(name, []).append(numbers)
    runs = {}
    for name, found in single.items():
        counters = {k for run in found for k in run}
        runs[name] = {
            k: statistics.median(run[k] for run in found if k in run) for k in counters
        }
    runs.update(medians)
    return runs


def arguments(name):
    """The arguments of a run name: named ones ("depth:16") by name, the first unnamed
    number (Arg(16)) under "0"."""
    named, unnamed = {}, []
    for part in name.split("/")[1:]:
        key, colon, val = part.partition(":")
        if colon:
            named[key] = val
        elif part.isdigit():
            unnamed.append(part)
    if unnamed:
        named.setdefault("0", unnamed[0])
    return named


def value(runs, family, counter, depth=None):
    """The counter of the first run whose name's family matches the pattern `family`,
    whose depth (the argument named "depth", else the first number) is `depth` (None:
    any) and which ran at log level 3 where it names a level (the peers have none)."""
    for name in sorted(runs):
        if not re.fullmatch(family, name.split("/")[0]) or counter not in runs[name]:
            continue
        args = arguments(name)
        if depth is not None and args.get("depth", args.get("0")) != str(depth):
            continue
        if args.get("level", "3") != "3":
            continue
        return runs[name][counter]
    return None


class Listed(dict):
    """A listed benchmark: it has every counter."""

    def __contains__(self, key):
        return True

    def __getitem__(self, key):
        return 1.0


def listed(folder, program):
    """Runs named by `<program> --benchmark_list_tests`, saved as <program>.txt."""
    try:
        lines = (folder / f"{program}.txt").read_text().split()
    except (OSError, ValueError):
        return None
    return {line: Listed() for line in lines}


def main():
    # --check FOLDER: the folder holds the programs' benchmark lists, and every ratio
    # whose two programs are listed must find both its runs (a renamed benchmark would
    # otherwise leave its ratio "not measured" for good).
    args = sys.argv[1:]
    check = args[:1] == ["--check"]
    if len(args) != 1 + check:
        print("usage: peerratios.py [--check] FOLDER", file=sys.stderr)
        sys.exit(2)
    folder = pathlib.Path(args[-1])
    if not folder.is_dir():
        print(f"peerratios.py: no folder {folder}", file=sys.stderr)
        sys.exit(2)
    read = listed if check else load
    roundtrip, background = read(folder, "bench_roundtrip"), read(folder, "bench_background")
    grpc, dbus = read(folder, "bench_grpc"), read(folder, "bench_dbus")
    # label, (program's runs, family, counter, depth) of the subject and of the
    # baseline, target, whether the ratio must be at most the target
    ratios = []
    for depth in (1, 16, 64, 256):
        ratios.append((f"one hop throughput at depth {depth} / gRPC",
                       (roundtrip, "BM_TestDelayInFlight", "req_per_s", depth),
                       (grpc, "BM_GrpcInFlight", "req_per_s", depth), 2.0, False))
    ratios.append(("background p50 / D-Bus call p50",
                   (background, "BM_BackgroundRoundTrip", "p50_us", None),
                   (dbus, "BM_DbusRoundTrip", "p50_us", None), 1.0, True))
    for depth in (16, 64):
        ratios.append((f"background throughput at depth {depth} / D-Bus call",
                       (background, r"BM_Background\w*", "req_per_s", depth),
                       (dbus, "BM_DbusInFlight", "req_per_s", depth), 1.0, False))
    if check:
        # Only the ratios whose two programs were listed can be checked.
        compared = [(label, subject, baseline) for label, subject, baseline, _, _ in ratios
                    if subject[0] is not None and baseline[0] is not None]
        unmatched = [label for label, subject, baseline in compared
                     if value(*subject) is None or value(*baseline) is None]
        for label in unmatched:
            print(f"no benchmark of this name: {label}")
        print(f"{len(compared) - len(unmatched)} of {len(compared)} ratios find their benchmarks")
        sys.exit(1 if unmatched or not compared else 0)
    print(f"{'ratio':<52} {'subject':>10} {'baseline':>10} {'ratio':>7} {'target':>8}")
    for label, subject_of, baseline_of, target, at_most in ratios:
        subject, baseline = value(*subject_of), value(*baseline_of)
        if subject is None or not baseline:
            print(f"{label:<52} not measured in this run")
            continue
        ratio = subject / baseline
        met = ratio <= target if at_most else ratio >= target
        print(f"{label:<52} {subject:>10.1f} {baseline:>10.1f} {ratio:>7.2f} "
              f"{'<=' if at_most else '>='}{target:<6.2f} {'met' if met else 'MISSED'}")


if __name__ == "__main__":
    main()
