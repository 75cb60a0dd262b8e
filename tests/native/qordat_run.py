"""What the qordat tests share: the failures found so far, and running qordat
so that a sanitizer report or a signal is a failure of its own."""
import os
import subprocess

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
    """qordat with `args` (subprocess.run `options` added); its exit is checked
    for a sanitizer report or a signal, whatever the caller expects."""
    r = subprocess.run([qordat, *args], capture_output=True, text=True, env=ENV, **options)
    check(r.returncode >= 0 and r.returncode != SANITIZER_EXIT,
          f"qordat {' '.join(args)} exited {r.returncode}: {r.stderr[-2000:]}")
    return r
