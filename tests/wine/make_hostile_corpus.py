#!/usr/bin/env python3
"""Writes the hostile-archive corpus: damaged, truncated and borderline QOR's
DAT archives, every one packed by qordat, for the run through the real DLL
(hostile_test.cpp).

usage: make_hostile_corpus.py OUT_DIR QORDAT [ARG...]

QORDAT [ARG...] is how to run qordat, e.g. `scripts/wine-run.sh qordat.exe`
or a native build/native/tools/qordat. It runs with OUT_DIR as its working
directory and is given relative paths only. OUT_DIR is emptied first; the
content files qordat packs go to OUT_DIR/in. OUT_DIR/corpus.txt lists the
archives, one a line: file name, base offset, flags (`names` marks the
archives that are also probed under odd names), what the archive is.
"""
import os
import shutil
import struct
import subprocess
import sys

OUT = os.path.abspath(sys.argv[1])
# The command runs in OUT_DIR: paths to programs and scripts are made absolute.
QORDAT = [os.path.abspath(a) if os.path.exists(a) else a for a in sys.argv[2:]]
if not QORDAT:
    sys.exit(__doc__)

cases = []  # (file, base, flags, what)


def le16(v):
    return struct.pack("<H", v & 0xFFFF)


def le32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


# ---- content that archives hold -------------------------------------------

