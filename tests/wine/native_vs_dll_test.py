#!/usr/bin/env python3
"""qordat list/extract (the archive calls over the native seam) against
spihost driving the real DLL under Wine: the same probe answers, the same
listings byte for byte (names, positions, sizes, result codes), the same
extraction results and the same files byte for byte. On the hostile corpus
and on valid archives of every layout, in all six settings.

usage: native_vs_dll_test.py WORK_DIR NATIVE_QORDAT SPIHOST PLUGIN SOURCE_DIR [QORDAT_EXE]

With QORDAT_EXE (the Windows build's qordat), its listings of the valid
archives in every setting are compared with the native ones too.

NATIVE_QORDAT is the native build's qordat (scripts/test.sh builds native
before win32). Every spihost run goes into one batch file that Wine's cmd
runs: a process started inside Wine costs a twentieth of a fresh `wine`.
"""
import concurrent.futures
import filecmp
import os
import re
import shutil
import subprocess
import sys

WORK, QORDAT, SPIHOST, PLUGIN, SOURCE = map(os.path.abspath, sys.argv[1:6])
QORDAT_EXE = os.path.abspath(sys.argv[6]) if len(sys.argv) > 6 else None
SETTINGS = [(numbering, scan) for scan in (False, True) for numbering in ("dummies", "kept", "packed")]
# Wine writes a few hundred files a second: longer listings are extracted by
# a sample of names (looked up by name on both sides) instead of whole.
SAMPLE_ABOVE = 64
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


# The content size from which a host's extraction is refused.
HOST_LIMIT = 1 << 30


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def qordat(*args):
    r = subprocess.run([QORDAT, *map(str, args)], capture_output=True)
    return r.returncode, r.stdout, r.stderr.decode("latin-1")


def setting_args(setting):
    return ["--numbering", setting[0]] + (["--full-scan"] if setting[1] else [])


def make_valid(directory):
    """Archives of every layout, plain and compressed, with empty slots; and
    one of them under file names that test the base name."""
    os.makedirs(directory)
    media = os.path.join(SOURCE, "examples", "media")
    bmp, wav, png, txt = (os.path.join(media, n) for n in ("title.bmp", "chime.wav", "icon.png", "script.txt"))
    notes = os.path.join(SOURCE, "examples", "notes.txt")
    zero = os.path.join(directory, "zero.bin")
    open(zero, "wb").close()
    # Past the encoder's first block join (1 MiB): text lines, a stretch of
    # one byte and counted numbers, so that matches meet the joins.
    big = os.path.join(directory, "big.txt")
    with open(big, "wb") as f:
        lines = b"".join(b"%06d the ring, the window and the stream %d\r\n" % (i, i * 7919 % 1000)
                         for i in range(30000))
        f.write((lines + bytes(5000) + lines)[:(1 << 20) + 4097])
    packs = {
        "raw.dat": ["raw", bmp, "--empty", wav, png, txt, "--empty", notes],
        "kind-size-plain.dat": ["kind-size", bmp, "--empty", wav, png, txt, zero, "--empty", notes],
        "kind-size-compressed.dat": ["kind-size", "--compress", bmp, "--empty", wav, png, txt, zero, notes],
        "SCENE.DAT": ["kind-size", "--compressed", bmp, "--empty", wav, "--compressed", png, "--compressed", txt,
                      "--empty", notes],
        "kind-only-plain.dat": ["kind-only", wav, bmp, "--empty", png, txt, zero],
        "kind-only-compressed.dat": ["kind-only", "--compress", bmp, "--empty", wav, png, txt, zero, "--empty"],
        # Unknown content first: its layout is accepted with the full scan only.
        "kind-only-text-first.dat": ["kind-only", "--compress", txt, bmp, "--empty", wav, notes],
        "empty-first.dat": ["kind-size", "--empty", "--empty", "--compressed", wav, bmp],
        # Every level of the encoder, on one thread and on several (the same
        # bytes), with an entry of more than one block.
        "kind-size-best-j1.dat": ["kind-size", "--compress", "--best", "-j", "1", bmp, big, "--empty", wav, txt],
        "kind-size-default-j3.dat": ["kind-size", "--compress", "-j", "3", bmp, big, png, txt, notes],
        "kind-size-fast.dat": ["kind-size", "--compress", "--fast", bmp, "--empty", big, wav, png, txt, notes],
        "kind-only-fast-j1.dat": ["kind-only", "--fast", "-j", "1", "--compressed", bmp, "--compressed", big,
                                  "--compressed", wav, txt],
    }
    for name, (layout, *entries) in packs.items():
        # --force: some are made to read back otherwise (a text first needs the full scan).
        rc, _, err = qordat("pack", os.path.join(directory, name), "--layout", layout, "--force", *entries)
        check(rc == 0, "pack %s: %s" % (name, err))
    for name in ("NOEXT", ".hidden.dat", "two.dots.dat", "with space.dat", "-dash.dat"):
        shutil.copyfile(os.path.join(directory, "SCENE.DAT"), os.path.join(directory, name))
    return sorted(os.path.join(directory, n) for n in os.listdir(directory) if n != "zero.bin")


