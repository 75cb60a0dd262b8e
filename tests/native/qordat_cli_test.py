#!/usr/bin/env python3
"""qordat as a person at a shell meets it, through the installed binary:
help and usage errors, patterns and "no such entry", -k, the default
folder, damaged entries with and without --salvage, an interrupt in the
middle of a large extraction, failures with the system's reason, and pack's
peak memory.

usage: qordat_cli_test.py BUILD_DIR SOURCE_DIR
"""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

from qordat_run import ENV, check, run_qordat, run_test

BUILD, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


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
    check(os.path.exists(os.path.join(prefix, "share", "man", "man1", "qordat.1")), "no installed manual page")

    def run(*args, cwd=None):
        return run_qordat(qordat, *args, cwd=cwd)

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
    check(r.returncode == 1 and "listing failed, result 3" in r.stderr, "table cut short: " + r.stderr)

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
    run("pack", text_first, "--layout", "kind-only", "--compress", os.path.join(media, "script.txt"),
        os.path.join(media, "title.bmp"))
    r = run("extract", text_first, "-o", os.path.join(tmp, "tf"))
    check(r.returncode == 1 and "listed with --numbering dummies --full-scan" in r.stderr, "refusal: " + r.stderr)
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
        check(r.returncode == 1 and files_in(out) == good and "%s: damaged: %d bytes missing" % (name, missing)
              in r.stderr, "%s: %s %s" % (name, files_in(out), r.stderr))
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
                       (["pack", os.path.join(tmp, "c.dat"), "--layout", "kind-size", "--compress", text],
                        "%d MiB compressed" % (len(words) >> 20))):
        status, kib = peak_kib([qordat, *args], env)
        print("pack %s: peak %d KiB" % (what, kib))
        check(status == 0 and kib < 32 * 1024, "pack %s: exit %d, peak %d KiB" % (what, status, kib))
    r = run("extract", os.path.join(tmp, "c.dat"), "--full-scan", "-q", "-o", os.path.join(tmp, "c"))
    check(r.returncode == 0 and open(os.path.join(tmp, "c", "c~000.DAT"), "rb").read() == words,
          "the streamed compressed entry does not come back: " + r.stderr)


if __name__ == "__main__":
    sys.exit(run_test("qordat-cli-", main))
