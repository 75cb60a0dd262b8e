#!/usr/bin/env python3
"""qordat unpack, repack and replace end to end: archives of every layout,
plain and compressed, empty slots, 1,200 slots, inside another file, and
archives whose streams this script encodes with a parse of its own come back
byte for byte; an edited slot changes only itself and keeps its storage; the
manifest's bad lines are refused naming the line, with nothing written;
replace in place leaves the archive as it was on every failure.

usage: qordat_repack_test.py PATH/TO/qordat
"""
import os
import pwd
import resource
import shutil
import signal
import struct
import subprocess
import sys
import time

from qordat_run import ENV, check, run_qordat, run_test

QORDAT = sys.argv[1]
LAYOUTS = {"raw": 0, "kind-size": 6, "kind-only": 2}


def run(*args, **options):
    return run_qordat(QORDAT, *args, **options)


def greedy_lzss(data):
    """The stream format with a plain greedy parse (the last position of each
    three-byte key, distances up to 4,000): other bytes than qordat's encoder
    writes for the same content."""
    out, last, i = bytearray(), {}, 0
    while i < len(data):
        flags_at, flags = len(out), 0
        out.append(0)
        for bit in range(8):
            if i >= len(data):
                break
            key, length, src = data[i:i + 3], 0, last.get(data[i:i + 3])
            if len(key) == 3 and src is not None and i - src <= 4000:
                while length < 18 and i + length < len(data) and data[src + length] == data[i + length]:
                    length += 1
            if length >= 3:
                ring = (4078 + src) & 4095
                out += bytes([ring & 0xFF, ((ring >> 4) & 0xF0) | (length - 3)])
                flags |= 1 << bit
            else:
                length = 1
                out.append(data[i])
            for k in range(i, i + length):
                last[data[k:k + 3]] = k
            i += length
        out[flags_at] = flags
    return bytes(out)