def sample(names):
    if len(names) <= SAMPLE_ABOVE:
        return []
    n = len(names)
    return [names[i] for i in sorted({0, 1, 2, n - 3, n - 2, n - 1} | {n * k // 5 for k in range(1, 5)})]


def refused_or_unlisted(text, refused):
    """("refused",) or ("listing failed", code) when the run said so, else None."""
    if refused:
        return ("refused",)
    failed = re.search(r"listing failed, result (-?\d+)", text) or re.search(r"listing failed: .*\(result (-?\d+)\)", text)
    return ("listing failed", int(failed.group(1))) if failed else None


def extraction_outcome(text):
    """What an extraction run reported: refused, a failed listing, or each
    entry's name, size and result (and each failed lookup)."""
    stopped = refused_or_unlisted(text, "not supported by the plug-in" in text or ": refused:" in text)
    if stopped:
        return stopped
    lines = []
    for line in text.splitlines():
        m = (re.match(r"(.*?)\s+(\d+)  result (-?\d+) \(", line) or
             re.match(r"(.*): lookup failed, result (-?\d+)", line))
        if m:
            lines.append(tuple(m.groups()))
    return ("entries", lines)


def native_extraction_outcome(text):
    """extraction_outcome of a qordat run: each entry written (its line on
    stdout: name and size) and each that the plug-in's extraction failed
    (on stderr, with its size and result)."""
    stopped = refused_or_unlisted(text, ": refused:" in text)
    if stopped:
        return stopped
    lines = []
    for line in text.splitlines():
        m = re.match(r"qordat: (.*): not written: .*\(the extraction's result (-?\d+) for its (\d+) bytes?\)$", line)
        if m:
            lines.append((m.group(1), m.group(3), m.group(2)))
        elif not line.startswith("qordat: "):
            m = re.match(r"(.*?)\s+(\d+)(?:  at .*)?$", line)
            if m:
                lines.append(m.groups() + ("0",))
    return ("entries", lines)


def corpus():
    """(path, base offset) of every archive: the hostile corpus and the valid set."""
    r = subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "wine", "make_hostile_corpus.py"),
                        os.path.join(WORK, "hostile"), QORDAT], capture_output=True, text=True)
    check(r.returncode == 0, "hostile corpus: " + r.stderr)
    archives = []
    with open(os.path.join(WORK, "hostile", "corpus.txt")) as f:
        for line in f:
            name, base = line.split("\t")[:2]
            archives.append((os.path.join(WORK, "hostile", name), int(base)))
    return archives + [(path, 0) for path in make_valid(os.path.join(WORK, "valid"))]


def spi_file(job, what):
    return os.path.join(WORK, "spi", "%d-%d.%s" % (job[0], job[1], what))


def out_dir(side, job):
    return os.path.join(WORK, "out-" + side, "%d-%d" % job)


def batch_line(*args, redirect):
    return " ".join('"%s"' % a for a in (winpath(SPIHOST), args[0], winpath(PLUGIN)) + args[1:]) + " " + redirect


