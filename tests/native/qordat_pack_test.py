#!/usr/bin/env python3
"""qordat pack as a user meets it: an existing file that is no archive is
never replaced without --force, a folder's files go in natural order, each
refusal names the entry and the way out, a summary line unless -q, and a
failed write says the system's reason.

usage: qordat_pack_test.py PATH/TO/qordat
"""
import os
import random
import re
import resource
import subprocess
import sys

from qordat_run import ENV, check, run_qordat, run_test

QORDAT = sys.argv[1]


def run(*args, **options):
    return run_qordat(QORDAT, *args, **options)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def refusals(tmp):
    text = write(os.path.join(tmp, "notes.txt"), b"the ring and the stream, again and again\n" * 40)
    zero = write(os.path.join(tmp, "zero.bin"), b"")
    bmp = write(os.path.join(tmp, "pic.bmp"), b"BM" + (1078).to_bytes(4, "little") + bytes(48) + bytes(range(256)) * 4)
    precious = os.path.join(tmp, "precious.txt")
    archive = os.path.join(tmp, "OLD.DAT")
    folder = os.path.join(tmp, "a-folder")
    os.mkdir(folder)
    unpacked = os.path.join(tmp, "unpacked")
    check(run("pack", archive, bmp, text).returncode == 0 and run("unpack", archive, "-o", unpacked).returncode == 0
          and os.path.exists(os.path.join(unpacked, "qordat.manifest")), "unpack")
    os.remove(archive)
    # Each row: what OUT holds before (None: nothing), the arguments after
    # OUT, the exit status, words on stderr, words on stdout, whether OUT then
    # holds what it held before.
    rows = (
        ("a text file is kept", b"my letter\n", [text], 1,
         ["precious.txt: exists and is not a QOR's DAT archive; not replaced (--force replaces it)"], [], True),
        ("--force replaces it", b"my letter\n", ["--force", text], 0, [], ["1 entry, "], False),
        ("an empty file is kept too", b"", [text], 1, ["not replaced (--force replaces it)"], [], True),
        ("an archive is replaced", "archive", [text, "--empty"], 0, [],
         ["precious.txt: 2 entries (1 empty), 1652 bytes (content 1640 bytes), 0 compressed\n"], False),
        ("a 0-byte file under heads: --empty named", None, ["--layout", "kind-size", bmp, zero], 1,
         ["entry 1 (%s): an empty file" % zero, "give --empty for an empty slot instead"], [], True),
        ("a 0-byte file, raw: an empty slot", None, [bmp, zero], 0, [], ["2 entries, "], False),
        ("compressed text first: the entry and --plain named", None, ["--layout", "kind-size", "--compress", text, bmp],
         1, ["readers list it only with the full scan", "entry 0 (%s) is compressed and comes first: store it --plain" %
             text], [], True),
        ("the summary counts what was compressed", None, ["--layout", "kind-size", "--compress", bmp, "--empty", text],
         0, [], [re.compile(r"precious\.txt: 3 entries \(1 empty\), \d+ bytes \(content 2718 bytes\), 2 compressed\n")],
         False),
        ("-q: no summary", None, ["-q", bmp], 0, [], [""], False),
        ("a folder unpack wrote: its manifest is no entry, repack named", None, [unpacked], 1,
         ["unpacked: a folder that 'qordat unpack' wrote (it holds qordat.manifest); 'qordat repack %s %s' rebuilds" %
          (unpacked, precious)], [], True),
    )
    for name, before, args, status, errors, outputs, kept in rows:
        if os.path.exists(precious):
            os.remove(precious)
        if before == "archive":
            run("pack", archive, bmp)
            before = read(archive)
            os.rename(archive, precious)
        elif before is not None:
            write(precious, before)
        r = run("pack", precious, *args)
        after = read(precious) if os.path.exists(precious) else None
        check(r.returncode == status, "%s: exit %d, %s" % (name, r.returncode, r.stderr))
        for e in errors:
            check(e in r.stderr, "%s: %r not in %r" % (name, e, r.stderr))
        for o in outputs:
            check((o.search(r.stdout) if hasattr(o, "search") else (o in r.stdout if o else r.stdout == "")),
                  "%s: %r does not match stdout %r" % (name, o, r.stdout))
        check((after == before) == kept, "%s: OUT %s" % (name, "changed" if kept else "not written"))
        check(not [n for n in os.listdir(tmp) if n.startswith(".precious")], "%s: a temporary file left" % name)

    r = run("pack", folder, text)
    check(r.returncode == 1 and "a-folder: is a folder" in r.stderr and os.listdir(folder) == [],
          "OUT a folder: %d %s" % (r.returncode, r.stderr))

    # A write that fails says the system's reason for it: past the file-size
    # limit, and (where the permissions hold, not as root) in a read-only folder.
    big = write(os.path.join(tmp, "big.bin"), bytes(1 << 17))
    out = os.path.join(tmp, "LIMITED.DAT")
    r = subprocess.run([QORDAT, "pack", out, big], capture_output=True, text=True, env=ENV,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16)))
    check(r.returncode == 1 and r.stderr == "qordat: %s: cannot write: File too large\n" % out,
          "past the file-size limit: %d %r" % (r.returncode, r.stderr))
    # The read-back writes nothing: a compressed entry whose archive fits the
    # limit is read back though its content would not fit it a second time.
    zeros = write(os.path.join(tmp, "zeros.bmp"), b"BM" + (1 << 17).to_bytes(4, "little") + bytes((1 << 17) - 6))
    r = subprocess.run([QORDAT, "pack", out, "--layout", "kind-size", "--compress", zeros], capture_output=True,
                       text=True, env=ENV,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16)))
    check(r.returncode == 0 and os.path.getsize(out) < 1 << 16 and not [n for n in os.listdir(tmp) if ".qordat" in n],
          "read back under the file-size limit: %d %r" % (r.returncode, r.stderr))
    if os.geteuid() != 0:
        readonly = os.path.join(tmp, "readonly")
        os.mkdir(readonly, 0o555)
        r = run("pack", os.path.join(readonly, "X.DAT"), text)
        check(r.returncode == 1 and "Permission denied" in r.stderr and "ioctl" not in r.stderr,
              "read-only folder: %r" % r.stderr)


