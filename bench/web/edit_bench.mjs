// Saving an edited 1 GiB archive on the page, measured in headless Chromium
// (not a test): Save the archive clicked to the finished download, beside
// the download of a plain entry of the same size (a slice of the File, the
// browser's own speed at handing over a file that large), and the module's
// heap after each save.
//
// The archive: kind-size heads, a compressed bitmap, a wave, a PNG, and a
// plain entry of about 1 GiB (the file's hole). Two edits: a small one (the
// bitmap replaced by a 1 MiB one, compressed as its slot was; the wave
// emptied; a PNG added) and a large one (the bitmap replaced by 64 MiB,
// compressed in the module, single-threaded).
// Usage: node bench/web/edit_bench.mjs [QORDAT] (default build/bench/tools/qordat;
// the page from build/web).
import {readFileSync, rmSync, truncateSync, writeFileSync} from 'node:fs';
import {join} from 'node:path';

import * as web from '../../tests/web/support.mjs';

const qordat = process.argv[2] || join(web.root, 'build/bench/tools/qordat');
process.env.MORQUENT_QORDAT = qordat;
const M = web.media;
const RUNS = 3;
const BIG = 1073741824 - 16384;  // the plain entry's content: the archive is about 1 GiB
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const mib = (n) => `${(n / 1048576).toFixed(1)} MiB`;

// A bitmap of `size` bytes whose head says its size: gradients with noise,
// compressible as game art is.
function bitmap(path, size) {
  const data = Buffer.alloc(size);
  data.write('BM', 0, 'latin1');
  data.writeUInt32LE(size, 2);
  data.writeUInt32LE(54, 10);
  let seed = 3;
  for (let i = 54; i < size; i++) data[i] = ((i >> 4) + (i >> 14)) & 255;
  for (let i = 54; i < size; i += 97) data[i] = (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24;
  writeFileSync(path, data);
  return path;
}

const dir = web.tempDir();
try {
  const archive = await web.pack(join(dir, 'ARCH.DAT'), '--layout', 'kind-size', '--compressed', join(M, 'title.bmp'),
    join(M, 'chime.wav'), join(M, 'icon.png'), '--declared', String(BIG), '--stored-size', String(BIG + 6),
    join(M, 'script.txt'));
  // The last slot's stored bytes run to the end of the file: a hole after its first bytes.
  const head = readFileSync(archive);
  let end = 4 + 4 * head.readInt32LE(0);
  for (let i = 0; i < head.readInt32LE(0); i++) end += head.readInt32LE(4 + 4 * i);
  truncateSync(archive, end);
  const small = bitmap(join(dir, 'small.bmp'), 1 << 20);
  const large = bitmap(join(dir, 'large.bmp'), 64 << 20);

  const ctx = await web.startPage();
  const {page} = ctx;
  const choose = async (selector, file) => {
    const [chooser] = await Promise.all([page.waitForFileChooser(), page.click(selector)]);
    await chooser.accept([file]);
  };
  const button = (name, action) => `${web.row(name)} button[data-action=${action}]`;
  try {
    await web.openFile(ctx, archive);
    const heapListed = (await web.workerHeap(page)).heap;

    // The browser's download of a file as large: the plain entry, a slice of the File.
    const download = [];
    for (let run = 0; run < RUNS; run++) {
      const t0 = performance.now();
      const saved = await web.download(ctx, () => page.click(web.saveButton('ARCH~003.DAT')));
      download.push(performance.now() - t0);
      if (saved.data.length !== BIG) throw new Error('short download of the plain entry');
    }

    const timeSave = async () => {
      const times = [];
      let heap = 0;
      let size = 0;
      for (let run = 0; run < RUNS; run++) {
        const saves = await page.evaluate(() => Number(document.documentElement.dataset.saves || 0));
        const t0 = performance.now();
        const saved = await web.download(ctx, () => page.click('#save-archive'));
        times.push(performance.now() - t0);
        size = saved.data.length;
        await page.waitForFunction((n) => Number(document.documentElement.dataset.saves || 0) > n, {}, saves);
        heap = Math.max(heap, (await web.workerHeap(page)).heap);
      }
      return {time: median(times), heap, size};
    };
    await choose(button('ARCH~000.BMP', 'replace'), small);
    await page.click(button('ARCH~001.WAV', 'empty'));
    await choose('#add-entry', join(M, 'icon.png'));
    const smallEdit = await timeSave();
    await choose(button('ARCH~000.BMP', 'replace'), large);
    const largeEdit = await timeSave();

    console.log(`machine: ${(await import('node:os')).cpus().length} cores, ${ctx.browser.process().spawnfile}, ` +
      `median of ${RUNS} runs`);
    const base = median(download);
    console.log(`download of a ${mib(BIG)} plain entry (a slice of the File): ${base.toFixed(0)} ms`);
    for (const [what, r] of [['small edit (1 MiB bitmap compressed, a slot emptied, one added)', smallEdit],
      ['large edit (64 MiB bitmap compressed, a slot emptied, one added)', largeEdit]]) {
      console.log(`${what}: archive of ${mib(r.size)} saved to finished download in ${r.time.toFixed(0)} ms ` +
        `(${(r.time / base).toFixed(2)}x the download's time); module heap ${mib(r.heap)} (after listing ` +
        `${mib(heapListed)})`);
    }
  } finally {
    await ctx.close();
  }
} finally {
  rmSync(dir, {recursive: true, force: true});
}
