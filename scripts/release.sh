#!/usr/bin/env bash
# Builds the release packages in build/release:
#  - morquent-0.07.zip for Windows: morquent.spi (32-bit hosts), morquent.sph
#    (64-bit hosts), qordat.exe (list and extract on the command line), the
#    user README (Japanese and English) and the licence;
#  - qordat_0.07_<arch>.deb and qordat-0.07-linux-<arch>.tar.gz for Linux:
#    qordat and its manual page, from a Release build (CPack);
#  - morquent-web-0.07.zip: the page (build/web), for any static host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target morquent >/dev/null
done
cmake --build --preset win32 --target qordat >/dev/null

VERSION=$(sed -n 's/^set(MORQUENT_VERSION "\(.*\)")$/\1/p' CMakeLists.txt)
STAGE=build/release/morquent-$VERSION
rm -rf "$STAGE" "build/release/morquent-$VERSION.zip"
mkdir -p "$STAGE"
cp build/win32/morquent.spi build/win64/morquent.sph "$STAGE/"
# qordat.exe is linked statically (the C++ runtime with it); its symbols are left out.
i686-w64-mingw32-strip -o "$STAGE/qordat.exe" build/win32/qordat.exe
# Text files for Windows users: CRLF line ends, and a UTF-8 byte-order mark
# on the README so that older editors recognise its Japanese text.
{ printf '\xEF\xBB\xBF'; sed 's/$/\r/' release/README.txt; } > "$STAGE/README.txt"
sed 's/$/\r/' LICENSE > "$STAGE/LICENSE.txt"
(cd build/release && zip -q -r "morquent-$VERSION.zip" "morquent-$VERSION")

# Linux: a Release build without tests or sanitizers, with Debian's
# hardening flags (fortified functions, stack protector, PIE, read-only
# relocations bound now), packaged by CPack and checked by lintian.
for p in lintian dpkg-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    $( [ "$(id -u)" -ne 0 ] && echo sudo ) apt-get install -y -q --no-install-recommends "$p" >/dev/null
done
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
rm -rf build/linux
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORQUENT_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build/linux --target qordat >/dev/null
rm -f build/release/qordat_*.deb build/release/qordat-*.tar.gz
(cd build/linux && cpack -B "$PWD/../release" >/dev/null)
rm -rf build/release/_CPack_Packages

# The page: the static files as scripts/web.sh puts them together, and the licences.
bash scripts/web.sh >/dev/null
WEB=build/release/morquent-web-$VERSION
rm -rf "$WEB" "$WEB.zip"
mkdir -p "$WEB"
# Everything scripts/web.sh put there (the page, its modules, the engine, the zip writer and its licence).
cp build/web/* "$WEB/"
cp LICENSE "$WEB/LICENSE.txt"
(cd build/release && zip -q -r "morquent-web-$VERSION.zip" "morquent-web-$VERSION")
rm -rf "$WEB"

echo "build/release/morquent-$VERSION.zip"
unzip -l "build/release/morquent-$VERSION.zip"
unzip -l "build/release/morquent-web-$VERSION.zip"
ls build/release/qordat_*.deb build/release/qordat-*.tar.gz
# No error and no warning from lintian (informational notes are fine).
lintian --fail-on error,warning build/release/qordat_*.deb
