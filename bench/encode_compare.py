#!/usr/bin/env python3
"""Two builds of lzss_encode_bench (this tree's and another commit's
encoder) run alternately, ROUNDS times each, on the same files: each run
the fastest of 2 encodings per file and level (the thread's CPU time), the
order of the two builds swapped every round. Prints, per file and level,
both stream sizes and the median of the rounds' own speed ratios
(new / old), with every round's ratio, and the load average.

usage: bench/encode_compare.py [--levels normal] [--rounds 9] OLD_BENCH NEW_BENCH FILE...
"""
import argparse
import os
import statistics
import subprocess


def run(binary, levels, files):
    out = subprocess.run([binary, "--levels", levels, "2", *files], check=True, capture_output=True, text=True)
    result = {}
    for line in out.stdout.splitlines():
        name, level, speed, size = line.split("\t")
        result[(name, level)] = (float(speed.split()[0]), int(size.split()[0]))
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--levels", default="normal")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    loads, ratios, sizes, speeds = [], {}, {}, {}
    for r in range(args.rounds):
        loads.append(os.getloadavg()[0])
        order = [("old", args.old), ("new", args.new)]
        got = {which: run(binary, args.levels, args.files) for which, binary in (order if r % 2 == 0 else order[::-1])}
        for key in got["new"]:
            ratios.setdefault(key, []).append(got["new"][key][0] / got["old"][key][0])
            sizes[key] = (got["old"][key][1], got["new"][key][1])
            speeds.setdefault(key, []).append((got["old"][key][0], got["new"][key][0]))
    print("load average %.1f to %.1f over %d rounds" % (min(loads), max(loads), args.rounds))
    for (name, level), values in ratios.items():
        old, new = sizes[(name, level)]
        print("%s %s: %d -> %d bytes (%+.3f %%), %.1f -> %.1f MiB/s, new/old speed %.3fx [%s]" % (
            os.path.basename(name), level, old, new, 100.0 * (new / old - 1),
            statistics.median(s[0] for s in speeds[(name, level)]), statistics.median(s[1] for s in speeds[(name, level)]),
            statistics.median(values), " ".join("%.2f" % v for v in values)))


if __name__ == "__main__":
    main()
