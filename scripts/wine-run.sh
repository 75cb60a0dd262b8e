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
# Settings the prefix needs, made once (also in a prefix created before they
# were added); the mark file records that they are in place.
#  - The settings dialog asks for the face "ＭＳ Ｐゴシック", which Wine does not
#    have: IPA P Gothic (fonts-ipafont-gothic) is the nearest proportional Gothic.
#  - The driven dialog test runs under Xvfb with no window manager: its windows
#    are unmanaged, so Wine draws their captions itself and does not wait for a
#    window manager each time a window is hidden.
SETUP_MARK="$WINEPREFIX/.morquent-setup-1"
if [ ! -f "$SETUP_MARK" ]; then
  # UTF-8 command line, whatever the caller's locale, for the Japanese name.
  LC_ALL=C.UTF-8 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'ＭＳ Ｐゴシック' /d IPAPGothic /f \
      </dev/null >/dev/null 2>&1 &&
    wine reg add 'HKCU\Software\Wine\AppDefaults\wine_dialog_tests.exe\X11 Driver' /v Managed /d N /f \
      </dev/null >/dev/null 2>&1 &&
    touch "$SETUP_MARK" || true
fi
# Wine's service processes (winedevice.exe, and explorer.exe for a desktop)
# outlive the program and inherit its output. Handed ctest's pipe, they would
# hold it open and ctest would wait for them until its timeout; so the program
# writes to a file, which is copied out as it grows until the program exits.
output=$(mktemp)
wine "$@" </dev/null >"$output" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null' TERM INT
tail -s 0.1 -n +1 --pid="$pid" -f "$output" &
tailer=$!
status=0
wait "$pid" || status=$?
wait "$tailer" 2>/dev/null || true
rm -f "$output"
exit "$status"