def xxh64(data):
    """XXH64 with seed 0, the manifest's digest, as "xxh64:" and 16 hex digits."""
    p1, p2, p3, p4, p5, m = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9, 0x85EBCA77C2B2AE63,
                             0x27D4EB2F165667C5, (1 << 64) - 1)

    def rotl(x, r):
        return ((x << r) | (x >> (64 - r))) & m

    def round_(acc, lane):
        return rotl((acc + lane * p2) & m, 31) * p1 & m

    n, i = len(data), 0
    if n >= 32:
        v = [(p1 + p2) & m, p2, 0, (-p1) & m]
        for i in range(0, n - 31, 32):
            for k in range(4):
                v[k] = round_(v[k], struct.unpack_from("<Q", data, i + 8 * k)[0])
        i = (n // 32) * 32
        h = (rotl(v[0], 1) + rotl(v[1], 7) + rotl(v[2], 12) + rotl(v[3], 18)) & m
        for k in range(4):
            h = ((h ^ round_(0, v[k])) * p1 + p4) & m
    else:
        h = p5
    h = (h + n) & m
    while i + 8 <= n:
        h = (rotl(h ^ round_(0, struct.unpack_from("<Q", data, i)[0]), 27) * p1 + p4) & m
        i += 8
    if i + 4 <= n:
        h = (rotl(h ^ (struct.unpack_from("<I", data, i)[0] * p1 & m), 23) * p2 + p3) & m
        i += 4
    while i < n:
        h = rotl(h ^ (data[i] * p5 & m), 11) * p1 & m
        i += 1
    h ^= h >> 33
    h = h * p2 & m
    h ^= h >> 29
    h = h * p3 & m
    h ^= h >> 32
    return "xxh64:%016x" % h


def archive(layout, slots, prefix=b"", suffix=b""):
    """The file's bytes: slots are None (empty) or (kind, declared, payload);
    under raw the payload alone."""
    stored = []
    for s in slots:
        if s is None:
            stored.append(b"")
        elif layout == "raw":
            stored.append(s[2])
        elif layout == "kind-size":
            stored.append(struct.pack("<hi", s[0], s[1]) + s[2])
        else:
            stored.append(struct.pack("<h", s[0]) + s[2])
    table = struct.pack("<i", len(slots)) + b"".join(struct.pack("<i", len(b)) for b in stored)
    return prefix + table + b"".join(stored) + suffix


def slot_bytes(data, base=0):
    """Each slot's stored bytes, by the file's table."""
    count = struct.unpack_from("<i", data, base)[0]
    sizes = struct.unpack_from("<%di" % count, data, base + 4)
    at, out = base + 4 + 4 * count, []
    for n in sizes:
        out.append(data[at:at + n])
        at += n
    return out


def text(seed, n):
    words = [b"castle", b"ring", b"of", b"the", b"window", b"stream", b"token", b"lantern"]
    return b" ".join(words[(seed * 7 + i * i) % len(words)] for i in range(n))[:n * 4]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def fields(manifest_path):
    return [line.split() for line in read(manifest_path).decode().splitlines()]


def round_trips(tmp):
    """Every row comes back byte for byte through unpack and repack."""
    media = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "media")
    bmp, wav = os.path.join(media, "title.bmp"), os.path.join(media, "chime.wav")
    txt = os.path.join(tmp, "words.txt")
    write(txt, text(3, 3000))
    one = os.path.join(tmp, "one.txt")
    write(one, b"a small entry, said twice: a small entry")
    t1, t2 = text(1, 2500), text(2, 900)
    rows = [
        # name, how it is made (qordat pack arguments, or bytes), unpack options, the listing the manifest says
        ("raw plain", ["--layout", "raw", bmp, "--empty", wav, txt], [], "default"),
        ("kind-size mixed", ["--layout", "kind-size", "--force", "--compressed", txt, "--empty", wav, "--compressed", bmp],
         [], "full-scan"),
        ("kind-only mixed", ["--layout", "kind-only", "--force", bmp, "--compressed", wav, "--empty", "--compressed", txt],
         [], "full-scan"),
        ("1,200 slots", ["--layout", "kind-size", "--compress", "--force", "--repeat", "1199", one, "--empty"],
         [], "full-scan"),
        ("greedy streams, kind-size",
         archive("kind-size", [(1, len(t1), greedy_lzss(t1)), None, (0, len(t2), t2), (1, len(t2), greedy_lzss(t2))]),
         [], "full-scan"),
        ("greedy streams, kind-only, inside a file",
         archive("kind-only", [(0, 0, t2), (1, 0, greedy_lzss(t1)), None, (3, 0, greedy_lzss(t2))],
                 prefix=b"\xee" * 37, suffix=b"TRAILER-BYTES"), ["--offset", "37"], None),
        ("odd plain heads: declared sizes not the content's",
         archive("kind-size", [(0, len(t2), t2), (0, 5, t1), (0, len(t2) + 100, t2), (8, len(t2), t2)]),
         ["--salvage"], None),
        ("a layout given: kind-size read as kind-only",
         archive("kind-size", [(0, len(t2), t2), (1, len(t1), greedy_lzss(t1))]), ["--layout", "kind-only"], None),
        ("refused by the plug-in, read by --layout",
         archive("kind-size", [(7, -3, t2), (1, len(t1), greedy_lzss(t1))]), ["--layout", "kind-size"], "none"),
        ("a one-byte entry whose listed head runs into the next (BMP listed, DAT extracted)",
         archive("raw", [(0, 0, b"B"), (0, 0, b"M" + t2)]), [], "default"),
    ]
    for name, make, options, listing in rows:
        path = os.path.join(tmp, "ROW.DAT")
        if isinstance(make, bytes):
            write(path, make)
        else:
            r = run("pack", path, *make)
            check(r.returncode == 0, f"{name}: pack: {r.stderr}")
        out = os.path.join(tmp, "row")
        r = run("unpack", path, "-o", out, "-q", *options)
        manifest = os.path.join(out, "qordat.manifest")
        check(os.path.exists(manifest), f"{name}: no manifest: {r.returncode} {r.stderr}")
        if not os.path.exists(manifest):
            continue
        lines = fields(manifest)
        # qordat.stored is there exactly when the manifest keeps bytes in it.
        keeps = any(f[0] in ("prefix", "suffix") and f[1] != "0" for f in lines) or \
            any(f[0].isdigit() and len(f) == 11 and f[9] != "-" for f in lines)
        check(os.path.exists(os.path.join(out, "qordat.stored")) == keeps,
              f"{name}: qordat.stored {'missing' if keeps else 'written with nothing to keep'}")
        # Every digest the manifest gives is that of the bytes it names: the
        # file's content, the slot's stored bytes (kept or not).
        base = int(options[options.index("--offset") + 1]) if "--offset" in options else 0
        stored_slots = slot_bytes(read(path), base)
        for f in lines:
            if f[0].isdigit() and len(f) == 11 and f[1] != "empty":
                slot = int(f[0])
                check(f[8] == xxh64(stored_slots[slot]), f"{name}: slot {slot}: stored digest {f[8]}")
                if f[10] != "-":
                    check(f[6] == xxh64(read(os.path.join(out, f[10]))), f"{name}: slot {slot}: content digest {f[6]}")
        if listing:
            check(["listing", listing] in lines, f"{name}: listing should be {listing}: {lines[:10]}")
        if not options:
            # unpack writes what extract writes: the extraction's names and bytes.
            x = os.path.join(tmp, "row-extracted")
            r = run("extract", path, "--full-scan", "-o", x, "-q")
            mine = {n: read(os.path.join(out, n)) for n in os.listdir(out) if not n.startswith("qordat.")}
            theirs = {n: read(os.path.join(x, n)) for n in os.listdir(x)} if os.path.isdir(x) else {}
            check(mine == theirs, f"{name}: unpack's files are not extract's: {sorted(mine)} {sorted(theirs)}")
            for n in os.listdir(x) if os.path.isdir(x) else []:
                os.remove(os.path.join(x, n))
        back = os.path.join(tmp, "BACK.DAT")
        r = run("repack", out, back)
        check(r.returncode == 0 and os.path.exists(back) and read(back) == read(path),
              f"{name}: repack does not give the archive back: {r.returncode} {r.stderr}")
        for f in os.listdir(out):
            os.remove(os.path.join(out, f))
        if os.path.exists(back):
            os.remove(back)
    # An unpack into a folder that an unpack with kept bytes wrote before
    # leaves no qordat.stored of the other archive behind.
    path, out = os.path.join(tmp, "ROW.DAT"), os.path.join(tmp, "again")
    for name, make, _, _ in rows[1::-1]:
        r = run("pack", path, "--force", *make)
        r = run("unpack", path, "-o", out, "-q") if r.returncode == 0 else r
        check(r.returncode == 0, f"{name} again: {r.stderr}")
    check(not os.path.exists(os.path.join(out, "qordat.stored")), "a qordat.stored of an earlier unpack left")
    # Nor does one that writes no manifest (the archive is cut) leave the
    # earlier one, which repack would take for a manifest of the files now.
    write(path, read(path)[:-3])
    r = run("unpack", path, "-o", out, "-q")
    check(r.returncode == 1 and not os.path.exists(os.path.join(out, "qordat.manifest")),
          f"a cut archive: a qordat.manifest of an earlier unpack left: {r.returncode} {r.stderr}")


