#!/usr/bin/env python3
"""Turns a Google Benchmark JSON file from lzss_bench (run with repetitions)
into the Markdown table of bench/README.md: median output MB/s of the fast
decoder, the byte-loop baseline, the scan and memcpy, and their ratios."""
import json
import math
import sys

KINDS = ["photo", "sound", "text", "random", "runs"]


def size_label(size):
    if size.startswith("many"):
        return "1024 x 1 KiB"
    n = int(size)
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB"


def num(value, fmt):
    return "-" if value is None else fmt.format(value)


def main(path):
    with open(path) as f:
        data = json.load(f)
    rate = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        what, kind, size = b["run_name"].split("/")
        rate[(kind, size, what)] = b["bytes_per_second"] / 1e6
    sizes = sorted({s for (_, s, _) in rate}, key=lambda s: (s.startswith("many"), int(s) if s.isdigit() else 0))
    print("| content | size | fast MB/s | baseline MB/s | scan MB/s | memcpy MB/s | fast/baseline | scan/baseline | memcpy/fast |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    big = []
    for kind in KINDS:
        for size in sizes:
            r = {w: rate.get((kind, size, w)) for w in ("fast", "reference", "scan", "memcpy")}
            if r["fast"] is None or r["reference"] is None:
                continue
            speedup = r["fast"] / r["reference"]
            scan = r["scan"] / r["reference"] if r["scan"] else None
            if size in (str(1 << 20), str(16 << 20)):
                big.append((kind, size, speedup, scan))
            cells = [f"{r['fast']:.0f}", f"{r['reference']:.0f}", num(r["scan"], "{:.0f}"), num(r["memcpy"], "{:.0f}"),
                     f"{speedup:.2f}x", num(scan, "{:.1f}x"),
                     num(r["memcpy"] / r["fast"] if r["memcpy"] else None, "{:.1f}x")]
            print(f"| {kind} | {size_label(size)} | " + " | ".join(cells) + " |")
    if big:
        geo = math.exp(sum(math.log(s) for _, _, s, _ in big) / len(big))
        low = min(big, key=lambda x: x[2])
        print()
        print(f"fast/baseline over the five kinds at 1 MiB and 16 MiB: geometric mean {geo:.2f}x, "
              f"lowest {low[2]:.2f}x ({low[0]}, {size_label(low[1])})")
        for kind in KINDS:
            scans = [s for k, _, _, s in big if k == kind and s is not None]
            if scans:
                print(f"scan/baseline, {kind}: {min(scans):.1f}x at least")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/bench/lzss_bench.json")
