#!/usr/bin/env bash
# The page: `bash scripts/web.sh` installs what it needs (Debian's emscripten,
# node and npm, the zip writer pinned in web/package-lock.json) and builds
# the page into build/web (index.html at its root);
# `bash scripts/web.sh serve` serves build/web on 127.0.0.1:${PORT:-8000}.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Debian packages, when missing. node and npm may come from elsewhere (an
# install of node that is not Debian's own): then they are left alone.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  command -v node >/dev/null || missing+=(nodejs)
  command -v npm >/dev/null || missing+=(npm)
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "web: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q >/dev/null
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# Debian's emcc runs its JavaScript tools with `node`; a node that is not
# Debian's own finds Debian's acorn through NODE_PATH.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

build() {
  need_packages cmake ninja-build emscripten python3
  # The zip writer (and the browser tests' driver), exactly as locked.
  if ! (cd web && npm ls --depth=0 >/dev/null 2>&1); then
    echo "web: npm ci (web/package-lock.json)"
    (cd web && npm ci --no-audit --no-fund >/dev/null)
  fi
  cmake --preset web >/dev/null
  nice cmake --build --preset web -j 2
  echo "web: the page is in build/web (bash scripts/web.sh serve)"
}

serve() {
  [ -f build/web/index.html ] || build
  local port=${PORT:-8000}
  echo "web: serving build/web at http://127.0.0.1:$port/ (Ctrl-C stops)"
  exec python3 -m http.server "$port" --bind 127.0.0.1 --directory build/web
}

case "${1:-build}" in
  build) build ;;
  serve) serve ;;
  *) echo "usage: bash scripts/web.sh [build|serve]" >&2; exit 2 ;;
esac