def read_backs(tmp):
    """A rebuilt archive is read back before it is put in place: as a host
    reads it where the plug-in lists it, and through the one walk by the
    manifest's layout where it does not (listing none); a slot that would
    not give its file back is named and nothing is written."""
    t2 = text(11, 900)
    bitmap = b"BM" + struct.pack("<I", 600) + bytes(range(256)) * 2 + bytes(82)
    lying = b"BM" + struct.pack("<I", 600) + bytes(294)  # says 600 bytes, holds 300
    refused = archive("kind-only", [(0, 0, t2), (1, 0, greedy_lzss(bitmap))])  # the plug-in takes other heads
    # A compressed text that grows to 1 MiB of content stored in an eighth
    # of that: with files bounded to 256 KiB the new archive fits, a second
    # copy of the content would not.
    t_long = (t2 * 300)[:1 << 20]
    plain = struct.pack("<hi", 0, len(t2)) + t2
    cut = struct.pack("<iii", 2, len(plain), 3) + plain + b"\x07\0\0"  # slot 1 shorter than its head: file '-'
    rows = [
        # name, archive, unpack options, the listing, the slot's file and its new content, exit, words,
        # the bound on the size of a file repack may write
        ("listing none: a text changed", refused, ["--layout", "kind-only"], "none",
         "RB~000.DAT", t2 + b" and more", 0, "", None),
        ("listing none: a bitmap whose header says another size", refused, ["--layout", "kind-only"], "none",
         "RB~001.BMP", lying, 1, "slot 1 (RB~001.BMP): read by the kind-only layout, it gives 600 bytes of its "
         "300 bytes", None),
        ("listing none: an empty slot", refused, ["--layout", "kind-only"], "none", None, None, 0, "", None),
        ("listing default: a picture over the compressed bitmap that comes first",
         archive("kind-size", [(1, len(bitmap), greedy_lzss(bitmap)), (0, len(t2), t2)]), [], "default",
         "RB~000.BMP", b"\x89PNG\r\n\x1a\n" + bytes(200), 1,
         "the first entry decides how readers take every entry's head, and the new content of slot 0 (RB~000.BMP)",
         None),
        ("listing full-scan: a compressed text grown to 1 MiB, read back with no room for it",
         archive("kind-size", [(1, len(t2), greedy_lzss(t2)), (0, len(t2), t2)]), [], "full-scan",
         "RB~000.DAT", t_long, 0, "", 256 << 10),
        # A file the manifest does not use is named and left out: the archive comes back as it was.
        ("a file no line names", refused, ["--layout", "kind-only"], "none", "NEW.TXT", b"new", 0,
         "rb/NEW.TXT: not in qordat.manifest, left out (to add it as a slot, append a line for it)\n", None),
        ("a file under the name of a slot whose file is '-'", cut, ["--layout", "kind-size"], "none", "RB~001.PNG",
         b"new", 0, "rb/RB~001.PNG: not in qordat.manifest, left out (slot 1's file field is '-'", None),
    ]
    for name, data, options, listing, file, new, status, words, limit in rows:
        path, out, back = (os.path.join(tmp, n) for n in ("RB.DAT", "rb", "RB-BACK.DAT"))
        write(path, data)
        r = run("unpack", path, "-o", out, "-q", *options)
        check(r.returncode == (1 if data is cut else 0) and
              ["listing", listing] in fields(os.path.join(out, "qordat.manifest")),
              f"{name}: unpack: {r.returncode} {r.stderr}")
        if file:
            write(os.path.join(out, file), new)
        else:  # a slot emptied by hand
            manifest = os.path.join(out, "qordat.manifest")
            lines = read(manifest).decode().splitlines()
            write(manifest, "\n".join("0 empty - - - - - - - - -" if line.startswith("0 ") else line
                                      for line in lines).encode() + b"\n")
        def limited(limit=limit):
            if limit is not None:
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        r = run("repack", out, back, preexec_fn=limited)
        check(r.returncode == status and words in r.stderr and os.path.exists(back) == (status == 0),
              f"{name}: {r.returncode} {r.stderr!r}")
        check(limit is None or not os.path.exists(back) or os.path.getsize(back) < limit < len(new),
              f"{name}: the bound leaves room for the content a second time")
        left = [n for n in os.listdir(tmp) if n.startswith(".qordat") or n.startswith(".RB-BACK")]
        check(not left, f"{name}: left {left}")
        if status == 0 and r.returncode == 0 and words:
            check(read(back) == data, f"{name}: the archive changed")
        elif status == 0 and r.returncode == 0:
            again = os.path.join(tmp, "rb-again")
            r = run("unpack", back, "-o", again, "-q", *options)
            got = read(os.path.join(again, file.replace("RB~", "RB-BACK~"))) if file else None
            check(r.returncode == 0 and (got == new if file else slot_bytes(read(back))[0] == b""),
                  f"{name}: unpack of the repacked archive: {r.stderr}")
            for n in os.listdir(again):
                os.remove(os.path.join(again, n))
        for n in os.listdir(out):
            os.remove(os.path.join(out, n))
        if os.path.exists(back):
            os.remove(back)


