#!/usr/bin/env bash
# Runs a Windows program under Wine, in the project's own prefix, with a
# persistent wineserver so that successive programs start fast.
set -e
export WINEPREFIX="${MORQUENT_WINEPREFIX:-$HOME/.wine-morquent}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
fi
wineserver -p >/dev/null 2>&1 || true
exec wine "$@"
