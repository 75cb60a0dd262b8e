#!/usr/bin/env bash
# Builds the release package: morquent.spi (32-bit hosts), morquent.sph
# (64-bit hosts), the user README (Japanese and English) and the licence, in
# one zip: build/release/morquent-0.07.zip.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target morquent >/dev/null
done

VERSION=0.07
STAGE=build/release/morquent-$VERSION
rm -rf "$STAGE" "build/release/morquent-$VERSION.zip"
mkdir -p "$STAGE"
cp build/win32/morquent.spi build/win64/morquent.sph "$STAGE/"
# Text files for Windows users: CRLF line ends, and a UTF-8 byte-order mark
# on the README so that older editors recognise its Japanese text.
{ printf '\xEF\xBB\xBF'; sed 's/$/\r/' release/README.txt; } > "$STAGE/README.txt"
sed 's/$/\r/' LICENSE > "$STAGE/LICENSE.txt"
(cd build/release && zip -q -r "morquent-$VERSION.zip" "morquent-$VERSION")
echo "build/release/morquent-$VERSION.zip"
unzip -l "build/release/morquent-$VERSION.zip"
