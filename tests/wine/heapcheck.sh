#!/usr/bin/env bash
# Runs a Windows program of the build under Wine with Wine's heap checking on
# and fails when Wine reports heap corruption.
#
# usage: heapcheck.sh [--expect-corruption] PROGRAM.exe [ARG...]
#
# WINEDEBUG (default warn+heap,trace+heap) must include trace+heap: only then
# does Wine 8 validate every heap (block tails, free blocks' fill pattern,
# block headers) on every heap operation, so that a working buffer overrun and
# freed inside one call is caught at that free. warn+heap alone turns on tail
# and free checking but validates only on HeapValidate and on frees of bad
# pointers. Wine then prints
#   err:heap:validate_used_block heap ..., block ...: invalid block tail
#   err:heap:validate_free_block ... / free block overwritten
#   warn:heap:unsafe_block_from_ptr ...: invalid block pointer / delayed freed block
# and, with trace+heap, fails an assertion (the program ends with an
# exception). Its refusals of huge allocations ("warn:heap:allocate_region
# Could not allocate") are expected and not reports. Wine turns its debug
# output off when stderr is /dev/null, so the output goes to a file.
#
# With --expect-corruption the run passes only when corruption is reported
# (the check's own test, on a planted overrun).
set -uo pipefail
expect=0
if [ "${1:-}" = "--expect-corruption" ]; then
  expect=1
  shift
fi
here="$(cd "$(dirname "$0")" && pwd)"
export WINEDEBUG="${WINEDEBUG:-warn+heap,trace+heap}"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT

# Wine's own background processes start with the first program; start them
# without heap checking, so that only the program under test is traced.
WINEDEBUG=-all "$here/../../scripts/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
"$here/../../scripts/wine-run.sh" "$@" >"$log" 2>&1
status=$?

# Everything Wine said except the trace of every allocation.
grep -v ':trace:heap:' "$log" >&2
reports=$(grep -E ':(err|warn):heap:' "$log" | grep -vc 'allocate_region Could not allocate')
echo "heap check: WINEDEBUG=$WINEDEBUG, exit status $status, $reports report(s) of heap corruption" \
     "($(grep -c ':trace:heap:' "$log") heap operations traced)"

if [ "$expect" -eq 1 ]; then
  [ "$reports" -gt 0 ] && exit 0
  echo "heap check: a planted overrun went unreported" >&2
  exit 1
fi
[ "$status" -eq 0 ] && [ "$reports" -eq 0 ]