def bitmap(size, announced=None):
    """A bitmap file of `size` bytes whose size field says `announced`."""
    body = bytes((i * 7 + i // 50) & 0xFF for i in range(size))
    head = b"BM" + le32(size if announced is None else announced) + bytes(4) + le32(54) + le32(40)
    return (head + body[len(head):])[:size]


def wave(size, chunk=None):
    """A wave file of `size` bytes whose RIFF chunk size says `chunk`."""
    body = bytes(((i % 40) * 3) & 0xFF for i in range(size))
    head = b"RIFF" + le32(size - 8 if chunk is None else chunk) + b"WAVEfmt " + le32(16)
    return (head + body[len(head):])[:size]


def png(size):
    return (b"\x89PNG\r\n\x1a\n" + bytes((i * 13) & 0xFF for i in range(size)))[:size]


def text(size, seed=0):
    line, out = 0, b""
    while len(out) < size:
        out += b"scene %d line %d: the quick brown fox jumps\n" % (seed, line)
        line += 1
    return out[:size]


inputs = {}


def content(name, data):
    """Writes a content file once; returns its path relative to OUT."""
    if name not in inputs:
        with open(os.path.join(OUT, "in", name), "wb") as f:
            f.write(data)
        inputs[name] = data
    return "in/" + name


def qordat(*args):
    r = subprocess.run(QORDAT + [str(a) for a in args], cwd=OUT, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("qordat %s failed (%d): %s" % (" ".join(map(str, args)), r.returncode, r.stderr))


def pack(name, layout, entries, what, base=0, flags="", options=()):
    """Packs `entries` (qordat ENTRY arguments with their modifiers)."""
    # --force: hostile archives are made to read back otherwise.
    qordat("pack", name, "--layout", layout, "--force", *options, *entries)
    cases.append((name, base, flags, what))
    return os.path.getsize(os.path.join(OUT, name))


def pack_cut(name, layout, entries, what, cut, flags=""):
    """Packs `entries` and cuts the file `cut(full_length)` bytes long."""
    qordat("pack", name, "--layout", layout, "--force", *entries)
    full = os.path.getsize(os.path.join(OUT, name))
    return pack(name, layout, entries, "%s (%d of %d bytes)" % (what, cut(full), full), flags=flags,
                options=("--truncate", cut(full)))


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    os.makedirs(os.path.join(OUT, "in"))

    bmp = content("pic.bmp", bitmap(1078))
    wav = content("sound.wav", wave(600))
    pngf = content("image.png", png(300))
    txt = content("notes.txt", text(2000))
    big = content("long.txt", text(70000, 1))  # larger than the listing's 64 KiB read window
    tiny = content("tiny.bin", b"abc")
    riff = content("riff.bin", b"RIFF" + le32(100) + b"AVI LIST" + bytes(40))  # RIFF but no wave
    # Kind-only archives: a plain wave after a two-byte head is what tells them.
    heads = {"raw": [bmp], "kind-size": [bmp], "kind-only": [wav]}

    # ---- counts ----
    pack("count-0.dat", "raw", [bmp], "count 0", options=("--count", 0))
    pack("count-1.dat", "raw", [bmp], "count 1", flags="names")
    pack("count-1-kind-size.dat", "kind-size", ["--compressed", bmp], "count 1, compressed bitmap")
    pack("count-8191.dat", "raw", [bmp, "--repeat", 4000, "--empty", "--repeat", 4190, tiny],
         "count 8191: a bitmap, 4,000 empty slots, 4,190 three-byte entries", flags="names")
    pack("count-8191-empty.dat", "raw", ["--repeat", 8191, "--empty"], "count 8191, every slot empty")
    pack("count-8191-kind-only.dat", "kind-only", ["--compressed", bmp, "--repeat", 8190, "--compressed", wav],
         "count 8191, compressed bitmap and waves under two-byte heads")
    pack("count-8192.dat", "raw", [bmp, "--repeat", 8191, tiny], "count 8192 with a full table")
    pack("count-8192-short.dat", "raw", [bmp], "count 8192, one entry", options=("--count", 8192))
    pack("count-minus-1.dat", "raw", [bmp], "count -1", options=("--count", -1))
    pack("count-int-min.dat", "raw", [bmp], "count 0x80000000", options=("--count", "0x80000000"))
    pack("count-10001.dat", "raw", [bmp], "count 0x00010001", options=("--count", "0x00010001"))
    pack("count-1000001.dat", "raw", [bmp], "count 0x01000001", options=("--count", "0x01000001"))
    pack("count-8191-two-entries.dat", "kind-size", [bmp, wav],
         "count 8191 with two entries: the table runs into the entries and past the file's end",
         options=("--count", 8191))
    pack("count-600-negative-520.dat", "raw",
         [bmp, "--repeat", 519, tiny, "--stored-size", -1, tiny, "--repeat", 79, tiny],
         "count 600, size -1 at slot 520, past the probe's 2,048 bytes")

    # ---- sizes ----
    pack("size-negative-first.dat", "raw", ["--stored-size", -1, bmp, wav], "first size -1")
    pack("size-negative-last.dat", "kind-size", [bmp, wav, "--stored-size", "0x80000000", txt],
         "last size 0x80000000")
    pack("size-huge-last.dat", "raw", [bmp, "--stored-size", "0x7FFFFFFF", wav], "last size 0x7FFFFFFF")
    pack("size-huge-first.dat", "raw", ["--stored-size", "0x7FFFFFFF", bmp, wav, txt],
         "first size 0x7FFFFFFF: the entries after it lie past the end")
    pack("size-huge-kind-size.dat", "kind-size", [bmp, "--stored-size", "0x7FFFFFFF", txt, wav],
         "kind-size, middle size 0x7FFFFFFF")
    pack("size-huge-kind-only.dat", "kind-only", [wav, "--stored-size", "0x7FFFFFFF", "--compressed", txt, bmp],
         "kind-only, compressed entry of size 0x7FFFFFFF (scanned whole with CheckMode 1)")
    pack("size-sum-past-4g.dat", "raw",
         ["--stored-size", "0x7FFFFFFF", bmp, "--stored-size", "0x7FFFFFFF", wav, "--stored-size", "0x7FFFFFFF",
          txt, pngf], "sizes summing past 4 GiB")
    pack("size-sum-4g-wrap.dat", "raw",
         [bmp, "--stored-size", "0x7FFFFFFF", wav, "--stored-size", "0x7FFFFFFF", txt, "--stored-size", 2, tiny,
          pngf], "sizes summing to 4 GiB + bitmap: a 32-bit sum would wrap back onto the bitmap")
    pack("size-past-end.dat", "raw", [bmp, "--stored-size", 5000, content("hundred.txt", text(100, 2))],
         "last entry 5,000 bytes, 100 in the file")
    pack("size-past-end-stream.dat", "kind-size", [bmp, "--stored-size", 100000, "--compressed", big],
         "kind-size, compressed entry declared 100,000 stored bytes, fewer in the file")

    # ---- files cut short ----
    for n in (0, 2, 3):
        pack_cut("cut-count-%d.dat" % n, "raw", [bmp], "cut inside the count", lambda full, n=n: n)
    pack_cut("cut-table.dat", "kind-size", [bmp, wav, txt], "cut inside the size table", lambda full: 4 + 4 * 3 - 2)
    pack_cut("cut-first-head.dat", "kind-size", [bmp, wav], "cut inside the first head", lambda full: 4 + 8 + 3)
    pack_cut("cut-second-head.dat", "kind-size", [bmp, wav], "cut inside the second head",
             lambda full: 4 + 8 + 6 + 1078 + 4)
    pack_cut("cut-stream-kind-size.dat", "kind-size", [bmp, "--compressed", big], "cut inside a compressed stream",
             lambda full: full - 500)
    pack_cut("cut-stream-kind-only.dat", "kind-only", ["--compressed", bmp, "--compressed", wav, "--compressed", txt],
             "kind-only, cut inside the last compressed stream", lambda full: full - 100)
    pack_cut("cut-first-stream-head.dat", "kind-only", ["--compressed", bmp, wav],
             "kind-only, cut inside the bitmap header of the first stream", lambda full: 4 + 8 + 2 + 5)

    # ---- kinds under each layout ----
    # The first entry sets the layout; the others carry the kind, plain and
    # compressed. A kind that no record can be built for fails the listing,
    # so each kind has an archive of its own.
    kinds = {"0": 0, "1": 1, "8": 8, "2": 2, "minus-1": -1, "4d42": 0x4D42, "7fff": 0x7FFF, "int16-min": -32768}
    for layout in ("kind-size", "kind-only"):
        for label, kind in kinds.items():
            pack("kind-%s-%s.dat" % (layout, label), layout,
                 heads[layout] + ["--kind", kind, txt, "--kind", kind, "--compressed", txt, pngf],
                 "%s, entries of kind %d" % (layout, kind))
            # The same kind on the first entry, which decides the layout.
            pack("first-kind-%s-%s.dat" % (layout, label), layout,
                 ["--kind", kind, bmp, wav, "--compressed", txt], "%s, first entry of kind %d" % (layout, kind))
    # Under the raw layout the kind is just the content's first bytes.
    raw_kinds = [content("kind-%s.bin" % label, le16(kind) + le32(40) + text(40, kind & 0xFF))
                 for label, kind in kinds.items()]
    pack("kind-raw.dat", "raw", [bmp] + raw_kinds, "raw, entries beginning with every kind")
    # Kind 8 under a two-byte head takes the next four bytes as its size.
    for label, sizes in (("sizes", (1, 0x7FFFFFFF, 0x00400000)), ("bad-sizes", (0, 0x80000000))):
        pack("kind-only-8-%s.dat" % label, "kind-only",
             [wav] + [x for size in sizes
                      for x in ("--kind", 8, content("k8-%x.bin" % size, le32(size) + text(60, 3)))],
             "kind-only, kind 8 with sizes %s" % ", ".join("%#x" % size for size in sizes))

    # ---- declared sizes under six-byte heads ----
    for label, declared in (("0", 0), ("minus-1", -1), ("int-min", "0x80000000"), ("huge", "0x7FFFFFFF"),
                            ("4m", "0x00400000")):
        pack("declared-%s.dat" % label, "kind-size",
             [bmp, "--declared", declared, txt, "--declared", declared, "--compressed", txt,
              "--kind", 8, "--declared", declared, txt],
             "kind-size, declared size %s on kinds 0, 1 and 8" % declared)

    # ---- bitmap and wave streams announcing odd sizes ----
    odd = [content("bmp-announces-%x.bmp" % n, bitmap(400, n)) for n in (0, 0x7FFFFFFF, 0xFFFFFFFF)]
    odd += [content("wav-announces-%x.wav" % n, wave(400, n)) for n in (0, 0x7FFFFFF7, 0xFFFFFFF8, 0xFFFFFFFF)]
    pack("streams-announce-kind-only.dat", "kind-only",
         ["--compressed", bmp] + [x for path in odd for x in ("--compressed", path)],
         "kind-only, compressed bitmaps and waves announcing 0, 0x7FFFFFFF, 0xFFFFFFFF bytes")
    for path in odd:
        stem = os.path.splitext(os.path.basename(path))[0]
        announced = struct.unpack("<I", inputs[os.path.basename(path)][2:6] if path.endswith(".bmp")
                                  else inputs[os.path.basename(path)][4:8])[0]
        declared = announced if path.endswith(".bmp") else (announced + 8) & 0xFFFFFFFF
        # The first entry's header matches its declared size: a six-byte head
        # is detected, with that size.
        pack("first-%s-kind-size.dat" % stem, "kind-size",
             ["--compressed", "--declared", hex(declared), path, wav],
             "kind-size, first entry a stream announcing what it declares, %#x" % declared)
        pack("first-%s-kind-only.dat" % stem, "kind-only", ["--compressed", path, wav],
             "kind-only, first entry a stream announcing %#x" % declared)
    pack("first-png-stream.dat", "kind-size", ["--compressed", pngf, wav, "--compressed", txt],
         "kind-size, first entry a compressed PNG: the size cannot be confirmed")
    pack("first-stream-mismatch.dat", "kind-size", ["--compressed", "--declared", 1234, bmp, wav],
         "kind-size, first stream's bitmap size differs from the declared size")
    pack("riff-not-wave.dat", "raw", [bmp, riff], "raw, a RIFF entry that is not a wave")

    # ---- entries of 0 to 6 bytes at each layout's boundary ----
    # Packed raw, so each stored byte is exactly what is asked for; the first
    # entry carries the head that sets the layout.
    first = {"raw": bmp,
             "kind-size": content("first-kind-size.bin", le16(0) + le32(1078) + inputs["pic.bmp"]),
             "kind-only": content("first-kind-only.bin", le16(0) + inputs["sound.wav"])}
    for layout in ("raw", "kind-size", "kind-only"):
        for kind in (0, 1, 8):
            head = le16(kind) + le32(3)
            shorts = [content("short-%d-%d.bin" % (kind, n), head[:n]) for n in range(1, 7)]
            pack("short-%s-kind-%d.dat" % (layout, kind), "raw", [first[layout], "--empty"] + shorts + [wav],
                 "%s, entries of 0 to 6 bytes beginning like kind %d" % (layout, kind))

    # ---- base offsets ----
    pack("offset-128.dat", "kind-size", [bmp, wav, "--compressed", txt], "kind-size archive 128 bytes into the file",
         base=128, options=("--offset", 128))

    # ---- archive file names ----
    src = os.path.join(OUT, "count-1.dat")
    for name, what in (("L" * 200 + ".dat", "file name of 204 bytes"),
                       ("M" * 251 + ".dat", "file name of 255 bytes (the path passes MAX_PATH)"),
                       ("NODOT", "file name without a dot"),
                       ("~-_.dat", "file name of separators"),
                       ("99999999999999999999.dat", "file name of digits")):
        shutil.copyfile(src, os.path.join(OUT, name))
        cases.append((name, 0, "", "count 1, " + what))

    with open(os.path.join(OUT, "corpus.txt"), "w") as f:
        for name, base, flags, what in cases:
            f.write("%s\t%d\t%s\t%s\n" % (name, base, flags, what))
    print("%d archives in %s" % (len(cases), OUT))


main()