def edits(tmp):
    """An edited file changes its slot only, stored as it was; a slot added
    by hand and one marked empty; the declared size follows the content."""
    t1, t2, t3 = text(4, 3000), text(5, 1200), text(6, 800)
    original = archive("kind-size", [(1, len(t1), greedy_lzss(t1)), (0, len(t2), t2), None,
                                     (1, len(t3), greedy_lzss(t3))], prefix=b"P" * 11, suffix=b"S" * 5)
    path = os.path.join(tmp, "EDIT.DAT")
    write(path, original)
    out = os.path.join(tmp, "edit")
    r = run("unpack", path, "--offset", "11", "-o", out, "-q")
    check(r.returncode == 0, "unpack: " + r.stderr)
    names = sorted(n for n in os.listdir(out) if n.startswith("EDIT"))
    check(names == ["EDIT~000.DAT", "EDIT~001.DAT", "EDIT~002.DMY", "EDIT~003.DAT"], f"names: {names}")
    before = slot_bytes(original, 11)
    for slot, new in ((0, t1 + b" and a line more"), (1, b"plain, shorter now"), (3, t3[:-1] + b"X")):
        write(os.path.join(out, names[slot]), new)
        back = os.path.join(tmp, "EDITED.DAT")
        r = run("repack", out, back)
        check(r.returncode == 0, f"slot {slot}: repack: {r.stderr}")
        data = read(back)
        after = slot_bytes(data, 11)
        check(data[:11] == b"P" * 11 and data.endswith(b"S" * 5), f"slot {slot}: prefix or suffix lost")
        check([i for i in range(4) if after[i] != before[i]] == [slot], f"slot {slot}: other slots changed")
        kind, declared = struct.unpack_from("<hi", after[slot])
        check(kind == struct.unpack_from("<h", before[slot])[0] and declared == len(new),
              f"slot {slot}: kind {kind} declared {declared}, want the old kind and {len(new)}")
        x = os.path.join(tmp, "x")
        r = run("extract", back, "--offset", "11", "--full-scan", "-o", x, "-q", "EDITED~%03d.*" % slot)
        got = [read(os.path.join(x, n)) for n in os.listdir(x)] if os.path.isdir(x) else []
        check(r.returncode == 0 and got == [new], f"slot {slot}: the new content does not come back: {r.stderr}")
        for n in os.listdir(x) if os.path.isdir(x) else []:
            os.remove(os.path.join(x, n))
        write(os.path.join(out, names[slot]), [t1, t2, None, t3][slot])  # put it back
    # A new slot, a slot marked empty, an empty slot filled.
    manifest = os.path.join(out, "qordat.manifest")
    text_before = read(manifest).decode()
    write(os.path.join(out, "NEW.TXT"), t2)
    lines = text_before.splitlines()
    lines = ["1 empty - - - - - - - - -" if line.startswith("1 ") else line for line in lines]
    lines.append("4 kind-size 1 - compressed - - - - - NEW.TXT")
    write(manifest, ("\n".join(lines) + "\n").encode())
    back = os.path.join(tmp, "GROWN.DAT")
    r = run("repack", out, back)
    check(r.returncode == 0, "new slot: " + r.stderr)
    if r.returncode == 0:
        after = slot_bytes(read(back), 11)
        check(len(after) == 5 and after[1] == b"" and after[0] == before[0] and after[3] == before[3],
              "new slot: the others changed")
        kind, declared = struct.unpack_from("<hi", after[4])
        check(kind == 1 and declared == len(t2), f"new slot: kind {kind} declared {declared}")
    write(manifest, text_before.encode())
    # An archive whose kept bytes changed is refused, nothing written: a
    # literal of slot 0's stream (a copy of exactly its stored size), or the
    # last byte kept (the suffix, copied to the end of what is kept).
    stored = os.path.join(out, "qordat.stored")
    keep = read(stored)
    slot0 = [line.split() for line in text_before.splitlines() if line.startswith("0 ")][0]
    for what, at in (("slot 0's stream", int(slot0[9]) + 7), ("the suffix", len(keep) - 1)):
        write(stored, keep[:at] + bytes([keep[at] ^ 1]) + keep[at + 1:])
        back = os.path.join(tmp, "KEPT.DAT")
        r = run("repack", out, back)
        check(r.returncode == 1 and "not the ones unpacked" in r.stderr and not os.path.exists(back),
              f"changed kept bytes ({what}): {r.returncode} {r.stderr}")
        check(not [n for n in os.listdir(tmp) if ".qordat-" in n], f"temporary files left: {os.listdir(tmp)}")
    write(stored, keep)


