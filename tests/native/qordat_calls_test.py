#!/usr/bin/env python3
"""qordat list and extract (the plug-in's calls, natively): the demo archive
extracts to its originals; the archive reached by any path form gives the
same names; hostile file names and symbolic links never put a file outside
the output directory; unreadable and refused files; exit statuses.

usage: qordat_calls_test.py PATH/TO/qordat SOURCE_DIR
"""
import os
import sys

from qordat_run import check, run_qordat, run_test

QORDAT, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


def run(*args, cwd=None):
    return run_qordat(QORDAT, *args, errors="surrogateescape", cwd=cwd)


def tree(top):
    return {os.path.join(d, n) for d, dirs, files in os.walk(top) for n in dirs + files}


def main(tmp):
    media = os.path.join(SOURCE, "examples", "media")
    originals = [os.path.join(media, "title.bmp"), None, os.path.join(media, "chime.wav"),
                 os.path.join(media, "icon.png"), os.path.join(media, "script.txt"), None,
                 os.path.join(SOURCE, "examples", "notes.txt")]
    extensions = ["BMP", "DMY", "WAV", "PNG", "DAT", "DMY", "DAT"]
    # The demo archive, packed as scripts/demo.sh packs it, in a directory whose name holds a dot.
    os.makedirs(os.path.join(tmp, "sub.d"))
    scene = os.path.join(tmp, "sub.d", "SCENE.DAT")
    r = run("pack", scene, "--layout", "kind-size", "--compressed", originals[0], "--empty", originals[2],
            "--compressed", originals[3], "--compressed", originals[4], "--empty", originals[6])
    check(r.returncode == 0, "pack: " + r.stderr)
    expected = ["SCENE~%03d.%s" % (i, ext) for i, ext in enumerate(extensions)]

    out = os.path.join(tmp, "out")
    r = run("extract", scene, "-o", out)
    check(r.returncode == 0 and sorted(os.listdir(out)) == expected, "demo extract: %s %s" % (r.stdout, r.stderr))
    for name, original in zip(expected, originals):
        data = open(original, "rb").read() if original else b""
        written = os.path.join(out, name)
        check(os.path.exists(written) and open(written, "rb").read() == data, "demo: %s is not %s" % (name, original))
    r = run("list", scene, "--tsv", "--numbering", "packed")
    rows = [line.split("\t") for line in r.stdout.splitlines()]
    check(rows[0] == ["name", "position", "stored", "size"] and
          [(row[0], int(row[3])) for row in rows[1:]] ==
          [("SCENE_%03d.%s" % (n, ext), os.path.getsize(o)) for n, (ext, o) in
           enumerate((e, o) for e, o in zip(extensions, originals) if o)], "demo list --tsv: " + r.stdout)
    # Named entries: the names the listing gives in the numbering asked for
    # (case aside); a name of another numbering or slot is no entry.
    r = run("extract", scene, "scene~003.png", "SCENE_002.PNG", "SCENE~009.BMP", "-o", os.path.join(tmp, "named"))
    check(r.returncode == 1 and os.listdir(os.path.join(tmp, "named")) == ["SCENE~003.PNG"] and
          "SCENE_002.PNG: no such entry" in r.stderr and "SCENE~009.BMP: no such entry" in r.stderr,
          "named extract: " + r.stdout + r.stderr)
    r = run("extract", scene, "SCENE_002.PNG", "--numbering", "packed", "-o", os.path.join(tmp, "packed"))
    check(r.returncode == 0 and os.listdir(os.path.join(tmp, "packed")) == ["SCENE_002.PNG"],
          "named extract, packed numbering: " + r.stdout + r.stderr)

    # The same archive by a relative path, an absolute one, through "..", and
    # under names without an extension or with a leading dot (which, as under
    # a host, ends an empty base name). Then raw entries of 2 bytes: the
    # first one's head runs on into the next ("\x89P" + "NG": a PNG), with
    # full scans too (only kind-only heads read an entry whole).
    os.makedirs(os.path.join(tmp, "elsewhere"))
    for name in ("SCENE", ".SCENE.DAT"):
        os.link(scene, os.path.join(tmp, "sub.d", name))
    short = os.path.join(tmp, "SHORT.DAT")
    open(short, "wb").write(bytes.fromhex("02000000 02000000 02000000 89504E47"))
    for args, cwd, first in (([scene], None, "SCENE~000.BMP"), (["sub.d/SCENE.DAT"], tmp, "SCENE~000.BMP"),
                             (["../sub.d/SCENE.DAT"], os.path.join(tmp, "elsewhere"), "SCENE~000.BMP"),
                             (["SCENE"], os.path.join(tmp, "sub.d"), "SCENE~000.BMP"),
                             ([".SCENE.DAT"], os.path.join(tmp, "sub.d"), "~000.BMP"),
                             ([short], None, "SHORT~000.PNG"), ([short, "--full-scan"], None, "SHORT~000.PNG")):
        r = run("list", *args, "--tsv", cwd=cwd)
        check(r.returncode == 0 and r.stdout.splitlines()[1].split("\t")[0] == first, "list %s: %s" % (args, r.stdout))

    # File names that would lead out of DIR, were they taken for paths; and a
    # symbolic link in DIR under an entry's name.
    sandbox = os.path.join(tmp, "sandbox")
    os.makedirs(os.path.join(sandbox, "in"))
    for name, base in (("..\\..\\evil.dat", "evil"), ("a\\..\\..\\b.c.dat", "b"), ("...dat", ""), ("\\..", ""),
                       ("x\n\udcff.dat", "x\n\udcff")):
        archive = os.path.join(sandbox, "in", name)
        os.link(scene, archive)
        before = tree(sandbox)
        r = run("extract", archive, "-o", os.path.join(sandbox, "out"))
        created = tree(sandbox) - before - {os.path.join(sandbox, "out")}
        check(r.returncode == 0 and created == {os.path.join(sandbox, "out", base + n[5:]) for n in expected},
              "%r: created %s" % (name, sorted(created)))
        os.remove(archive)
        for path in created:
            os.remove(path)
    # A symbolic link of an entry's name is replaced by the file, as tar
    # replaces it; what it points to is left alone.
    outside = os.path.join(sandbox, "outside.txt")
    open(outside, "w").write("keep")
    link = os.path.join(sandbox, "out", "SCENE~002.WAV")
    os.symlink(outside, link)
    r = run("extract", scene, "-o", os.path.join(sandbox, "out"))
    check(r.returncode == 0 and open(outside).read() == "keep" and not os.path.islink(link) and
          open(link, "rb").read() == open(originals[2], "rb").read() and
          len(os.listdir(os.path.join(sandbox, "out"))) == 7, "symbolic link: %s %s" % (r.stdout, r.stderr))

    # Unreadable and refused files, output that cannot be made, usage errors.
    not_archive = os.path.join(tmp, "notes.dat")
    open(not_archive, "w").write("not an archive\n")
    os.link(scene, os.path.join(tmp, "scene.wav"))
    for args, status, message in ((["list", os.path.join(tmp, "missing.dat")], 1, "cannot read"),
                                  (["list", tmp], 1, "cannot read"),
                                  (["list", not_archive], 1, "refused: not a QOR's DAT archive"),
                                  (["extract", not_archive, "-o", os.path.join(tmp, "none")], 1, "refused"),
                                  (["list", os.path.join(tmp, "scene.wav")], 1, "left to other plug-ins"),
                                  (["extract", scene, "-o", os.path.join(not_archive, "x")], 1, "cannot create"),
                                  (["extract"], 2, "no archive given"),
                                  (["list", scene, "--numbering", "all"], 2, "--numbering")):
        r = run(*args)
        check(r.returncode == status and message in r.stderr, "%s: %d %s" % (args, r.returncode, r.stderr[:200]))
    check(not os.path.exists(os.path.join(tmp, "none")), "a refused archive made its output directory")
    if os.geteuid() != 0:  # root reads whatever the mode says
        os.chmod(not_archive, 0)
        r = run("list", not_archive)
        check(r.returncode == 1 and "Permission denied" in r.stderr, "unreadable: " + r.stderr)


if __name__ == "__main__":
    sys.exit(run_test("qordat-calls-", main))
