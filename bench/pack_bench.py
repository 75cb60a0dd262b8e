#!/usr/bin/env python3
"""qordat pack's levels beside gzip -1 and gzip -6 on the same files.

Builds qordat and the content writer in the bench preset (g++ -O2), writes
64 MiB of each kind (tests/support/test_content.h: text, photo, sound,
random; english: this machine's manual pages and package documentation,
decompressed, cut at the size; changelogs: the packages' change logs and
news files, decompressed, each text once, cut at the size) and, in each of REPETITIONS rounds, runs every command on every file
one after the other, so that the ratios of a round come from one run.
Prints a Markdown table: MiB/s of content (median over the rounds), output
bytes, output / content, speed against gzip -6 and gzip -1 (median of the
rounds' own ratios), peak memory (/usr/bin/time %M). Checks that pack's
default on every thread gives the bytes of -j 1.

With --baseline QORDAT (a qordat built from another commit) its --fast and
default run beside this tree's in every round, so that a change's speed is
compared within one run ("before --fast" and so on). Every other round
runs the commands in the opposite order.

usage: bench/pack_bench.py [--size MIB] [--rounds N] [--kinds text,english,changelogs,photo,...] [--baseline QORDAT]
"""
import argparse
import glob
import gzip
import hashlib
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "bench")


def timed(command, out_path):
    """Runs command with stdout to out_path; (seconds, peak KiB)."""
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        r = subprocess.run(["/usr/bin/time", "-f", "%M", *command], stdout=out, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
    if r.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(command), r.stderr.decode(errors="replace")))
    return seconds, int(r.stderr.decode().strip().splitlines()[-1])


def english(path, size):
    """Real English text: the manual pages and package documentation
    installed here, decompressed, cut at `size` bytes."""
    script = "zcat /usr/share/man/man*/*.gz /usr/share/doc/*/*.gz 2>/dev/null; cat /usr/share/doc/*/*.txt 2>/dev/null"
    text = subprocess.run(["sh", "-c", script], stdout=subprocess.PIPE).stdout[:size]
    if len(text) < size:
        sys.exit("english: only %d bytes of manual pages and documentation here" % len(text))
    with open(path, "wb") as f:
        f.write(text)