def bad_manifests(tmp):
    """Each wrong line is named; nothing is written."""
    t1 = text(7, 900)
    path = os.path.join(tmp, "BAD.DAT")
    write(path, archive("kind-size", [(1, len(t1), greedy_lzss(t1)), (0, 5, b"plain"), None]))
    out = os.path.join(tmp, "bad")
    r = run("unpack", path, "-o", out, "-q")
    check(r.returncode == 0, "unpack: " + r.stderr)
    manifest = os.path.join(out, "qordat.manifest")
    good = read(manifest).decode().splitlines()
    first = next(i for i, line in enumerate(good) if line.startswith("0 "))

    def edit(slot, change):
        lines = list(good)
        lines[first + slot] = change(lines[first + slot])
        return lines

    def field(slot, index, value):
        return edit(slot, lambda line: " ".join(value if i == index else f for i, f in enumerate(line.split())))

    rows = [
        # name, the manifest's lines, what the message says, the line it names
        ("too few fields", edit(1, lambda line: line.rsplit(" ", 1)[0]), "this one 10", first + 1),
        ("too many fields", edit(0, lambda line: line + " extra"), "this one 12", first),
        ("slot out of order", field(1, 0, "2"), "slot 2 out of order", first + 1),
        ("unknown head", field(0, 1, "kind-and-size"), "unknown head 'kind-and-size'", first),
        ("another layout's head", field(0, 1, "kind-only"), "head kind-only in an archive of the kind-size",
         first),
        ("storage against the kind", field(0, 4, "plain"), "kind 1 is compressed, not plain", first),
        ("a kind past 16 bits", field(1, 2, "65536"), "the kind '65536'", first + 1),
        ("a digest cut short", field(0, 6, "xxh64:12"), "not a digest", first),
        ("a file name that leaves the folder", field(1, 10, "../x"), "not a file name", first + 1),
        ("no slots", good[:first], "no slots", None),
        ("a slot past the most an archive holds", good[:first] + ["%d empty - - - - - - - - -" % i for i in range(8192)],
         "the slot number '8191' is not a number from 0 to 8190", first + 8191),
        ("an unknown line", good[:first] + ["colour blue"] + good[first:], "unknown line 'colour'", first),
        ("a file missing", good, "BAD~001.DAT", first + 1),
    ]
    back = os.path.join(tmp, "OUT.DAT")
    for name, lines, wanted, line in rows:
        write(manifest, ("\n".join(lines) + "\n").encode())
        moved = os.path.join(tmp, "moved")
        if name == "a file missing":
            os.rename(os.path.join(out, "BAD~001.DAT"), moved)
        r = run("repack", out, back)
        if name == "a file missing":
            os.rename(moved, os.path.join(out, "BAD~001.DAT"))
        where = "qordat.manifest:%d:" % (line + 1) if line is not None else "qordat.manifest"
        check(r.returncode == 1 and wanted in r.stderr and where in r.stderr and "nothing written" in r.stderr
              and not os.path.exists(back), f"{name}: {r.returncode} {r.stderr!r}")
        if os.path.exists(back):
            os.remove(back)
    write(manifest, ("\n".join(good) + "\n").encode())
    # A folder of neither a manifest nor entries' files: words that lead to unpack.
    plain = os.path.join(tmp, "not-entries")
    os.makedirs(plain)
    write(os.path.join(plain, "notes.txt"), b"notes")
    r = run("repack", plain, back)
    check(r.returncode == 1 and "qordat unpack" in r.stderr and not os.path.exists(back),
          f"no manifest: {r.returncode} {r.stderr}")


