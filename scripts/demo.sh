#!/usr/bin/env bash
# The main job on the bundled example: builds the plug-in and the host tool,
# then has the host identify the plug-in and probe a sample archive and a file
# that is not an archive.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target morquent spihost >/dev/null

HOST=(scripts/wine-run.sh build/win32/spihost.exe)
SPI=build/win32/morquent.spi
echo "== spihost info"
"${HOST[@]}" info "$SPI"
echo "== spihost probe"
"${HOST[@]}" probe "$SPI" examples/SCENE.DAT examples/notes.txt
