#!/usr/bin/env python3
"""qordat as a person at a shell meets it, through the installed binary:
help and usage errors, patterns and "no such entry", -k, the default
folder, damaged entries with and without --salvage, an interrupt in the
middle of a large extraction, failures with the system's reason, and pack's
peak memory.

usage: qordat_cli_test.py BUILD_DIR SOURCE_DIR [NO_NOREPLACE_SHIM]

NO_NOREPLACE_SHIM: a library that, preloaded, makes renameat2 refuse
RENAME_NOREPLACE (rows that name it are left out without it).
"""
import os
import pty
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

from qordat_run import ENV, check, run_qordat, run_test

BUILD, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
SHIM = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else None


def files_in(directory):
    return sorted(os.listdir(directory)) if os.path.isdir(directory) else []


def peak_kib(args, env):
    """Runs args under /usr/bin/time (its fork is small, where one of this
    script would count the script's memory); returns (exit status, peak
    resident KiB)."""
    report = tempfile.mktemp()
    r = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M", *args], capture_output=True, env=env)
    with open(report) as f:
        kib = int(f.read().split()[-1])
    os.remove(report)
    return r.returncode, kib


def main(tmp):
    prefix = os.path.join(tmp, "prefix")
    r = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], capture_output=True, text=True)
    check(r.returncode == 0, "cmake --install: " + r.stdout + r.stderr)
    qordat = os.path.join(prefix, "bin", "qordat")
    page = os.path.join(prefix, "share", "man", "man1", "qordat.1.gz")
    check(os.path.exists(page), "no installed manual page")
    check(os.path.exists(os.path.join(prefix, "share", "doc", "qordat", "copyright")), "no licence installed")
    if shutil.which("man"):  # the page renders without a warning in the C locale, its LIMITS included
        r = subprocess.run(["man", "-l", page], capture_output=True, text=True,
                           env=dict(os.environ, LC_ALL="C", MANPAGER="cat", MANWIDTH="80"))
        check(r.returncode == 0 and not r.stderr and "LIMITS" in r.stdout, "man -l: " + r.stderr[:400])

    def run(*args, cwd=None, env=ENV):
        return run_qordat(qordat, *args, cwd=cwd, env=env)

    # Help on stdout with exit 0; usage errors: one line on stderr, exit 2.
    for args, wanted in ((["--help"], "usage: qordat COMMAND"), (["--version"], "qordat 0.07"),
                         (["extract", "--help"], "usage: qordat extract"), (["list", "-h"], "usage: qordat list"),
                         (["pack", "--help"], "For test archives")):
        r = run(*args)
        check(r.returncode == 0 and wanted in r.stdout and not r.stderr, "%s: %d %r" % (args, r.returncode, r.stdout[:80]))
    check("--stored-size" not in run("extract", "--help").stdout, "extract's help shows pack's options")
    for args, wanted in ((["extract", "a.dat", "--bogus"], "unknown option '--bogus'"), ([], "no command"),
                         (["frobnicate"], "unknown command"), (["list"], "no archive given"),
                         (["extract", "a.dat", "--numbering", "all"], "--numbering"), (["extract", "a.dat", "-qv"], "-q")):
        r = run(*args)
        check(r.returncode == 2 and r.stderr.count("\n") == 1 and wanted in r.stderr and "--help" in r.stderr
              and not r.stdout, "usage error %s: %d %r" % (args, r.returncode, r.stderr))

    media = os.path.join(SOURCE, "examples", "media")
    originals = {"SCENE~000.BMP": "title.bmp", "SCENE~002.WAV": "chime.wav", "SCENE~003.PNG": "icon.png",
                 "SCENE~004.DAT": "script.txt"}
    scene = os.path.join(tmp, "SCENE.DAT")
    r = run("pack", scene, "--layout", "kind-size", "--compressed", os.path.join(media, "title.bmp"), "--empty",
            os.path.join(media, "chime.wav"), "--compressed", os.path.join(media, "icon.png"), "--compressed",
            os.path.join(media, "script.txt"))
    check(r.returncode == 0, "pack: " + r.stderr)

    # An archive 37 bytes into a larger file: listed and extracted with --offset.
    inside = os.path.join(tmp, "INSIDE.DAT")
    open(inside, "wb").write(b"\xee" * 37 + open(scene, "rb").read())
    r = run("list", inside, "--offset", "37", "--tsv")
    check(r.returncode == 0 and r.stdout.replace("INSIDE", "SCENE") == run("list", scene, "--tsv").stdout,
          "list --offset: " + r.stdout + r.stderr)
    r = run("extract", inside, "--offset", "37", "-q", "-o", os.path.join(tmp, "inside"))
    check(r.returncode == 0 and all(open(os.path.join(tmp, "inside", "INSIDE" + n[5:]), "rb").read() ==
                                    open(os.path.join(media, o), "rb").read() for n, o in originals.items()),
          "extract --offset: " + r.stderr)
    # A file that ends inside its size table: what it lacks reads as zero
    # (sizes 5, 7 and 0; heads of zeros: kind 0 without a size, no record).
    cut_table = os.path.join(tmp, "cut-table.dat")
    open(cut_table, "wb").write(bytes([3, 0, 0, 0, 5, 0, 0, 0, 7, 0]))
    r = run("list", cut_table)
    check(r.returncode == 1 and "listing failed: a record of an entry cannot be built (result 3)" in r.stderr and
          "damaged: the size table is cut: the file ends 6 bytes before it does (2 sizes missing)" in r.stderr,
          "table cut short: " + r.stderr)

    # The current folder by default; patterns are names or wildcards, any
    # case; one that matches nothing is reported and the others still extracted.
    here = os.path.join(tmp, "here")
    os.makedirs(here)
    r = run("extract", scene, "*.wav", "scene~003.PNG", "SCENE~00[04].*", "OTHER~002.WAV", "SCENE~003.WAV", "",
            "../evil.txt", cwd=here)
    check(r.returncode == 1 and files_in(here) == ["SCENE~000.BMP", "SCENE~002.WAV", "SCENE~003.PNG", "SCENE~004.DAT"],
          "patterns: %s %s %s" % (files_in(here), r.stdout, r.stderr))
    for pattern in ("OTHER~002.WAV", "SCENE~003.WAV", "''", "../evil.txt"):
        check("qordat: %s: no such entry\n" % pattern in r.stderr, "no report of %s: %s" % (pattern, r.stderr))
    for name in files_in(here):
        check(open(os.path.join(here, name), "rb").read() == open(os.path.join(media, originals[name]), "rb").read(),
              name + " differs from its original")
    r = run("list", scene, "*.dmy")
    check(r.returncode == 0 and "SCENE~001.DMY" in r.stdout and "SCENE~000" not in r.stdout, "list *.dmy: " + r.stdout)

    # -k keeps an existing file and says so; without it the file is replaced.
    bmp = os.path.join(here, "SCENE~000.BMP")
    open(bmp, "w").write("mine")
    r = run("extract", scene, "-k", "-q", "*.bmp", cwd=here)
    check(r.returncode == 0 and open(bmp).read() == "mine" and "SCENE~000.BMP" in r.stderr and not r.stdout,
          "-k: %d %r %r" % (r.returncode, r.stdout, r.stderr))
    r = run("extract", scene, "*.bmp", "-o", here)
    check(r.returncode == 0 and os.path.getsize(bmp) == os.path.getsize(os.path.join(media, "title.bmp")),
          "replace: " + r.stderr)
    r = run("extract", scene, "-v", "*.png", "-o", here)
    check(r.returncode == 0 and "stored 518" in r.stdout and "kind-size, compressed" in r.stdout, "-v: " + r.stdout)

    # Failures with the system's reason; a refusal names the setting that lists the archive.
    if os.geteuid() != 0:
        locked = os.path.join(tmp, "locked")
        os.makedirs(locked)
        os.chmod(locked, 0o500)
        r = run("extract", scene, "-o", locked)
        check(r.returncode == 1 and "Permission denied" in r.stderr, "unwritable folder: " + r.stderr)
    r = run("extract", os.path.join(tmp, "missing.dat"))
    check(r.returncode == 1 and "No such file or directory" in r.stderr, "missing archive: " + r.stderr)
    text_first = os.path.join(tmp, "text-first.dat")
    r = run("pack", text_first, "--layout", "kind-only", "--compress", os.path.join(media, "script.txt"),
            os.path.join(media, "title.bmp"))
    check(r.returncode == 1 and "readers list it only with the full scan" in r.stderr and
          not os.path.exists(text_first), "pack of a text first, kind-only: " + r.stderr)
    r = run("pack", text_first, "--force", "--layout", "kind-only", "--compress", os.path.join(media, "script.txt"),
            os.path.join(media, "title.bmp"))
    check(r.returncode == 0 and "kept as it is (--force)" in r.stderr, "pack --force: " + r.stderr)
    r = run("extract", text_first, "-o", os.path.join(tmp, "tf"))
    check(r.returncode == 1 and r.stderr.endswith("it is listed with --full-scan\n"), "refusal: " + r.stderr)
    r = run("extract", text_first, "--full-scan", "-o", os.path.join(tmp, "tf"))
    check(r.returncode == 0 and len(files_in(os.path.join(tmp, "tf"))) == 2, "--full-scan: " + r.stderr)

    # Damaged entries: cut inside the last entry; a size table that claims
    # 256 MiB of a 13 KB file; a stream that ends before its declared size.
    # Not written by default, written as a host gets them with --salvage.
    wav = open(os.path.join(media, "chime.wav"), "rb").read()
    cut = os.path.join(tmp, "cut.dat")
    run("pack", cut, "--layout", "kind-size", os.path.join(media, "title.bmp"), os.path.join(media, "chime.wav"),
        "--truncate", str(4 + 8 + 6 + 9270 + 6 + 1000))
    big = os.path.join(tmp, "big.bin")
    open(big, "wb").write(os.urandom(13000))
    claims = os.path.join(tmp, "claims.dat")
    run("pack", claims, "--stored-size", "0x10000000", big)
    short = os.path.join(tmp, "short.dat")
    run("pack", short, "--layout", "kind-size", "--compressed", os.path.join(media, "title.bmp"), "--compressed",
        "--declared", str(len(wav) + 100), os.path.join(media, "chime.wav"))
    for archive, name, missing, good in ((cut, "cut~001.WAV", len(wav) - 1000, ["cut~000.BMP"]),
                                         (claims, "claims~000.DAT", 0x10000000 - 13000, []),
                                         (short, "short~001.WAV", 100, ["short~000.BMP"])):
        out = os.path.join(tmp, "damaged-" + name)
        r = run("extract", archive, "-o", out)
        check(r.returncode == 1 and files_in(out) == good and "%s: damaged: " % name in r.stderr and
              "%d content bytes lost" % missing in r.stderr, "%s: %s %s" % (name, files_in(out), r.stderr))
        r = run("extract", archive, "--salvage", "-o", out)
        written = os.path.join(out, name)
        check(r.returncode == 1 and files_in(out) == sorted(good + [name]) and name + ": damaged" in r.stderr,
              "%s --salvage: %s %s" % (name, files_in(out), r.stderr))
        if os.path.exists(written):
            with open(written, "rb") as f:
                if name == "cut~001.WAV":
                    data = f.read()
                    check(data == wav[:1000] + bytes(len(wav) - 1000), name + ": not the host's bytes")
                elif name == "short~001.WAV":
                    check(f.read() == wav + bytes(100), name + ": not the host's bytes")
            os.remove(written)

    # One damaged slot, one record: list (where the file cuts it), test,
    # extract and unpack name the same entry in the same words with the same
    # figures. Each row: the archive, the entry, the words (None: the figures
    # are the commands' own, but the same in each).
    bmp, cut_stream = open(os.path.join(media, "title.bmp"), "rb").read(), os.path.join(tmp, "CUTSTREAM.DAT")
    r = run("pack", cut_stream, "--force", "--layout", "kind-only", "--compressed", os.path.join(media, "chime.wav"),
            "--compressed", os.path.join(media, "title.bmp"))
    with open(cut_stream, "r+b") as f:  # the file ends 40 bytes into the second entry's stream
        f.seek(4)
        f.truncate(12 + struct.unpack("<i", f.read(4))[0] + 40)
    # A 4-byte slot under six-byte heads: the listing's head runs on into the
    # next slot (its declared size 0x10010 comes from there), the extraction
    # reads the slot whole (declared size 16, none of it stored).
    run_on = os.path.join(tmp, "RUNON.DAT")
    slots = [b"\0\0\x05\0\0\0hello", b"\0\0\x10\0", b"\x01\0\x03\0\0\0\0abc"]
    open(run_on, "wb").write(struct.pack("<4i", 3, *map(len, slots)) + b"".join(slots))
    for archive_path, entry, words in ((cut, "cut~001.WAV", "the archive ends before the entry does: "
                                        "%d stored bytes missing, %d content bytes lost" % ((len(wav) - 1000,) * 2)),
                                       (cut_stream, "CUTSTREAM~001.BMP", None),
                                       (short, "short~001.WAV", "its stream ends early: 100 content bytes lost"),
                                       (run_on, "RUNON~001.DAT", "its stored bytes end before its size: "
                                        "16 content bytes lost")):
        said = {}
        for command in (["list"], ["test"], ["extract", "-o", os.path.join(tmp, "one-record")],
                        ["unpack", "-o", os.path.join(tmp, "one-record-unpacked")]):
            r = run(command[0], archive_path, *command[1:])
            lines = [line for line in r.stderr.splitlines() if line.startswith("qordat: %s: damaged: " % entry)]
            if command[0] == "list" and archive_path in (short, run_on):
                check(r.returncode == 0 and not lines, "list reads no stream: %s" % r.stderr)
                continue
            check(r.returncode == 1 and len(lines) == 1, "%s %s: %s" % (command[0], entry, r.stderr))
            said[command[0]] = lines[0].split(": damaged: ")[1].split("; not written")[0] if lines else None
        check(len(set(said.values())) == 1 and (words is None or words in said.values()),
              "%s: one damage, one record: %s" % (entry, said))

    # Unpack of a slot shorter than its head goes on to the whole slot after
    # it, under every layout that has a head.
    for layout, whole in (("kind-size", b"\x00\x00\x04\x00\x00\x00ABCD"), ("kind-only", b"\x00\x00ABCD")):
        archive_path = os.path.join(tmp, "HEADLESS-%s.DAT" % layout)
        open(archive_path, "wb").write(struct.pack("<iii", 2, 1, len(whole)) + b"\x07" + whole)
        out = os.path.join(tmp, "headless-" + layout)
        r = run("unpack", archive_path, "--layout", layout, "-o", out)
        written = [n for n in files_in(out) if "~001." in n]
        check(written and open(os.path.join(out, written[0]), "rb").read() == b"ABCD" and
              "cannot read" not in r.stderr, "unpack --layout %s past a slot shorter than its head: %s %s"
              % (layout, files_in(out), r.stderr))
        check(r.returncode == 1 and "slot 0: not written" in r.stderr, "slot 0 named: " + r.stderr)

    # Never a success for a wrong or missing file. Each row: an archive (a
    # function that makes it), the command, the exit status wanted, words
    # wanted on stderr, the files wanted in the output folder. -q prints
    # nothing on stdout; "@no-noreplace" runs qordat where renameat2 knows no
    # RENAME_NOREPLACE.
    def archive(name, *pack_args):
        path = os.path.join(tmp, name)
        r = run("pack", path, "--force", *pack_args)
        check(r.returncode == 0, "pack %s: %s" % (name, r.stderr))
        return path

    bmp_file, wav_file = os.path.join(media, "title.bmp"), os.path.join(media, "chime.wav")
    txt_file = os.path.join(media, "script.txt")
    after_count = os.path.join(tmp, "AFTER.DAT")
    open(after_count, "wb").write(struct.pack("<I", 3))
    later_cut = archive("LATER.DAT", "--layout", "kind-size", "--compressed", bmp_file, "--compressed", wav_file,
                        "--compressed", bmp_file)
    with open(later_cut, "r+b") as f:  # the file ends where the last entry begins
        f.seek(12)
        f.truncate(os.path.getsize(later_cut) - struct.unpack("<i", f.read(4))[0])
    # The listing sees the next entry's bytes in a 2-byte entry's head
    # ("\x89P" + "NG": a PNG); the extraction, its own two only (DAT).
    short_first = os.path.join(tmp, "short.bin")
    open(short_first, "wb").write(b"\x89P")
    png_rest = os.path.join(tmp, "rest.bin")
    open(png_rest, "wb").write(b"NG\r\n" + bytes(range(60)))
    renamed = archive("RENAMED.DAT", short_first, png_rest)
    open(os.path.join(tmp, "notes.bin"), "w").write("no archive here\n")
    unpacked = os.path.join(tmp, "scene-unpacked")
    check(run("unpack", scene, "-o", unpacked, "-q").returncode == 0, "unpack of the scene")
    keep_dir = os.path.join(tmp, "keep")
    os.makedirs(keep_dir)
    open(os.path.join(keep_dir, "RENAMED~000.DAT"), "w").write("mine")
    for args, status, words, files in (
            (["list", after_count], 1, ["damaged: the size table is cut"], None),
            (["extract", after_count, "-o", "@out"], 1, ["AFTER~000.DMY: damaged: its size lies past the end"], []),
            (["test", after_count], 1, ["the size table is cut"], None),
            (["test", scene], 0, [], None),
            (["test", scene, "-q", "*.wav"], 0, [], None),
            (["test", scene, "-q"], 0, [], None),
            # A folder that cannot be made: the system's reason for that (not
            # the terminal test's ENOTTY that came after it).
            (["extract", scene, "-o", "/proc/self"], 1, ["cannot write in /proc/self: No such file or directory"], None),
            (["test", cut], 1, ["cut~001.WAV: damaged: the archive ends before the entry does: "
                                "%d stored bytes missing, %d content bytes lost" % ((len(wav) - 1000,) * 2),
                                "1 of 2 entries damaged"], None),
            (["test", short], 1, ["short~001.WAV: damaged: its stream ends early: 100 content bytes lost"], None),
            (["list", cut], 1, ["cut~001.WAV: damaged:"], None),
            (["list", scene, "NOTHING~*"], 1, ["NOTHING~*: no such entry"], None),
            # A later entry cut in a compressed archive: the listing fails
            # (a host's would), the entries before the cut are still read.
            (["list", later_cut], 1, ["listing failed: a record of an entry cannot be built (result 3)"], None),
            (["extract", later_cut, "-o", "@out"], 1, ["slot 2: not written: a record of the entry cannot be built"],
             ["LATER~000.BMP", "LATER~001.WAV"]),
            (["test", later_cut], 1, ["slot 2: damaged: no record can be built"], None),
            # -k tests the name the file is written under.
            (["extract", renamed, "-k", "-o", keep_dir], 0, ["RENAMED~000.DAT: not overwritten"],
             ["RENAMED~000.DAT", "RENAMED~001.DAT"]),
            # Every entry under its final name, no temporary link left.
            (["extract", scene, "-k", "-o", "@out", "@no-noreplace"], 0, [], sorted([*originals, "SCENE~001.DMY"])),
            # The most entries an archive holds, without --force.
            (["pack", os.path.join(tmp, "R.DAT"), "--repeat", "8191", os.path.join(tmp, "notes.bin")], 0, [], None),
            # repack keeps a file that is not an archive, as pack does (dump
            # below finds it as it was).
            (["repack", unpacked, os.path.join(tmp, "notes.bin")], 1,
             ["notes.bin: exists and is not a QOR's DAT archive; not replaced (--force replaces it)"], None),
            (["dump", os.path.join(tmp, "notes.bin")], 1, ["not a QOR's DAT archive"], None),
            (["extract", scene, "-o", "@out", "--tsv"], 2, ["qordat: extract: unknown option '--tsv'"], None),
            (["pack", os.path.join(tmp, "x.dat"), "--compress", bmp_file], 2,
             ["qordat: pack: entry 0: the raw layout has no head"], None),
            (["dump", scene, "--offset=0", "--bogus"], 2, ["qordat: dump: unknown option '--bogus'"], None),
            (["unpack", scene, "--layout", "raw"], 2, ["qordat: unpack: unpack needs -o DIR"], None),
            (["list", scene, "--offset"], 2, ["qordat: list: --offset needs a value"], None),
            (["extract", scene, "-ko"], 2, ["qordat: extract: -ko needs a value"], None)):
        if "@no-noreplace" in args and not SHIM:
            continue
        out = os.path.join(tmp, "row-out")
        shutil.rmtree(out, ignore_errors=True)
        r = run(*[out if a == "@out" else a for a in args if a != "@no-noreplace"],
                env=dict(ENV, LD_PRELOAD=SHIM) if "@no-noreplace" in args else ENV)
        check(r.returncode == status and all(w in r.stderr for w in words) and ("-q" not in args or not r.stdout) and
              (files is None or files_in(keep_dir if keep_dir in args else out) == files),
              "%s: exit %d, files %s, stdout %r\n%s" % (args, r.returncode, files_in(out), r.stdout[:200],
                                                          r.stderr[-600:]))
    check(open(os.path.join(keep_dir, "RENAMED~000.DAT"), "rb").read() == b"mine", "-k replaced the file written as DAT")
    r = run("dump", scene, "--offset=0")
    check(r.returncode == 0 and "count:    5 " in r.stdout, "dump --offset=0: " + r.stderr)
    r = run("extract", scene, "-ko", os.path.join(tmp, "ko"), "*.png")
    check(r.returncode == 0 and files_in(os.path.join(tmp, "ko")) == ["SCENE~003.PNG"], "-ko DIR: " + r.stderr)

    # pack reads its archive back: each row packs files that a reader gets
    # otherwise, and wants exit 1, no archive, the way out named; --force
    # keeps it. Limits are refused before anything is written.
    twelve = os.path.join(tmp, "twelve.txt")
    open(twelve, "wb").write(b"hello world\n")
    icon = os.path.join(tmp, "icon.bin")
    open(icon, "wb").write(b"\x00\x00\x01\x00" + bytes(range(200)))
    short_bmp = os.path.join(tmp, "short.bmp")
    open(short_bmp, "wb").write(b"BM" + struct.pack("<I", 300 - 1) + bytes(294))
    packed = os.path.join(tmp, "PACKED.DAT")
    for args, words in (
            (["--layout", "kind-only", twelve], ["readers take its entries' heads for the kind-size layout; "
                                                 "try --layout kind-size", "entry 0 (%s): readers get" % twelve]),
            (["--layout", "raw", icon, bmp_file], ["readers refuse it", "try another --layout (kind-size or kind-only)"]),
            (["--layout", "kind-only", "--compressed", short_bmp], ["readers get 299 bytes of its 300 bytes",
                                                                    "store it --plain"]),
            (["--layout", "kind-size", "--compress", txt_file, bmp_file], ["readers list it only with the full scan"]),
            (["--repeat", "8192", twelve], ["8192 entries; an archive holds at most 8191"])):
        before = set(files_in(tmp))
        r = run("pack", packed, *args)
        check(r.returncode == 1 and all(w in r.stderr for w in words) and not os.path.exists(packed),
              "pack %s: %s" % (args, r.stderr[-600:]))
        left = [n for n in set(files_in(tmp)) - before if n.startswith((".PACKED", ".qordat-"))]
        check(not left, "pack %s left %s (a temporary file, or the read-back's private folder)" % (args, left))
    r = run("pack", packed, "--force", "--layout", "kind-only", twelve)
    check(r.returncode == 0 and os.path.exists(packed) and "kept as it is (--force)" in r.stderr, "--force: " + r.stderr)
    os.remove(packed)
    # A write that fails once the output is open (the file-size limit)
    # leaves no temporary file beside OUT.
    plain_big = os.path.join(tmp, "big-plain.bin")
    open(plain_big, "wb").write(bytes(1 << 17))
    limited = subprocess.run([qordat, "pack", packed, plain_big], capture_output=True, text=True, env=ENV,
                             preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16)))
    check(limited.returncode == 1 and "File too large" in limited.stderr and
          not [n for n in files_in(tmp) if n.startswith(".PACKED") or n == "PACKED.DAT"],
          "pack past the file-size limit: %d %s %s" % (limited.returncode, limited.stderr, files_in(tmp)))

    # A write that fails: the system's reason alone, the result code only under -v.
    for verbose, tail in (([], "SCENE~000.BMP: not written: File too large\n"),
                          (["-v"], "File too large (the extraction's result 1 for its 9270 bytes)\n")):
        limited = subprocess.run([qordat, "extract", scene, "*.bmp", "-o", os.path.join(tmp, "fsize"), *verbose],
                                 capture_output=True, text=True, env=ENV,
                                 preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096)))
        check(limited.returncode == 1 and tail in limited.stderr and
              files_in(os.path.join(tmp, "fsize")) == [], "extract past the file-size limit: " + limited.stderr)
    r = run("list", scene, "*.bmp")
    check(r.returncode == 0 and "SCENE.DAT: 1 entry (" in r.stdout, "one entry: " + r.stdout)

    # Sizes past a host's 1 GiB, in bounded memory: a sparse archive of one
    # entry of 1 GiB + 1 bytes, and a 2 GiB file of zeros (no archive).
    # Each row: the command, the exit status wanted.
    env_mem = dict(ENV, ASAN_OPTIONS=ENV["ASAN_OPTIONS"] + ":quarantine_size_mb=0")
    huge = os.path.join(tmp, "HUGE.DAT")
    with open(huge, "wb") as f:
        f.write(struct.pack("<ii", 1, (1 << 30) + 1) + b"QOR's text")
        f.truncate(8 + (1 << 30) + 1)
    zeros = os.path.join(tmp, "zeros.bin")
    with open(zeros, "wb") as f:
        f.truncate(1 << 31)
    big_out = os.path.join(tmp, "big-out")
    for args, status in ((["dump", zeros], 1), (["unpack", zeros, "--layout", "raw", "-o", big_out], 1),
                         (["list", huge], 0), (["test", huge], 0), (["dump", huge], 0),
                         (["extract", huge, "-q", "-o", big_out], 0),
                         (["unpack", huge, "--layout", "raw", "-o", big_out], 0)):
        code, kib = peak_kib([qordat, *args], env_mem)
        print("%s %s: peak %d KiB" % (args[0], os.path.basename(args[1]), kib))
        check(code == status and kib < 32 * 1024, "%s: exit %d, peak %d KiB" % (args, code, kib))
        for name in files_in(big_out):
            if name.startswith("qordat."):  # unpack's manifest and kept bytes
                continue
            size = os.path.getsize(os.path.join(big_out, name))
            check(size == (1 << 30) + 1, "%s wrote %s of %d bytes" % (args, name, size))
            os.remove(os.path.join(big_out, name))
    # The progress line, on a terminal only, once the work has run a second
    # (the extraction is held stopped for longer than that, once its private
    # folder is made), and not with -q.
    for quiet, shown in (([], True), (["-q"], False)):
        master, slave = pty.openpty()
        progress_dir = os.path.join(tmp, "progress")
        p = subprocess.Popen([qordat, "extract", huge, *quiet, "-o", progress_dir],
                             stdout=subprocess.DEVNULL, stderr=slave, env=ENV)
        os.close(slave)
        deadline = time.time() + 30
        while time.time() < deadline and not [n for n in files_in(progress_dir) if n.startswith(".qordat-")]:
            time.sleep(0.005)
        p.send_signal(signal.SIGSTOP)
        time.sleep(1.2)
        p.send_signal(signal.SIGCONT)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        p.wait()
        os.close(master)
        check(p.returncode == 0 and (b"MiB/s" in seen) == shown, "progress %s: %r" % (quiet, seen[-200:]))
        shutil.rmtree(os.path.join(tmp, "progress"))
    os.remove(huge)
    os.remove(zeros)

    # An interrupt in the middle of a large extraction: every file under an
    # entry's name is whole, and no temporary file or folder is left.
    piece = os.path.join(tmp, "piece.bin")
    content = bytes(range(256)) * (4 * 4096)  # 4 MiB
    open(piece, "wb").write(content)
    large = os.path.join(tmp, "large.dat")
    r = run("pack", large, "--repeat", "40", piece)
    check(r.returncode == 0, "pack large: " + r.stderr)
    out = os.path.join(tmp, "interrupted")
    p = subprocess.Popen([qordat, "extract", large, "-q", "-o", out], stderr=subprocess.PIPE, env=ENV)
    deadline = time.time() + 60
    while time.time() < deadline and len([n for n in files_in(out) if not n.startswith(".")]) < 3:
        time.sleep(0.01)
    p.send_signal(signal.SIGINT)
    p.communicate()
    names = files_in(out)
    whole = [n for n in names if not n.startswith(".")]
    check(p.returncode == -signal.SIGINT, "interrupted extraction exited %s" % p.returncode)
    check(2 < len(whole) < 40 and len(whole) == len(names), "after the interrupt: %s" % names)
    for n in whole:
        check(os.path.getsize(os.path.join(out, n)) == len(content), "%s is partial after the interrupt" % n)

    # pack streams: its peak memory stays under 32 MiB, plain or compressed,
    # for content larger than that (the compressed one kept smaller: the
    # encoder is slow under the sanitizers). ASan's quarantine of freed
    # blocks would count as memory held; it is turned off here.
    env = dict(ENV, ASAN_OPTIONS=ENV["ASAN_OPTIONS"] + ":quarantine_size_mb=0")
    plain = os.path.join(tmp, "plain.bin")
    with open(plain, "wb") as f:
        for _ in range(12):
            f.write(content)
    text = os.path.join(tmp, "text.bin")
    words = b"".join(struct.pack("<I", i * 2654435761 % 1000) + b" the ring and the stream " for i in range(300000))
    open(text, "wb").write(words)
    for args, what in ((["pack", os.path.join(tmp, "p.dat"), plain], "48 MiB plain"),
                       (["pack", os.path.join(tmp, "c.dat"), "--force", "--layout", "kind-size", "--compress", text],
                        "%d MiB compressed" % (len(words) >> 20))):
        status, kib = peak_kib([qordat, *args], env)
        print("pack %s: peak %d KiB" % (what, kib))
        check(status == 0 and kib < 32 * 1024, "pack %s: exit %d, peak %d KiB" % (what, status, kib))
    r = run("extract", os.path.join(tmp, "c.dat"), "--full-scan", "-q", "-o", os.path.join(tmp, "c"))
    check(r.returncode == 0 and open(os.path.join(tmp, "c", "c~000.DAT"), "rb").read() == words,
          "the streamed compressed entry does not come back: " + r.stderr)


if __name__ == "__main__":
    sys.exit(run_test("qordat-cli-", main))