def run_batch(name, lines):
    """Starts Wine's cmd on a batch file of `lines`; returns the process."""
    path = os.path.join(WORK, "spi", name + ".bat")
    with open(path, "w", newline="\r\n") as f:
        f.write("\n".join(["@echo off", *lines]) + "\n")
    return subprocess.Popen([os.path.join(SOURCE, "scripts", "wine-run.sh"), "cmd", "/c", winpath(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


# The last line of every extraction run that got as far as the plug-in.
EXTRACTION_END = re.compile(r"not supported by the plug-in$|listing failed, result|: \d+ failed$", re.M)


def ran(job, command):
    """Whether spihost's `command` run of `job` ran to its end."""
    try:
        if command == "qordat.exe list":
            # Its listing on stdout, or why it failed on stderr.
            return any(os.path.exists(spi_file(job, what)) and open(spi_file(job, what), "rb").read().endswith(b"\n")
                       for what in ("exe", "exe-err"))
        if command == "list":
            with open(spi_file(job, "err"), encoding="latin-1") as f:
                return re.search(r"result (-?\d+)", f.read()) is not None
        with open(spi_file(job, "ext"), encoding="latin-1") as f:
            return EXTRACTION_END.search(f.read()) is not None
    except OSError:
        return False


def main():
    help_text = (subprocess.run([QORDAT, "list", "--help"], capture_output=True).stdout
                 if os.access(QORDAT, os.X_OK) else b"")
    if b"usage: qordat list" not in help_text:
        sys.exit("no native qordat with list/extract at %s: build the native preset first" % QORDAT)
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(os.path.join(WORK, "spi"))
    archives = corpus()
    # A Windows host cannot open a path of MAX_PATH bytes or more.
    too_long = [path for path, _ in archives if len(winpath(path)) >= 260]
    archives = [(path, base) for path, base in archives if path not in too_long]
    jobs = [(i, s) for i in range(len(archives)) for s in range(len(SETTINGS))]
    pool = concurrent.futures.ThreadPoolExecutor(2)

    def native_list(job):
        path, base = archives[job[0]]
        return qordat("list", path, "--tsv", "--offset", base, *setting_args(SETTINGS[job[1]]))

    listed = dict(zip(jobs, pool.map(native_list, jobs)))
    # The listing stays on stdout when qordat reports damage (exit 1).
    rows = {job: [row.decode("latin-1").split("\t") for row in tsv.splitlines()[1:]]
            for job, (rc, tsv, _) in listed.items() if rc in (0, 1) and tsv.startswith(b"name\t")}
    names = {job: [row[0] for row in table] for job, table in rows.items()}
    # Content of 1 GiB or more: hosts are refused it (result 4), qordat
    # writes it in pieces. Left out of both sides' comparison (and not
    # written: such entries of the corpus are damaged, gigabytes of zeros).
    big = {job: {row[0] for row in table if int(row[3]) >= HOST_LIMIT} for job, table in rows.items()}

    # Every spihost run, in one batch, while qordat extracts. An extraction
    # probes first, so its outcome also tells whether the probe took the file.
    lines = {}  # (job, "list" or "extract") -> its line of the batch
    for job in jobs:
        path, base = archives[job[0]]
        settings = setting_args(SETTINGS[job[1]])
        if ": refused:" not in listed[job][2]:
            redirect = '> "%s" 2> "%s"' % (winpath(spi_file(job, "tsv")), winpath(spi_file(job, "err")))
            lines[job, "list"] = batch_line("list", winpath(path), "--tsv", "--offset", str(base), *settings,
                                            redirect=redirect)
        os.makedirs(out_dir("spi", job))
        lines[job, "extract"] = batch_line("extract", winpath(path), *sample(names.get(job, [])), "-o",
                                           winpath(out_dir("spi", job)), "--disk", *settings,
                                           redirect='> "%s" 2>&1' % winpath(spi_file(job, "ext")))
        if QORDAT_EXE and os.path.dirname(path) == os.path.join(WORK, "valid"):
            lines[job, "qordat.exe list"] = " ".join(
                '"%s"' % a for a in (winpath(QORDAT_EXE), "list", winpath(path), "--tsv", *settings)) + \
                ' > "%s" 2> "%s"' % (winpath(spi_file(job, "exe")), winpath(spi_file(job, "exe-err")))
    wine = run_batch("run", lines.values())

    def native_extract(job):
        chosen = sample(names.get(job, []))
        if big.get(job):
            chosen = [n for n in (chosen or names[job]) if n not in big[job]]
            if not chosen:
                return ""
        # --salvage: damaged entries are written as a host receives them.
        _, stdout, stderr = qordat("extract", archives[job[0]][0], *chosen, "--salvage", "-v",
                                   "-o", out_dir("native", job), *setting_args(SETTINGS[job[1]]))
        return stdout.decode("latin-1") + stderr

    extracted = dict(zip(jobs, pool.map(native_extract, jobs)))
    wine_output = wine.communicate()[0].decode("latin-1")
    check(wine.returncode == 0, "Wine batch exited %d: %s" % (wine.returncode, wine_output[-2000:]))
    # Under load Wine now and then fails to start a program of the batch, or
    # the program stops before the plug-in is loaded (no output, or a line
    # from Wine or the loader): such runs get a second batch.
    again = [key for key in lines if not ran(*key)]
    if again:
        print("spihost runs that did not run to their end, run again: %d" % len(again))
        wine = run_batch("again", [lines[key] for key in again])
        wine.communicate()
        for key in again:
            output = spi_file(key[0], "err" if key[1] == "list" else "ext")
            check(ran(*key), "%s: spihost %s did not run to its end twice: %r" %
                  (archives[key[0][0]][0], key[1], open(output, "rb").read()[-400:] if os.path.exists(output) else None))

    listings = failed_listings = records = entry_lines = files = 0
    for job in jobs:
        path, base = archives[job[0]]
        what = "%s (%s%s)" % (os.path.relpath(path, WORK), SETTINGS[job[1]][0],
                              ", full scan" if SETTINGS[job[1]][1] else "")
        _, native_tsv, native_err = listed[job]
        if ": refused:" not in native_err:
            with open(spi_file(job, "tsv"), "rb") as f:
                spi_tsv = f.read()
            with open(spi_file(job, "err"), encoding="latin-1") as f:
                spi_code = re.search(r"result (-?\d+)", f.read())
            native_code = re.search(r"result (-?\d+)", native_err)
            check(spi_code and int(spi_code.group(1)) == (int(native_code.group(1)) if native_code else 0),
                  "%s: listing result %s through the DLL, qordat: %s" %
                  (what, spi_code and spi_code.group(1), native_err.strip()))
            if base:
                # The DLL's host probed the file's start and took nothing, so no base name was set.
                stem = os.path.basename(path).split(".")[0].encode()
                native_tsv = re.sub(rb"(?m)^" + re.escape(stem) + rb"(?=[~_-]\d)", b"", native_tsv)
            check(spi_tsv == native_tsv,
                  "%s: listings differ\nDLL:\n%s\nqordat:\n%s" % (what, spi_tsv[:600], native_tsv[:600]))
            listings += 1
            failed_listings += native_code is not None
            records += max(0, native_tsv.count(b"\n") - 1)
        with open(spi_file(job, "ext"), encoding="latin-1") as f:
            spi_outcome = extraction_outcome(f.read())
        native_outcome = native_extraction_outcome(extracted[job])
        if spi_outcome[0] == "entries":
            spi_outcome = ("entries", [line for line in spi_outcome[1] if len(line) < 3 or int(line[1]) < HOST_LIMIT])
        if spi_outcome == ("listing failed", 3):
            # A host's listing stops at an entry without a record; qordat
            # goes on with the others and names that one.
            check(native_outcome[0] == "entries" and "a record of the entry cannot be built" in extracted[job],
                  "%s: qordat extract past an entry without a record: %s" % (what, extracted[job][-400:]))
            shutil.rmtree(out_dir("spi", job), ignore_errors=True)
            shutil.rmtree(out_dir("native", job), ignore_errors=True)
            continue
        # qordat reports failures on stderr, after the entries written.
        if spi_outcome[0] == native_outcome[0] == "entries":
            spi_outcome = ("entries", sorted(spi_outcome[1]))
            native_outcome = ("entries", sorted(native_outcome[1]))
        check(spi_outcome == native_outcome,
              "%s: extraction\nDLL:    %s\nqordat: %s" % (what, spi_outcome, native_outcome))
        entry_lines += len(native_outcome[1]) if native_outcome[0] == "entries" else 0
        spi_out, native_out = out_dir("spi", job), out_dir("native", job)
        written = sorted(os.listdir(native_out)) if os.path.isdir(native_out) else []
        check(sorted(os.listdir(spi_out)) == written,
              "%s: files written\nDLL:    %s\nqordat: %s" % (what, sorted(os.listdir(spi_out))[:20], written[:20]))
        for name in written:
            spi_copy = os.path.join(spi_out, name)
            check(os.path.exists(spi_copy) and filecmp.cmp(spi_copy, os.path.join(native_out, name), shallow=False),
                  "%s: %s differs" % (what, name))
            files += 1
        shutil.rmtree(spi_out, ignore_errors=True)
        shutil.rmtree(native_out, ignore_errors=True)

    exe_listings = 0
    for job, command in lines:
        if command != "qordat.exe list":
            continue
        with open(spi_file(job, "exe"), "rb") as f:
            exe_tsv = f.read().replace(b"\r\n", b"\n")
        check(exe_tsv == listed[job][1], "%s (%s): qordat.exe lists\n%s\nthe native qordat\n%s" %
              (archives[job[0]][0], SETTINGS[job[1]], exe_tsv[:600], listed[job][1][:600]))
        exe_listings += 1
    print("qordat.exe listings compared with the native ones: %d" % exe_listings)
    print("%d archives x %d settings: %d listings compared (%d of them failing, by result code), %d records; "
          "%d extraction results and %d extracted files compared; left out (path too long for a Windows host): %s"
          % (len(archives), len(SETTINGS), listings, failed_listings, records, entry_lines, files,
             ", ".join(os.path.basename(p)[:12] + "..." for p in too_long)))
    print("%d failures" % len(failures))
    if not failures:
        shutil.rmtree(WORK, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
