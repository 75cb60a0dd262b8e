#!/usr/bin/env bash
# The main job on the bundled example. Builds the plug-in, the host tool and
# the archive writer; packs the media in examples/media into a QOR's DAT
# archive (compressed and plain entries, empty slots); then has the host
# identify the plug-in, probe the archive and a file that is not one, list
# the archive, extract every entry (to disk, and to memory), and checks that
# every extracted file is byte-identical to its original.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target morquent spihost qordat >/dev/null

RUN=scripts/wine-run.sh
SPI=build/win32/morquent.spi
HOST=build/win32/spihost.exe
OUT=build/demo
rm -rf "$OUT" && mkdir -p "$OUT"
M=examples/media

echo "== qordat: pack $OUT/SCENE.DAT (six-byte heads; bitmap, PNG and text compressed)"
$RUN build/win32/qordat.exe pack "$OUT/SCENE.DAT" --layout kind-size \
  --compressed "$M/title.bmp" --empty "$M/chime.wav" --compressed "$M/icon.png" \
  --compressed "$M/script.txt" --empty examples/notes.txt
$RUN build/win32/qordat.exe dump "$OUT/SCENE.DAT"

echo "== spihost info"
$RUN "$HOST" info "$SPI"
echo "== spihost probe"
$RUN "$HOST" probe "$SPI" "$OUT/SCENE.DAT" examples/notes.txt
echo "== spihost list"
$RUN "$HOST" list "$SPI" "$OUT/SCENE.DAT"
echo "== spihost extract (to disk, then to memory)"
$RUN "$HOST" extract "$SPI" "$OUT/SCENE.DAT" -o "$OUT/disk" --disk
$RUN "$HOST" extract "$SPI" "$OUT/SCENE.DAT" -o "$OUT/memory" --memory

echo "== byte-for-byte check"
status=0
for pair in "SCENE~000.BMP:$M/title.bmp" "SCENE~001.DMY:/dev/null" "SCENE~002.WAV:$M/chime.wav" \
            "SCENE~003.PNG:$M/icon.png" "SCENE~004.DAT:$M/script.txt" "SCENE~005.DMY:/dev/null" \
            "SCENE~006.DAT:examples/notes.txt"; do
  name=${pair%%:*}; original=${pair#*:}
  for way in disk memory; do
    if cmp -s "$OUT/$way/$name" "$original"; then
      echo "identical  $way/$name  $original"
    else
      echo "DIFFERENT  $way/$name  $original"; status=1
    fi
  done
done
exit $status