def by_numbers(tmp):
    """A folder without a manifest (from extract) is rebuilt by the numbers in
    its files' names, empty *.DMY files as empty slots, in pack's layout or
    --layout's; numbers that are not the slots each once are refused,
    naming the files, with nothing written."""
    src = os.path.join(tmp, "numbers-src")
    os.makedirs(src)
    for i in range(1100):  # distinct contents: the order shows
        write(os.path.join(src, "f%05d" % i), b"entry %d " % i * (1 + i % 7))
    many = os.path.join(tmp, "MANY.DAT")
    r = run("pack", many, "--layout", "raw", src, "--empty", "--repeat", "2", "--empty")
    check(r.returncode == 0, "pack: " + r.stderr)
    manyData = read(many)
    t = text(12, 700)
    mixed = archive("kind-size", [(0, len(t), t), None, (1, len(t), greedy_lzss(t)), None])

    def extracted(data, base, *options):
        path, out = os.path.join(tmp, base + ".DAT"), os.path.join(tmp, base.lower())
        shutil.rmtree(out, ignore_errors=True)
        write(path, data)
        r = run("extract", path, "--full-scan", "-o", out, "-q", *options)
        check(r.returncode == 0, "extract: " + r.stderr)
        return out

    def rename(old, new):
        return lambda out: os.rename(os.path.join(out, old), os.path.join(out, new))

    def add(name, data):
        return lambda out: write(os.path.join(out, name), data)

    def hidden_and_folder(out):
        write(os.path.join(out, ".hidden"), b"x")
        os.makedirs(os.path.join(out, "sub"), exist_ok=True)
        write(os.path.join(out, "sub", "NUM~9999.DAT"), b"x")

    rows = [
        # name, archive, extract options, change, repack options, exit, words (stderr or stdout), the same archive back
        ("1,100 entries and two empty slots, numbers past 999", manyData, [], None, [], 0,
         "1103 slots from the numbers", True),
        ("hidden files and folders left alone", manyData, [], hidden_and_folder, [], 0, "raw layout", True),
        ("kind-size by --layout, empty *.DMY files as empty slots", mixed, [], None, ["--layout", "kind-size"], 0,
         "(2 empty), stored plain in the kind-size layout\n", False),
        ("a duplicate number, written otherwise", manyData, [], add("MANY~0007.DAT", b"again"), [], 1,
         "MANY~0007.DAT and MANY~007.DAT: the same number, 7", False),
        ("a gap", manyData, [], lambda out: os.remove(os.path.join(out, "MANY~1000.DAT")), [], 1,
         "no file numbered 1000: between MANY~999.DAT and MANY~1001.DAT", False),
        ("no slot 0", mixed, [], rename("NUM~000.DAT", "NUM~009.DAT"), [], 1,
         "no file numbered 0: before NUM~001.DMY", False),
        ("kept numbering: empty slots left out", mixed, ["--numbering", "kept"], None, [], 1,
         "no file numbered 1: between NUM-000.DAT and NUM-002.DAT", False),
        ("names of two archives", mixed, [], add("OTHER~004.DAT", b"x"), [], 1,
         "NUM~000.DAT and OTHER~004.DAT: names of two archives", False),
        ("a file not named as an entry", mixed, [], add("readme.txt", b"x"), [], 1,
         "readme.txt: not named as the plug-in names entries", False),
        ("an empty file that is no *.DMY, kind-size", mixed, [], add("NUM~004.DAT", b""),
         ["--layout", "kind-size"], 1, "NUM~004.DAT: an empty file, which readers refuse", False),
        ("the raw layout refused by readers", mixed, [], add("NUM~000.DAT", b"\0\0\0\0 zeros first"), [], 1,
         "not written: readers would not get the folder's files back", False),
    ]
    for name, data, options, change, repack, status, words, same in rows:
        base = "MANY" if data is manyData else "NUM"
        out = extracted(data, base, *options)
        if change:
            change(out)
        back = os.path.join(tmp, "back", base + ".DAT")
        os.makedirs(os.path.dirname(back), exist_ok=True)
        if os.path.exists(back):
            os.remove(back)
        r = run("repack", out, back, *repack)
        check(r.returncode == status and words in r.stderr + r.stdout and os.path.exists(back) == (status == 0),
              f"{name}: {r.returncode} {r.stdout!r} {r.stderr!r}")
        if status == 0 and r.returncode == 0:
            # Through list: the archive's entries, in order, as before (names,
            # sizes, stored sizes); and every file's bytes back.
            listed = run("list", back, "--tsv", "--full-scan").stdout.splitlines()
            files = [n for n in os.listdir(out) if not n.startswith(".") and os.path.isfile(os.path.join(out, n))]
            check(len(listed) == len(files) + 1, f"{name}: list: {listed[:3]}")
            if same:
                check(read(back) == data and
                      listed == run("list", os.path.join(tmp, base + ".DAT"), "--tsv", "--full-scan").stdout.splitlines(),
                      f"{name}: the archive does not come back")
            x = os.path.join(tmp, "num-back")
            r = run("extract", back, "--full-scan", "-o", x, "-q")
            check(r.returncode == 0 and sorted(os.listdir(x)) == sorted(files), f"{name}: extract: {r.stderr}")
            for n in os.listdir(x):
                check(read(os.path.join(x, n)) == read(os.path.join(out, n)), f"{name}: {n} differs")
                os.remove(os.path.join(x, n))


