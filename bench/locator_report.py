"""Puts the package locator's figures side by side with their targets, from either benchmark
program: the native one's Google Benchmark JSON, or the Windows one's tab-separated lines.

Usage: locator_report.py native <file.json>
       locator_report.py windows <file.tsv>
"""

from __future__ import annotations

import json
import sys

MIB = 1 << 20
OVERHEAD_TARGET = 0.20
MEMORY_TOLERANCE = 0.05
DESIGN = {"utf8": 3.0, "utf16": 2.0}


def from_native(path: str) -> dict[tuple[str, str], dict]:
    """(kind, case) -> median seconds per call, peak bytes, file bytes, samples."""
    data = json.load(open(path))
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "aggregate" or b.get("aggregate_name") != "median":
            continue
        kind, case = b["run_name"].split("/")[:2]
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
        mebibytes = int(case.split("-")[1].removesuffix("mib"))
        runs[(kind, case)] = {"seconds": b["real_time"] * scale, "peak": b["peak_bytes"],
                              "bytes": mebibytes * MIB, "samples": b["repetitions"]}
    return runs


def from_windows(path: str) -> dict[tuple[str, str], dict]:
    runs = {}
    for line in open(path):
        kind, case, ns, samples, _calls, peak, size = line.split("\t")
        runs[(kind, case)] = {"seconds": float(ns) * 1e-9, "peak": float(peak),
                              "bytes": int(size), "samples": int(samples)}
    return runs


def report(runs: dict[tuple[str, str], dict]) -> bool:
    cases = sorted({case for _, case in runs},
                   key=lambda c: (c.split("-")[0] != "utf8", int(c.split("-")[1][:-3])))
    met = True
    print(f"{'case':<13}{'floor':>10}{'locator':>10}{'floor':>11}{'locator':>11}"
          f"{'throughput':>12}{'overhead':>10}  {'peak heap':>10}{'design':>8}{'floor':>8}")
    print(f"{'':<13}{'ms':>10}{'ms':>10}{'MiB/s':>11}{'MiB/s':>11}{'ratio':>12}"
          f"{'<= 20 %':>10}  {'x file':>10}{'x file':>8}{'x file':>8}")
    for case in cases:
        floor, locator = runs[("floor", case)], runs[("locator", case)]
        size = floor["bytes"]
        ratio = floor["seconds"] / locator["seconds"]
        overhead = locator["seconds"] / floor["seconds"] - 1
        peak = locator["peak"] / size
        design = DESIGN[case.split("-")[0]]
        ok = overhead <= OVERHEAD_TARGET and peak <= design + MEMORY_TOLERANCE
        met = met and ok
        print(f"{case:<13}{floor['seconds'] * 1e3:>10.2f}{locator['seconds'] * 1e3:>10.2f}"
              f"{size / MIB / floor['seconds']:>11.0f}{size / MIB / locator['seconds']:>11.0f}"
              f"{ratio:>12.2f}{overhead * 100:>9.0f}%  {peak:>10.3f}{design:>8.1f}"
              f"{floor['peak'] / size:>8.3f}  {'' if ok else 'MISSED'}")
    samples = sorted({r["samples"] for r in runs.values()})
    print(f"(medians of {'/'.join(map(str, samples))} samples each; the peak memory target is the"
          f" design + {MEMORY_TOLERANCE}x)")
    return met


def main() -> int:
    source, path = sys.argv[1], sys.argv[2]
    runs = from_native(path) if source == "native" else from_windows(path)
    report(runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