def natural_order(tmp):
    """A folder of 1,003 files named MANY~N, made in a shuffled order, with a
    hidden file and a subfolder: the files in the order of their numbers."""
    many = os.path.join(tmp, "many")
    os.makedirs(os.path.join(many, "sub"))
    numbers = list(range(1, 1001)) + [1010, 1100, 10000]
    shuffled = numbers[:]
    random.Random(3).shuffle(shuffled)
    for n in shuffled:
        write(os.path.join(many, "MANY~%d" % n), b"%d" % n)
    write(os.path.join(many, ".hidden"), b"not packed")
    archive = os.path.join(tmp, "MANY.DAT")
    r = run("pack", archive, many)
    check(r.returncode == 0 and "MANY.DAT: 1003 entries, " in r.stdout, "pack DIR: %s" % r.stderr)
    out = os.path.join(tmp, "many-out")
    r = run("unpack", archive, "--layout", "raw", "-o", out)
    # unpack names each slot as the plug-in does: MANY~NNN.DAT.
    by_slot = {int(re.search(r"~(\d+)\.", n).group(1)): n for n in os.listdir(out)
               if not n.startswith("qordat.")} if r.returncode == 0 else {}
    got = [read(os.path.join(out, by_slot[i])) for i in range(len(numbers)) if i in by_slot]
    check(got == [b"%d" % n for n in numbers],
          "pack DIR: not in natural order: %s" % [g.decode() for g in got[98:103] + got[998:]])
    # An empty folder is refused.
    os.mkdir(os.path.join(tmp, "none"))
    r = run("pack", os.path.join(tmp, "NONE.DAT"), os.path.join(tmp, "none"))
    check(r.returncode == 1 and "a folder without files" in r.stderr, "empty folder: %s" % r.stderr)


def main(tmp):
    refusals(tmp)
    natural_order(tmp)


if __name__ == "__main__":
    sys.exit(run_test("qordat-pack-", main))