def replaces(tmp):
    """Entries replaced in place; the rest byte for byte; every failure leaves
    the archive as it was and no temporary file."""
    t1, t2, t3 = text(8, 4000), text(9, 700), text(10, 1500)
    original = archive("kind-size", [(1, len(t1), greedy_lzss(t1)), (0, len(t2), t2), None,
                                     (1, len(t3), greedy_lzss(t3))], prefix=b"\x01" * 9, suffix=b"tail")
    path = os.path.join(tmp, "GAME.DAT")
    new = os.path.join(tmp, "new.txt")
    write(new, b"the replacement, " * 40)
    before = slot_bytes(original, 9)
    links, readonly = os.path.join(tmp, "links"), os.path.join(tmp, "readonly")
    os.makedirs(links)
    os.makedirs(readonly)
    # A read-only archive in a folder its user may write (so the rename
    # would go through): root writes whatever the mode says, so as root
    # qordat runs as nobody, its folder and archive nobody's.
    user = {}
    if os.geteuid() == 0:
        try:
            nobody = pwd.getpwnam("nobody")
        except KeyError:
            nobody = None

        def as_nobody():
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
        if nobody:
            os.chmod(tmp, 0o711)
            os.chmod(new, 0o644)
            os.chown(readonly, nobody.pw_uid, nobody.pw_gid)
            try:
                ok = subprocess.run([QORDAT, "--version"], capture_output=True, preexec_fn=as_nobody).returncode == 0
            except (OSError, subprocess.SubprocessError):
                ok = False
            user = {"preexec_fn": as_nobody} if ok else None
        else:
            user = None
    rows = [
        # entries replaced (slot, name), the slots that change (none: refused), how the archive is named: ""
        # itself, "link" through a symbolic link of its name in another folder (the archive changes, the link
        # stays a link), "read-only" mode 0444 as a user who may write its folder (Permission denied)
        ([(0, "GAME~000.DAT")], {0}, ""),
        ([(1, "game~001.dat")], {1}, ""),
        ([(3, "GAME~003.DAT"), (2, "GAME~002.DMY")], {2, 3}, ""),
        ([(1, "GAME~001.DAT")], {1}, "link"),
        ([(1, "GAME~001.DAT")], set(), "read-only"),
    ]
    for chosen, changed, how in rows:
        real = os.path.join(readonly, "GAME.DAT") if how == "read-only" else path
        if how == "read-only" and user is None:
            print(f"replace {chosen} {how}: left out: qordat cannot run as a user other than root here")
            continue
        write(real, original)
        mode = 0o444 if how == "read-only" else 0o640
        if how == "read-only" and user:
            os.chown(real, nobody.pw_uid, nobody.pw_gid)
        os.chmod(real, mode)
        given = real
        if how == "link":
            given = os.path.join(links, "GAME.DAT")
            os.symlink(os.path.join("..", "GAME.DAT"), given)
        args = [a for slot, name in chosen for a in (name, new)]
        r = run("replace", given, "--offset", "9", "--full-scan", *args, **(user if how == "read-only" else {}))
        data = read(real)
        after = slot_bytes(data, 9)
        check(r.returncode == (0 if changed else 1) and {i for i in range(4) if after[i] != before[i]} == changed
              and os.stat(real).st_mode & 0o777 == mode, f"replace {chosen} {how}: {r.returncode} {r.stderr}")
        check(changed or r.stderr == f"qordat: cannot write {real}: Permission denied; left as it was\n",
              f"replace {chosen} {how}: {r.stderr!r}")
        check(how != "link" or (os.path.islink(given) and os.listdir(links) == ["GAME.DAT"]),
              f"replace {chosen} {how}: the link is gone or a file left beside it: {os.listdir(links)}")
        check(not [n for n in os.listdir(os.path.dirname(real)) if n.startswith(".GAME")],
              f"replace {chosen} {how}: a temporary file left")
        check(data[:9] == b"\x01" * 9 and data.endswith(b"tail"), f"replace {chosen}: prefix or suffix lost")
        for slot, _ in chosen:
            kind = struct.unpack_from("<h", after[slot])[0]
            check(kind == (struct.unpack_from("<h", before[slot])[0] if before[slot] else 0),
                  f"replace {chosen}: slot {slot} kind {kind}")

    def untouched(what, r, words=""):
        check(r.returncode == 1 and read(path) == original and words in r.stderr,
              f"{what}: {r.returncode} {r.stderr!r}")
        left = [n for n in os.listdir(tmp) if n.startswith(".GAME") or n.startswith(".qordat")]
        check(not left, f"{what}: left {left}")

    write(path, original)
    untouched("a name the archive lacks", run("replace", path, "--offset", "9", "--full-scan", "GAME~009.DAT", new),
              "GAME~009.DAT: no such entry")
    huge = os.path.join(tmp, "huge.bin")
    with open(huge, "wb") as f:
        f.truncate(1 << 31)  # sparse: 2 GiB, more than a slot holds
    untouched("a replacement too large", run("replace", path, "--offset", "9", "--full-scan", "GAME~001.DAT", huge),
              "too large for the format")
    os.remove(huge)
    # The write fails at each step: in the prefix, the table, a copied slot,
    # the new content, the suffix (a file size limit makes the write fail).
    copy = os.path.join(tmp, "sizes", "GAME.DAT")
    os.makedirs(os.path.dirname(copy))
    write(copy, original)
    r = run("replace", copy, "--offset", "9", "--full-scan", "GAME~003.DAT", new)
    size = len(read(copy))
    check(r.returncode == 0 and size > 9 + 4 + 16 + 100, "replace of a copy: " + r.stderr)
    for limit in (0, 5, 9 + 10, 9 + 4 + 16 + 100, size - 200, size - 2):
        def limited(limit=limit):
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        r = run("replace", path, "--offset", "9", "--full-scan", "GAME~003.DAT", new, preexec_fn=limited)
        untouched(f"a write that fails past byte {limit}", r)
    # The read-back refuses: a kind-only archive whose compressed bitmap
    # first becomes compressed text, which only a full scan sizes.
    bitmap = b"BM" + struct.pack("<I", 600) + bytes(range(256)) * 2 + bytes(82)
    ko = archive("kind-only", [(1, 0, greedy_lzss(bitmap)), (0, len(t2), t2)])
    write(path, ko)
    r = run("replace", path, "GAME~000.BMP", new)
    check(r.returncode == 1 and read(path) == ko and "left as it was" in r.stderr and "full-scan" in r.stderr,
          f"read-back refusal: {r.returncode} {r.stderr}")
    # Ctrl-C or SIGTERM while it writes a large archive, or once it is
    # written whole and read back (a large entry, stored plain): the archive
    # as it was, nothing left.
    big, filler, large = (os.path.join(tmp, n) for n in ("BIG.DAT", "filler.bin", "large.bin"))
    write(filler, os.urandom(1 << 20))
    r = run("pack", big, "--layout", "kind-size", new, new, "--repeat", "64", filler)
    check(r.returncode == 0, "pack big: " + r.stderr)
    big_bytes = read(big)
    write(large, os.urandom(32 << 20))

    def read_to(pid, name):
        """How far the process has read the file `name` through a descriptor
        open for reading only (Linux), or -1."""
        far = -1
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if os.path.basename(os.readlink(f"/proc/{pid}/fd/{fd}")) != name:
                    continue
                with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                    info = dict(line.split(":", 1) for line in f if ":" in line)
                if int(info["flags"], 8) & os.O_ACCMODE == os.O_RDONLY:
                    far = max(far, int(info["pos"]))
            except (OSError, KeyError, ValueError):
                pass
        return far
    # signal, the replacement, and when: once the new archive holds that
    # many bytes, or once it is read back (written whole) between those
    # bytes, which only the read of the new entry's content reaches (the
    # listing reads the heads, at the first entries and from 32 MiB on)
    for sig, replacement, written, read_between in ((signal.SIGINT, new, 0, None),
                                                    (signal.SIGTERM, new, 16 << 20, None),
                                                    (signal.SIGINT, new, 40 << 20, None),
                                                    (signal.SIGINT, large, None, (8 << 20, 24 << 20))):
        when = f"past {written} bytes" if not read_between else f"reading it back at byte {read_between[0]}"
        p = subprocess.Popen([QORDAT, "replace", big, "BIG~001.DAT", replacement], env=ENV, stderr=subprocess.PIPE)
        temp, deadline = None, time.monotonic() + 20
        while p.poll() is None and time.monotonic() < deadline:
            temps = [n for n in os.listdir(tmp) if n.startswith(".BIG.DAT.qordat-")]
            try:
                if temps and (read_between[0] <= read_to(p.pid, temps[0]) < read_between[1] if read_between
                              else os.path.getsize(os.path.join(tmp, temps[0])) >= written):
                    temp = temps[0]
                    break
            except OSError:
                pass
            time.sleep(0.0005)
        p.send_signal(sig)
        p.wait()
        check(temp is not None and p.returncode == -sig and read(big) == big_bytes,
              f"{sig.name} {when}: exit {p.returncode}, the archive changed or it was not caught")
        left = [n for n in os.listdir(tmp) if n.startswith(".BIG") or n.startswith(".qordat")]
        check(not left, f"{sig.name} {when}: left {left}")


