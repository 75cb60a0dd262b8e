#!/usr/bin/env python3
"""qordat end to end: pack every layout, dump it, unpack it; damage options;
dump and unpack on truncated and garbage files; usage errors.

usage: qordat_test.py PATH/TO/qordat
"""
import hashlib
import os
import random
import re
import struct
import sys

from qordat_run import check, run_qordat, run_test

QORDAT = sys.argv[1]


def run(*args):
    return run_qordat(QORDAT, *args)


def unpacked(outdir, slot):
    """The file unpack wrote for `slot`: named by the plug-in, its number after the separator."""
    names = [n for n in os.listdir(outdir) if re.search(r"~0*%d\.[A-Z]{3}$" % slot, n)]
    check(len(names) == 1, f"{outdir}: slot {slot}: {names}")
    return os.path.join(outdir, names[0]) if names else os.path.join(outdir, "missing")


def slot_rows(dump):
    """slot -> list of the fields of its dump row."""
    rows = {}
    for line in dump.splitlines():
        m = re.match(r"\s*(\d+)\s+(-?\d+)\s+(.*)$", line)
        if m and not line.startswith(("count", "table", "file", "end")):
            rows[int(m.group(1))] = [m.group(2)] + m.group(3).split()
    return rows


def levels(tmp):
    """Every level and thread count: each entry comes back byte for byte, the
    threads change no byte, the default lies within 2 % of --best, --fast
    between them and plain; --compress stores plain what compression makes larger, -v says
    so, and --compressed still compresses it."""
    rng = random.Random(5)
    words = [b"ring", b"stream", b"the", b"window", b"token", b"group", b"castle", b"of"]
    text = b" ".join(rng.choice(words) for _ in range(200000))[:(1 << 20) + 1]  # one byte past a join
    runs = b"".join(bytes([rng.randrange(256)]) * rng.randrange(1, 300) for _ in range(30000))[:2 << 20]
    runs += bytes(max(0, (2 << 20) - len(runs)))  # two whole blocks
    noise = bytes(rng.randrange(256) for _ in range(70000))
    files = {"text.txt": text, "runs.bin": runs, "noise.bin": noise, "one.bin": b"\x07"}
    paths = {}
    for name, content in files.items():
        paths[name] = os.path.join(tmp, name)
        with open(paths[name], "wb") as f:
            f.write(content)
    order = ["text.txt", "noise.bin", "runs.bin", "one.bin"]
    stored_plain = {"noise.bin", "one.bin"}

    archives = {}
    for level in ("--fast", None, "--best"):
        for jobs in ("1", "3"):
            name = "%s-j%s" % ((level or "default").strip("-"), jobs)
            archive = os.path.join(tmp, name + ".dat")
            # Compressed text first: readers list it with the full scan only,
            # which the read-back says; --force keeps it all the same.
            args = ["pack", archive, "--force", "--layout", "kind-size", "--compress", "-v", "-j", jobs]
            r = run(*args, *([level] if level else []), *[paths[n] for n in order])
            check(r.returncode == 0, f"{name}: pack failed: {r.stderr}")
            for n in order:
                how = "stored plain" if n in stored_plain else "compressed"
                check(f"{paths[n]}: {how}," in r.stdout, f"{name}: -v should say {n} was {how}:\n{r.stdout}")
            rows = slot_rows(run("dump", archive).stdout)
            kinds = [rows.get(i, [None] * 3)[2] for i in range(len(order))]
            check(kinds == ["0" if n in stored_plain else "1" for n in order], f"{name}: kinds {kinds}")
            outdir = os.path.join(tmp, "out-" + name)
            r = run("unpack", archive, "--layout", "kind-size", "-o", outdir)
            check(r.returncode == 0, f"{name}: unpack failed: {r.stderr}")
            for slot, n in enumerate(order):
                with open(unpacked(outdir, slot), "rb") as f:
                    check(f.read() == files[n], f"{name}: {n} does not come back")
            with open(archive, "rb") as f:
                archives[name] = f.read()
        check(archives[name] == archives[name.replace("j3", "j1")], f"{name}: -j 3 and -j 1 differ")
    plain_size = sum(len(c) for c in files.values())
    best, default, fast = (len(archives[n]) for n in ("best-j1", "default-j1", "fast-j1"))
    check(best <= default <= best * 1.02 and default < fast < plain_size,
          "sizes: best %d, default %d, fast %d, plain %d" % (best, default, fast, plain_size))

    # The plug-in's own extraction of the fast archive (its decoder, not qordat's).
    outdir = os.path.join(tmp, "extract-fast")
    r = run("extract", os.path.join(tmp, "fast-j3.dat"), "--full-scan", "-q", "-o", outdir)
    check(r.returncode == 0, f"extract of the fast archive failed: {r.stderr}")
    names = os.listdir(outdir) if os.path.isdir(outdir) else []
    got = sorted(open(os.path.join(outdir, n), "rb").read() for n in names)
    check(got == sorted(files.values()), "extract of the fast archive gives other bytes")

    # --compressed forces compression of the entry that grows.
    forced = os.path.join(tmp, "forced.dat")
    r = run("pack", forced, "--force", "--layout", "kind-only", "-v", "--compressed", paths["noise.bin"],
            paths["one.bin"])
    check(r.returncode == 0 and f"{paths['noise.bin']}: compressed," in r.stdout and
          f"{paths['one.bin']}: plain," in r.stdout, f"forced: {r.stdout} {r.stderr}")
    rows = slot_rows(run("dump", forced).stdout)
    check(int(rows[0][0]) > len(noise) + 2 and rows[0][2] == "1" and rows[1][2] == "0", f"forced: {rows}")

    # --best gives the archive pack wrote for this file before it had levels
    # (by default, on one encoder thread), on one thread and on two: its SHA-256.
    rng = random.Random(7)
    words += [b"dragon", b"letter"]
    fixed = b" ".join(rng.choice(words) + (b"%d" % rng.randrange(100) if rng.random() < 0.2 else b"")
                      for _ in range(400000))[:(3 << 19) + 7]
    with open(os.path.join(tmp, "fixed.txt"), "wb") as f:
        f.write(fixed)
    for jobs in ("1", "2"):
        archive = os.path.join(tmp, "fixed-j%s.dat" % jobs)
        r = run("pack", archive, "--force", "--layout", "kind-size", "--compress", "--best", "-j", jobs,
                os.path.join(tmp, "fixed.txt"))
        with open(archive, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        check(r.returncode == 0 and digest == "626c47483307a63dac60ac58eb5f3a580b9a8168318dbc98f8072e7298dab9e7",
              f"--best -j {jobs}: not the archive pack wrote before levels ({digest}): {r.stderr}")

    for args in (["-j", "0"], ["-j", "65"], ["-jx"], ["-j"]):
        r = run("pack", forced, "--compress", *args, paths["one.bin"])
        check(r.returncode == 2 and "qordat:" in r.stderr, f"pack {args}: exit {r.returncode}, {r.stderr!r}")


def main(tmp):
    levels(tmp)
    files = {
        "pic.bmp": b"BM" + struct.pack("<I", 1078) + bytes(48) + bytes(range(256)) * 4,
        "notes.txt": b"the ring and the stream and the ring again\n" * 20,
        "tiny.bin": b"\x07",
    }
    paths = []
    for name, content in files.items():
        path = os.path.join(tmp, name)
        with open(path, "wb") as f:
            f.write(content)
        paths.append(path)
    contents = list(files.values())
    # Slots: pic, empty, notes, tiny.
    entry_args = [paths[0], "--empty", paths[1], paths[2]]
    expected = [contents[0], None, contents[1], contents[2]]

    for layout, head in (("raw", 0), ("kind-size", 6), ("kind-only", 2)):
        archive = os.path.join(tmp, layout + ".dat")
        extra = [] if layout == "raw" else ["--compress"]
        # --force: a compressed text is sized by the full scan only under kind-only.
        r = run("pack", archive, "--layout", layout, "--force", *extra, *entry_args)
        check(r.returncode == 0, f"{layout}: pack failed: {r.stderr}")
        r = run("dump", archive)
        check(r.returncode == 0, f"{layout}: dump failed: {r.stderr}")
        check("count:    4 " in r.stdout, f"{layout}: count line\n{r.stdout}")
        check("the end of the file" in r.stdout, f"{layout}: entries should end at the file's end\n{r.stdout}")
        rows = slot_rows(r.stdout)
        check(sorted(rows) == [0, 1, 2, 3], f"{layout}: slots listed\n{r.stdout}")
        offset = 4 + 4 * 4
        for slot, content in enumerate(expected):
            row = rows.get(slot, [])
            if content is None:
                check(row[:3] == ["0", str(offset), "empty"], f"{layout}: empty slot row {row}")
                continue
            stored = int(row[0])
            check(int(row[1]) == offset, f"{layout}: slot {slot} offset {row[1]}, expected {offset}")
            if layout == "raw":
                check(stored == len(content), f"{layout}: slot {slot} stored size {stored}")
            else:
                # --compress stores plain what compression would make larger
                # (the one-byte file: two bytes as a stream).
                kind = 0 if len(content) == 1 else 1
                check(int(row[2]) == kind, f"{layout}: slot {slot} kind {row[2]}, expected {kind}")
            if layout == "kind-size" and len(row) > 3 and row[3] != "-":
                check(int(row[3]) == len(content), f"{layout}: slot {slot} declared {row[3]}")
            offset += stored
        outdir = os.path.join(tmp, "out-" + layout)
        r = run("unpack", archive, "--layout", layout, "-o", outdir)
        check(r.returncode == 0, f"{layout}: unpack failed: {r.stderr}")
        for slot, content in enumerate(expected):
            out = unpacked(outdir, slot)
            if content is None:
                check(out.endswith(".DMY") and os.path.getsize(out) == 0, f"{layout}: empty slot unpacked as {out}")
            else:
                with open(out, "rb") as f:
                    check(f.read() == content, f"{layout}: slot {slot} does not unpack to its file")

    # Damage options, seen through dump at the right offset.
    damaged = os.path.join(tmp, "damaged.dat")
    r = run("pack", damaged, "--layout", "kind-size", "--offset", "5",
            "--kind", "8", "--declared", "-7", "--stored-size", "0x7FFFFFFF", paths[1], "--compressed", paths[0])
    check(r.returncode == 0, f"damaged: pack failed: {r.stderr}")
    r = run("dump", damaged, "--offset", "5")
    rows = slot_rows(r.stdout)
    check(r.returncode == 0 and "count:    2 " in r.stdout, f"damaged: count\n{r.stdout}")
    check(rows.get(0, [])[:4] == ["2147483647", "12", "8", "-7"], f"damaged: slot 0 row {rows.get(0)}")
    check(rows.get(1, [])[2:4] == ["-", "-"], f"damaged: slot 1 lies past the file's end {rows.get(1)}")
    check("CUT" in r.stdout and "bytes short" in r.stdout, f"damaged: cut entry\n{r.stdout}")
    r = run("dump", damaged)
    check(r.returncode == 1 and "INVALID" in r.stdout and "not a QOR's DAT archive" in r.stderr,
          f"damaged at offset 0: count should be invalid\n{r.stdout}")
    # --force: the damaged file is no archive at its start, so pack keeps it otherwise.
    r = run("pack", damaged, "--count", "9", "--truncate", "13", paths[2], paths[2])
    check(r.returncode == 1 and "not a QOR's DAT archive; not replaced (--force replaces it)" in r.stderr,
          f"pack over a file that is no archive: {r.returncode} {r.stderr}")
    r = run("pack", damaged, "--force", "--count", "9", "--truncate", "13", paths[2], paths[2])
    r = run("dump", damaged)
    check(os.path.getsize(damaged) == 13 and "count:    9 " in r.stdout and "table cut" in r.stdout,
          f"count and truncation\n{r.stdout}")

    # Hostile files: every prefix of a small archive, and garbage. dump must
    # describe them (exit 0, or 1 when there is no valid count); unpack may
    # complain (exit 1) but never crash
    # (run() fails sanitizer reports and signals).
    with open(os.path.join(tmp, "kind-only.dat"), "rb") as f:
        whole = f.read()
    rng = random.Random(1)
    hostile = [whole[:n] for n in (0, 1, 3, 4, 6, 7, 19, 20, 21, 22, 25, len(whole) - 1)]
    hostile += [struct.pack("<I", 3) + bytes(rng.randrange(256) for _ in range(40)) for _ in range(6)]
    hostile += [struct.pack("<iii", 2, -1, 5) + b"xx", struct.pack("<iii", 2, 0x7FFFFFFF, 0x7FFFFFFF)]
    for i, data in enumerate(hostile):
        path = os.path.join(tmp, "hostile%d.dat" % i)
        with open(path, "wb") as f:
            f.write(data)
        r = run("dump", path)
        valid = len(data) >= 4 and 0 < struct.unpack("<i", data[:4])[0] < 8192
        check(r.returncode == (0 if valid else 1), f"dump of hostile file {i} exited {r.returncode}: {r.stderr[-500:]}")
        for layout in ("raw", "kind-size", "kind-only"):
            r = run("unpack", path, "--layout", layout, "-o", os.path.join(tmp, "hostile-out"))
            check(r.returncode in (0, 1), f"unpack {layout} of hostile file {i} exited {r.returncode}: {r.stderr[-500:]}")

    # Usage errors: non-zero, with a message.
    for args in ([], ["frobnicate"], ["pack"], ["pack", damaged], ["pack", damaged, "--layout", "zip", paths[0]],
                 ["pack", damaged, paths[0], "--kind", "1"], ["pack", damaged, "--layout", "raw", "--compress", paths[0]],
                 ["pack", damaged, "--count", "x", paths[0]], ["pack", damaged, os.path.join(tmp, "missing")],
                 ["dump"], ["dump", damaged, "--offset", "100000"], ["unpack", damaged, "-o", tmp]):
        r = run(*args)
        check(r.returncode != 0 and "qordat:" in r.stderr, f"usage error {args}: exit {r.returncode}, {r.stderr!r}")


if __name__ == "__main__":
    sys.exit(run_test("qordat-test-", main))
