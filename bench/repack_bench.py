#!/usr/bin/env python3
"""qordat unpack, repack and replace beside a copy of the same file.

Builds qordat in the bench preset (g++ -O2), packs an archive of SIZE MiB
(kind-size; 8 MiB entries of random bytes stored plain, and every eighth a
4 MiB text entry stored compressed), then, in each of ROUNDS rounds, times
with the page cache warm:

  cp       the archive copied (cp), the baseline
  unpack   qordat unpack ARCHIVE -o DIR
  repack   qordat repack DIR OUT.DAT, one compressed entry's file changed
  replace  qordat replace on an archive of REPLACE MiB (one small entry),
           beside cp of that archive

each step after a sync (the page cache warm, no writes of the step before
pending), and prints a Markdown table: seconds (median of the rounds), the ratio to
the copy, and peak memory (/usr/bin/time %M). Checks that repack of the
unchanged folder gives the archive back byte for byte and that the edited
repack differs in one slot only.

usage: bench/repack_bench.py [--size MIB] [--replace-size MIB] [--rounds N] [--work DIR]
"""
import argparse
import filecmp
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")


def timed(args):
    """(seconds, peak KiB) of args, from /usr/bin/time. The dirty pages of the
    step before are written out first (not timed): a step that runs while the
    kernel throttles another's writes measures the disk, not itself."""
    os.sync()
    report = tempfile.mktemp()
    r = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%e %M", *args], stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        sys.exit(f"{' '.join(args)} failed: {r.stderr}")
    with open(report) as f:
        seconds, kib = f.read().split()[-2:]
    os.remove(report)
    return float(seconds), int(kib)


def slots(path):
    with open(path, "rb") as f:
        count = struct.unpack("<i", f.read(4))[0]
        sizes = struct.unpack("<%di" % count, f.read(4 * count))
        return [f.read(n) for n in sizes]


def make_archive(qordat, work, size_mib, name):
    rng = random.Random(size_mib)
    noise = os.path.join(work, "noise.bin")
    with open(noise, "wb") as f:
        f.write(rng.randbytes(8 << 20))
    words = [b"castle", b"lantern", b"the", b"of", b"stream", b"window", b"token", b"harbour", b"gate"]
    text = os.path.join(work, "text.txt")
    with open(text, "wb") as f:
        f.write(b" ".join(rng.choice(words) for _ in range(900000))[:4 << 20])
    small = os.path.join(work, "small.txt")
    with open(small, "wb") as f:
        f.write(b"a small entry to replace\n" * 40)
    groups = max(1, size_mib // (7 * 8 + 4))
    args = ["--layout", "kind-size", small]
    for _ in range(groups):
        args += ["--repeat", "7", noise, "--compressed", text]
    path = os.path.join(work, name)
    r = subprocess.run([qordat, "pack", path, "--force", *args], capture_output=True, text=True)
    if r.returncode:
        sys.exit("pack: " + r.stderr)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--replace-size", type=int, default=384)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--work", default=os.path.join(BUILD, "repack"))
    o = parser.parse_args()
    subprocess.run(["cmake", "--preset", "bench"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "bench", "--target", "qordat"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    qordat = os.path.join(BUILD, "tools", "qordat")
    shutil.rmtree(o.work, ignore_errors=True)
    os.makedirs(o.work)
    big = make_archive(qordat, o.work, o.size, "BIG.DAT")
    mid = make_archive(qordat, o.work, o.replace_size, "MID.DAT")
    copy, folder, out = (os.path.join(o.work, n) for n in ("COPY.DAT", "big", "OUT.DAT"))

    rows = {k: [] for k in ("cp", "unpack", "repack", "repack, one entry changed", "cp (replace's archive)",
                            "replace")}
    for _ in range(o.rounds):
        rows["cp"].append(timed(["cp", big, copy]))
        shutil.rmtree(folder, ignore_errors=True)
        rows["unpack"].append(timed([qordat, "unpack", big, "-o", folder, "-q"]))
        rows["repack"].append(timed([qordat, "repack", folder, out, "-q"]))
        if not filecmp.cmp(big, out, shallow=False):
            sys.exit("repack of the unchanged folder differs from the archive")
        edited = os.path.join(folder, "BIG~008.DAT")
        with open(edited, "ab") as f:
            f.write(b" and one line more")
        rows["repack, one entry changed"].append(timed([qordat, "repack", folder, out, "-q"]))
        changed = [i for i, (a, b) in enumerate(zip(slots(big), slots(out))) if a != b]
        if changed != [8]:
            sys.exit(f"the edited repack changed slots {changed}")
        with open(edited, "r+b") as f:
            f.truncate(os.path.getsize(edited) - len(b" and one line more"))
        rows["cp (replace's archive)"].append(timed(["cp", mid, copy]))
        rows["replace"].append(timed([qordat, "replace", mid, "MID~000.DAT", os.path.join(o.work, "small.txt"),
                                      "-q"]))
    base = {"cp": statistics.median(s for s, _ in rows["cp"]),
            "mid": statistics.median(s for s, _ in rows["cp (replace's archive)"])}
    print(f"archive {os.path.getsize(big) / 2**20:.0f} MiB, replace's {os.path.getsize(mid) / 2**20:.0f} MiB, "
          f"{o.rounds} rounds, page cache warm\n")
    print("| step | seconds (median) | x copy | peak MiB |")
    print("|---|---|---|---|")
    for name, runs in rows.items():
        seconds = statistics.median(s for s, _ in runs)
        against = base["mid"] if name in ("replace", "cp (replace's archive)") else base["cp"]
        peak = max(k for _, k in runs) / 1024
        print(f"| {name} | {seconds:.2f} | {seconds / against:.2f} | {peak:.1f} |")


if __name__ == "__main__":
    main()
