"""What the qordat tests share: the failures found so far, and running qordat
so that a sanitizer report or a signal is a failure of its own."""
import os
import shutil
import subprocess
import tempfile

failures = []

# qordat exits 0, 1 or 2 by itself. Sanitizers exit 1 by default, which would
# pass for "qordat refused" or "an entry failed", so they are given an exit
# code of their own; options already in the environment are kept (later
# options win).
SANITIZER_EXIT = 86
ENV = dict(os.environ)
for var, ours in (("ASAN_OPTIONS", f"exitcode={SANITIZER_EXIT}"),
                  ("UBSAN_OPTIONS", f"halt_on_error=1:exitcode={SANITIZER_EXIT}")):
    ENV[var] = ":".join(filter(None, (ENV.get(var), ours)))


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def run_qordat(qordat, *args, **options):
    """qordat with `args` (subprocess.run `options` added, an `env` in place
    of ENV); its exit is checked for a sanitizer report or a signal, whatever
    the caller expects."""
    options.setdefault("env", ENV)
    r = subprocess.run([qordat, *args], capture_output=True, text=True, **options)
    check(r.returncode >= 0 and r.returncode != SANITIZER_EXIT,
          f"qordat {' '.join(args)} exited {r.returncode}: {r.stderr[-2000:]}")
    return r


def run_test(prefix, body):
    """Runs body(folder) in a fresh temporary folder, which is removed
    whatever the outcome (also after an exception); prints the count of
    failures and returns the exit status."""
    tmp = tempfile.mkdtemp(prefix=prefix)
    try:
        body(tmp)
    finally:
        for root, dirs, _ in os.walk(tmp):  # folders a test made read-only
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o700)
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d failures" % len(failures))
    return 1 if failures else 0
