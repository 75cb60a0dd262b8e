#!/usr/bin/env bash
# Runs every test: native unit tests (ASan+UBSan), the page's browser tests
# (headless Chromium), the Wine suite through the real DLLs, 32- and 64-bit
# (under Xvfb, for the dialog), and a short fuzz run of each target.
# Installs what is missing first. Ends with one "N passed, N failed" line.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

JOBS=$(nproc)
# The Wine prefix that scripts/wine-run.sh uses (wineserver -k below acts on it).
export WINEPREFIX="${MORQUENT_WINEPREFIX:-$HOME/.wine-morquent}"
passed=0
failed=0

record() {  # record NAME STATUS
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); echo "== $1: ok"
  else failed=$((failed + 1)); echo "== $1: FAILED"; fi
}

# Adds a ctest run's counts ("N% tests passed, F tests failed out of T").
count_ctest() {  # count_ctest LOG
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

build() {  # build PRESET
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$JOBS"
}

LOG=$(mktemp -d)

if build native; then
  ctest --preset native -j "$JOBS" 2>&1 | tee "$LOG/native.log"
  count_ctest "$LOG/native.log"
else
  record "native build" 1
fi

# The page (scripts/web.sh builds it into build/web) and its browser tests in
# headless Chromium, which compare it with the native qordat built above.
if bash scripts/web.sh; then
  ctest --preset web 2>&1 | tee "$LOG/web.log"
  count_ctest "$LOG/web.log"
else
  record "web build" 1
fi

# The same Wine suite against the 32-bit morquent.spi and the 64-bit
# morquent.sph. A fresh wineserver for each, started inside Xvfb, so that the
# dialog tests have a display.
for preset in win32 win64; do
  if build "$preset"; then
    wineserver -k >/dev/null 2>&1 || true
    xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset "$preset" 2>&1 | tee "$LOG/$preset.log"
    count_ctest "$LOG/$preset.log"
    wineserver -k >/dev/null 2>&1 || true
  else
    record "$preset build" 1
  fi
done

if [ -x scripts/fuzz.sh ]; then
  scripts/fuzz.sh smoke 2>&1 | tee "$LOG/fuzz.log"
  record "fuzz smoke" "${PIPESTATUS[0]}"
fi

echo
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