def words(tmp):
    """list lines its columns up by display width for names of wide and
    accented characters; an archive named like a picture is refused with the
    way to read it."""
    import unicodedata
    data = archive("raw", [(0, 0, b"one"), None, (0, 0, b"three")])

    def columns(line):
        return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1
                   for c in line)
    for name in ("シーン.DAT", "Cafe\u0301.DAT", "Café.DAT", "PLAIN.DAT"):
        path = os.path.join(tmp, name)
        write(path, data)
        r = run("list", path, env=dict(ENV, PYTHONIOENCODING="utf-8"), encoding="utf-8")
        rows = r.stdout.splitlines()[:4]
        check(r.returncode == 0 and len(rows) == 4 and len({columns(line) for line in rows}) == 1,
              f"{name}: columns do not line up: {rows}")
    path = os.path.join(tmp, "SCENE.BMP")
    write(path, data)
    r = run("list", path)
    check(r.returncode == 1 and "left to other plug-ins" in r.stderr and "SCENE.DAT" in r.stderr,
          f"a picture's name: {r.stderr}")


def main(tmp):
    words(tmp)
    round_trips(tmp)
    read_backs(tmp)
    edits(tmp)
    bad_manifests(tmp)
    by_numbers(tmp)
    replaces(tmp)


if __name__ == "__main__":
    sys.exit(run_test("qordat-repack-", main))
