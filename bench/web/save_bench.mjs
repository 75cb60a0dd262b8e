// Saving one entry from the page, both ways a browser offers, beside native
// qordat extract of the same archive, in each round one after the other (so
// that a round's ratios come from one run):
//  - the browser's download (Save clicked to the finished download, read
//    back from the download folder, as the tests read it);
//  - a file the person chooses (File System Access): headless Chromium shows
//    no picker, so the tests' stand-in answers it with a file of the
//    origin's private file system, written through the same writable stream
//    (Save clicked to the file closed at its full size).
// Entries: a 700 MB plain one (the file's hole) and a 64 MiB bitmap stored
// LZSS-compressed. Prints the medians of the rounds' times and ratios.
// Usage: node bench/web/save_bench.mjs [QORDAT] [ROUNDS] (default
// build/bench/tools/qordat, a Release build; 3 rounds; the page from build/web).
import {execFileSync} from 'node:child_process';
import {rmSync, truncateSync, writeFileSync} from 'node:fs';
import {join} from 'node:path';

import * as web from '../../tests/web/support.mjs';

const qordat = process.argv[2] || join(web.root, 'build/bench/tools/qordat');
process.env.MORQUENT_QORDAT = qordat;
const ROUNDS = Number(process.argv[3] || 3);
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const M = web.media;

// A 24-bit bitmap of 64 MiB: gradients with noise, compressible as game art is.
function bitmap64(path) {
  const width = 4096, height = 5461, row = width * 3, size = 54 + row * height;
  const data = Buffer.alloc(size);
  data.write('BM', 0, 'latin1');
  data.writeUInt32LE(size, 2);
  data.writeUInt32LE(54, 10);
  data.writeUInt32LE(40, 14);
  data.writeInt32LE(width, 18);
  data.writeInt32LE(height, 22);
  data.writeUInt16LE(1, 26);
  data.writeUInt16LE(24, 28);
  data.writeUInt32LE(row * height, 34);
  let seed = 3;
  for (let y = 0; y < height; y++) {
    const at = 54 + y * row;
    for (let x = 0; x < row; x++) data[at + x] = ((x >> 4) + y) & 255;
    for (let x = 0; x < row; x += 97) data[at + x] = (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24;
  }
  writeFileSync(path, data);
  return size;
}

const dir = web.tempDir();
const contexts = [];
try {
  const bmpSize = bitmap64(join(dir, 'big.bmp'));
  const huge = await web.pack(join(dir, 'HUGE.DAT'), '--layout', 'kind-size', '--compressed', join(dir, 'big.bmp'));
  const plain = await web.pack(join(dir, 'PLAIN.DAT'), '--layout', 'raw', '--stored-size', '700000000',
    join(M, 'chime.wav'));
  truncateSync(plain, 4 + 4 + 700000000);
  const entries = [
    {what: '700 MB plain entry', file: plain, name: 'PLAIN~000.WAV', size: 700000000},
    {what: '64 MiB bitmap, compressed', file: huge, name: 'HUGE~000.BMP', size: bmpSize},
  ];

  const downloads = await web.startPage();
  const chosen = await web.startPage({pickers: 'private'});
  contexts.push(downloads, chosen);
  for (const entry of entries) {
    const times = {native: [], download: [], chosen: []};
    for (let round = 0; round < ROUNDS; round++) {
      const out = join(dir, 'out');
      let t0 = performance.now();
      execFileSync(qordat, ['extract', entry.file, '-q', '-o', out]);
      times.native.push(performance.now() - t0);
      rmSync(out, {recursive: true});

      await web.openFile(downloads, entry.file);
      t0 = performance.now();
      const saved = await web.download(downloads, () => downloads.page.click(web.saveButton(entry.name)));
      times.download.push(performance.now() - t0);
      if (saved.data.length !== entry.size) throw new Error(`short download of ${entry.name}`);

      await web.openFile(chosen, entry.file);
      t0 = performance.now();
      await chosen.page.click(web.saveButton(entry.name));
      await web.chosenFileClosed(chosen, entry.name, entry.size, 300000);
      times.chosen.push(performance.now() - t0);
      await chosen.page.evaluate(async (name) => (await navigator.storage.getDirectory()).removeEntry(name), entry.name);
    }
    const ratio = (way) => median(times[way].map((t, i) => t / times.native[i])).toFixed(2);
    console.log(`${entry.what}: native qordat extract ${median(times.native).toFixed(0)} ms; ` +
      `download ${median(times.download).toFixed(0)} ms (${ratio('download')}x native); ` +
      `file chosen ${median(times.chosen).toFixed(0)} ms (${ratio('chosen')}x native)`);
  }
} finally {
  for (const ctx of contexts) await ctx.close();
  rmSync(dir, {recursive: true, force: true});
}
