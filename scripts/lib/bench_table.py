#!/usr/bin/env python3
"""Reads Google Benchmark JSON files and prints one Markdown table.

A measure registered as "<name>/ours" and "<name>/anchor" is shown as a pair: each figure's median
with its minimum and maximum over the repetitions, and the ratio ours / anchor, taken repetition
by repetition (the two ran in the same interleaved round) and summarised the same way. Any other
measure is absolute, and shows the process's CPU time next to its real time: on a machine that others
share, the real time of a measure without an anchor says more about the others than about it. A
measure that carries a peak_MiB counter is memory, not time.
"""

import json
import math
import re
import statistics
import sys
from collections import defaultdict

# What each measure should reach: (kind, limit). "ratio": ours / anchor at most limit;
# "ms": our median at most limit milliseconds; "more": ours - anchor at most limit milliseconds.
GOALS = {
    "address book load and fill/30000": ("ms", 50.0),
    "address book reload after a change/30000": ("ms", 60.0),
    "window shape": ("ratio", 1.0),
    "start-up to first paint": ("ratio", 1.5),
    "peak memory after a login": ("ratio", 1.4),
    "login and carrier list": ("ratio", 1.10),
    "login to address book painted, CPU time, 30,000 against 100 friends": ("more", 80.0),
    "login to address book painted with a screen reader, CPU time, 30,000 against 100 friends": ("more", 80.0),
}

TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def base_name(name):
    for suffix in ("/real_time", "/manual_time"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
    # A fixed count of iterations is part of the name Google Benchmark gives.
    return re.sub(r"/iterations:\d+$", "", name)


def value_of(run):
    """The figure of one repetition, its unit, and the process's CPU time for a time."""
    if "peak_MiB" in run:
        return run["peak_MiB"], "MiB", None
    scale = TO_MS[run["time_unit"]]
    return run["real_time"] * scale, "ms", run["cpu_time"] * scale


def summary(values):
    return statistics.median(values), min(values), max(values)


def figure(value, unit):
    if unit == "MiB":
        return f"{value:.1f} MiB"
    if value < 1.0:
        return f"{value * 1000:.0f} µs"
    return f"{value:.{1 if value < 100 else 0}f} ms"


def spread(values, unit):
    med, low, high = summary(values)
    return f"{figure(med, unit)} ({figure(low, unit)}–{figure(high, unit)})"


def label(name):
    measure, _, size = name.rpartition("/")
    if measure and size.isdigit():
        return f"{measure}, {int(size):,} friends"
    return name


def met(value, limit):
    return "met" if value <= limit else "not met"


def goal_text(name, med_ms=None, cpu_ms=None, ratio=None, more=None):
    kind_limit = GOALS.get(name)
    if not kind_limit:
        return ""
    kind, limit = kind_limit
    if kind == "more":
        med, low, high = more
        return f"≤ {limit:g} ms more: {met(med, limit)} ({med:+.1f} ms, {low:+.1f} to {high:+.1f})"
    if kind == "ms":
        return f"≤ {limit:g} ms: {met(med_ms, limit)} in real time, {met(cpu_ms, limit)} in CPU time"
    return f"≤ {limit:.2f}×: {met(ratio, limit)}"


def main(paths):
    runs = defaultdict(dict)  # measure -> repetition -> (value, unit)
    order = []
    failures = []
    for path in paths:
        with open(path, encoding="utf-8") as file:
            report = json.load(file)
        for run in report.get("benchmarks", []):
            if run.get("run_type") != "iteration":
                continue
            name = base_name(run["run_name"] if "run_name" in run else run["name"])
            if run.get("error_occurred"):
                failures.append(f"{name}: {run.get('error_message', 'failed')}")
                continue
            if name not in runs:
                order.append(name)
            runs[name][run.get("repetition_index", 0)] = value_of(run)

    # Absolute measures first, each by size, then the pairs; alphabetical within each.
    def sort_key(name):
        measure, _, last = name.rpartition("/")
        pair = last in ("ours", "anchor")
        return (pair, measure if (pair or last.isdigit()) else name, int(last) if last.isdigit() else 0)

    order.sort(key=sort_key)
    print("| measure | ours: median (min–max) | anchor: median (min–max) | ratio: median (min–max) | goal |")
    print("|---|---|---|---|---|")
    shown = set()
    for name in order:
        if name in shown:
            continue
        if name.endswith("/ours") or name.endswith("/anchor"):
            measure = name.rpartition("/")[0]
            ours, anchor = runs.get(measure + "/ours", {}), runs.get(measure + "/anchor", {})
            shown.update({measure + "/ours", measure + "/anchor"})
            rounds = sorted(set(ours) & set(anchor))
            if not rounds:
                continue
            unit = ours[rounds[0]][1]
            ours_values = [ours[r][0] for r in rounds]
            anchor_values = [anchor[r][0] for r in rounds]
            ratios = [o / a for o, a in zip(ours_values, anchor_values)]
            differences = summary([o - a for o, a in zip(ours_values, anchor_values)])
            med, low, high = summary(ratios)
            print(f"| {measure} | {spread(ours_values, unit)} | {spread(anchor_values, unit)} | "
                  f"{med:.2f}× ({low:.2f}–{high:.2f}) | {goal_text(measure, ratio=med, more=differences)} |")
        else:
            shown.add(name)
            values = [v for v, _, _ in runs[name].values()]
            unit = next(iter(runs[name].values()))[1]
            cpu = statistics.median(c for _, _, c in runs[name].values())
            print(f"| {label(name)} | {spread(values, unit)}; CPU {figure(cpu, unit)} | — | — | "
                  f"{goal_text(name, med_ms=statistics.median(values), cpu_ms=cpu)} |")

    # How the load and fill grows with the book: the exponent k of n^k between the sizes measured.
    sizes = sorted(int(n.rpartition("/")[2]) for n in order if n.startswith("address book load and fill/"))
    if len(sizes) >= 2:
        def median_at(n):
            return statistics.median(v for _, _, v in runs[f"address book load and fill/{n}"].values())
        steps = [f"{a:,}→{b:,}: n^{math.log(median_at(b) / median_at(a)) / math.log(b / a):.2f}"
                 for a, b in zip(sizes, sizes[1:])]
        per_friend = [f"{median_at(n) * 1000 / n:.2f} µs" for n in sizes]
        print()
        print("Growth of the load and fill's CPU time with the size of the book, " + ", ".join(steps) +
              "; CPU time per friend: " + ", ".join(f"{n:,}: {p}" for n, p in zip(sizes, per_friend)) + ".")
    if failures:
        print()
        print("Failed: " + "; ".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
