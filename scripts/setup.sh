#!/usr/bin/env bash
# Installs every Debian package the project needs, when it is missing.
# Idempotent: when everything is present it only checks and exits.
# One line per step; what the package manager says goes to a log, shown
# only when a step fails.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  xvfb xauth x11-apps imagemagick fonts-ipafont-gothic fonts-wine
  zip python3 time
  emscripten chromium
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# The page's build and its browser tests run node and npm; a node that is not
# Debian's own (with its own npm) is left alone.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

LOG=$(mktemp "${TMPDIR:-/tmp}/morquent-setup.XXXXXX.log")
step() {  # step DESCRIPTION COMMAND...
  local what=$1
  shift
  echo "setup: $what"
  if ! "$@" >>"$LOG" 2>&1 </dev/null; then
    echo "setup: FAILED: $what; the last lines of $LOG:" >&2
    tail -n 40 "$LOG" >&2
    exit 1
  fi
}

echo "setup: missing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [ -n "$SUDO" ]; then
  sudo -v  # asks for the password here, not in the middle of a logged step
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  step "adding the i386 architecture (for wine32)" $SUDO dpkg --add-architecture i386
fi
step "updating the package lists" $SUDO apt-get update -q
step "installing (a few minutes)" $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
rm -f "$LOG"
echo "setup: done"