def changelogs(path, size):
    """Other real English text: the change logs and news files of the
    packages installed here (/usr/share/doc/*/changelog*.gz, NEWS*.gz: every
    Debian package has its changelog.Debian.gz), decompressed, in the order
    of their paths, each text once (packages built from one source carry the
    same files), cut at `size` bytes. The english kind never reaches them:
    its manual pages alone fill it here."""
    seen, parts, total = set(), [], 0
    for name in sorted(glob.glob("/usr/share/doc/*/changelog*.gz") + glob.glob("/usr/share/doc/*/NEWS*.gz")):
        try:
            with gzip.open(name) as f:
                text = f.read()
        except (OSError, EOFError):
            continue
        digest = hashlib.sha256(text).digest()
        if digest in seen:
            continue
        seen.add(digest)
        parts.append(text)
        total += len(text)
        if total >= size:
            break
    text = b"".join(parts)[:size]
    if len(text) < size:
        sys.exit("changelogs: only %d bytes of change logs here" % len(text))
    with open(path, "wb") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=64, help="MiB per file (default 64)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--kinds", default="text,english,changelogs,photo,sound,random")
    parser.add_argument("--baseline", help="another qordat whose --fast and default run beside this one's")
    args = parser.parse_args()

    subprocess.run(["cmake", "--preset", "bench"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "bench", "--target", "qordat", "pack_content"], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    qordat = os.path.join(BUILD, "tools", "qordat")
    work = os.path.join(BUILD, "pack")
    os.makedirs(work, exist_ok=True)
    size = args.size << 20
    kinds = args.kinds.split(",")
    for kind in kinds:
        path = os.path.join(work, kind)
        if os.path.exists(path) and os.path.getsize(path) == size:
            continue
        if kind == "english":
            english(path, size)
        elif kind == "changelogs":
            changelogs(path, size)
        else:
            subprocess.run([os.path.join(BUILD, "bench", "pack_content"), kind, str(size), path], check=True)

    def pack(*options, binary=qordat):
        # --force: a compressed text alone is listed only with the full scan,
        # which the read-back says (and would keep no archive without it).
        # -q: no summary line.
        quiet = ["-q"] if binary == qordat else []
        return lambda src, dst: [binary, "pack", dst, "--force", *quiet, "--layout", "kind-only", "--compress",
                                 *options, src]

    def gzip(level):
        return lambda src, dst: ["sh", "-c", 'gzip -%d -c "$0" > "$1"' % level, src, dst]

    cores = os.cpu_count()
    tools = [
        ("gzip -1", gzip(1)),
        ("gzip -6", gzip(6)),
        ("pack --fast", pack("--fast")),
        ("pack (default, -j %d)" % cores, pack()),
        ("pack -j 1", pack("-j", "1")),
        ("pack --best", pack("--best")),
    ]
    if args.baseline:
        tools += [("before --fast", pack("--fast", binary=os.path.abspath(args.baseline))),
                  ("before (default, -j %d)" % cores, pack(binary=os.path.abspath(args.baseline)))]
    seconds = {(k, t): [] for k in kinds for t, _ in tools}
    ratio6 = {(k, t): [] for k in kinds for t, _ in tools}
    ratio1 = {(k, t): [] for k in kinds for t, _ in tools}
    sizes, peaks = {}, {}
    for round_ in range(args.rounds):
        load = os.getloadavg()[0]
        for kind in kinds:
            src = os.path.join(work, kind)
            this = {}
            # Every other round runs the commands in the opposite order, so
            # that no command always comes first or last (or right after
            # another build's) in a round.
            for name, command in (tools if round_ % 2 == 0 else tools[::-1]):
                dst = os.path.join(work, "%s.%s.out" % (kind, name.split(" (")[0].replace(" ", "_")))
                if os.path.exists(dst):
                    os.remove(dst)
                s, kib = timed(command(src, dst), os.devnull)
                this[name] = s
                seconds[(kind, name)].append(s)
                sizes[(kind, name)] = os.path.getsize(dst)
                peaks[(kind, name)] = max(peaks.get((kind, name), 0), kib)
            for name, _ in tools:
                ratio6[(kind, name)].append(this["gzip -6"] / this[name])
                ratio1[(kind, name)].append(this["gzip -1"] / this[name])
            default = os.path.join(work, "%s.pack.out" % kind)
            single = os.path.join(work, "%s.pack_-j_1.out" % kind)
            if open(default, "rb").read() != open(single, "rb").read():
                sys.exit("%s: the default on %d threads differs from -j 1" % (kind, cores))
            for name in os.listdir(work):  # the outputs take 1.5 GB over the four kinds
                if name.startswith(kind + ".") and name.endswith(".out"):
                    os.remove(os.path.join(work, name))
        print("round %d done (load average %.2f at its start)" % (round_ + 1, load), file=sys.stderr)

    print("| content | command | MiB/s | output bytes | output/content | speed / gzip -6 | speed / gzip -1 | peak MiB |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for kind in kinds:
        for name, _ in tools:
            key = (kind, name)
            print("| %s | %s | %.1f | %d | %.3f | %.2fx | %.2fx | %.1f |" % (
                kind, name, args.size / statistics.median(seconds[key]), sizes[key], sizes[key] / size,
                statistics.median(ratio6[key]), statistics.median(ratio1[key]), peaks[key] / 1024))
    print("\nround times (s): " + "; ".join(
        "%s %s: %s" % (k, t, " ".join("%.2f" % s for s in seconds[(k, t)])) for k in kinds for t, _ in tools))


if __name__ == "__main__":
    main()
