// The page's speed and memory, measured in headless Chromium (not a test):
//  - listing 8,191 entries: the first rows, and End reaching the last;
//  - the module's heap and the browser processes' memory (PSS) with a small
//    archive, a 2 GiB one (sparse, a few entries) and 8,191 entries.
// Usage: node bench/web/web_bench.mjs [QORDAT] (default build/bench/tools/qordat,
// a Release build; the page from build/web). Saving is measured by
// save_bench.mjs.
import {readdirSync, readFileSync, rmSync, truncateSync} from 'node:fs';
import {join} from 'node:path';

import * as web from '../../tests/web/support.mjs';

const qordat = process.argv[2] || join(web.root, 'build/bench/tools/qordat');
process.env.MORQUENT_QORDAT = qordat;
const M = web.media;
const RUNS = 3;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const mib = (n) => `${(n / 1048576).toFixed(1)} MiB`;

// Memory of the browser and every process under it, in bytes: the sum of
// their proportional set sizes (shared pages counted once, in parts).
function browserRss(pid) {
  const children = new Map();
  for (const name of readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const stat = readFileSync(`/proc/${name}/stat`, 'latin1');
      const ppid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      if (!children.has(ppid)) children.set(ppid, []);
      children.get(ppid).push(Number(name));
    } catch { /* gone */ }
  }
  let total = 0;
  const visit = (p) => {
    try {
      const rollup = readFileSync(`/proc/${p}/smaps_rollup`, 'latin1');
      total += Number((rollup.match(/^Pss:\s+(\d+)/m) || [0, 0])[1]) * 1024;
    } catch { /* gone */ }
    for (const c of children.get(p) || []) visit(c);
  };
  visit(pid);
  return total;
}

const dir = web.tempDir();
try {
  const many = await web.pack(join(dir, 'MANY.DAT'), '--layout', 'kind-size', '--repeat', '8191', join(M, 'icon.png'));
  const small = await web.pack(join(dir, 'SMALL.DAT'), '--layout', 'kind-size', join(M, 'title.bmp'), join(M, 'chime.wav'));
  const big = await web.pack(join(dir, 'BIG.DAT'), '--layout', 'raw', join(M, 'title.bmp'), '--stored-size',
    '2000000000', join(M, 'chime.wav'), join(M, 'icon.png'));
  truncateSync(big, 2 ** 31);

  const ctx = await web.startPage();
  const {page} = ctx;
  const pid = ctx.browser.process().pid;
  try {
    // ---- memory ----
    const rssBefore = browserRss(pid);
    const memory = [];
    for (const [name, file] of [['small', small], ['2 GiB', big], ['8,191 entries', many], ['small again', small]]) {
      await web.openFile(ctx, file);
      await new Promise((r) => setTimeout(r, 500));
      memory.push({name, heap: (await web.workerHeap(page)).heap, rss: browserRss(pid)});
    }

    // ---- listing 8,191 entries ----
    // From the file's choice to the first rows with #entries's data-total, and
    // from the End key to the last entry's row in the document.
    const listing = [];
    for (let run = 0; run < RUNS; run++) {
      await page.evaluate(() => {
        window.benchTimes = {};
        document.addEventListener('change', () => (window.benchTimes.chosen = performance.now()), {capture: true, once: true});
        const list = document.querySelector('#entries');
        const watch = new MutationObserver(() => {
          // This run's listing: the list emptied for it, then its rows.
          if (!window.benchTimes.chosen) return;
          if (list.dataset.total !== '8191') {
            window.benchTimes.emptied = true;
            return;
          }
          if (!window.benchTimes.emptied || !list.querySelector('.row')) return;
          window.benchTimes.rows = performance.now();
          watch.disconnect();
        });
        watch.observe(list, {childList: true, subtree: true, attributes: true});
      });
      await web.openFile(ctx, many);
      await page.focus('#entries');
      const end = await page.evaluate(() => new Promise((resolve) => {
        const t0 = performance.now();
        document.querySelector('#entries').dispatchEvent(new KeyboardEvent('keydown', {key: 'End', bubbles: true}));
        const check = () => (document.querySelector('#entries .row[data-name="MANY~8190.PNG"]')
          ? resolve(performance.now() - t0) : requestAnimationFrame(check));
        check();
      }));
      const t = await page.evaluate(() => ({rows: window.benchTimes.rows - window.benchTimes.chosen,
        all: performance.now() - window.benchTimes.chosen}));
      listing.push({...t, end});
    }

    console.log(`machine: ${(await import('node:os')).cpus().length} cores, ${ctx.browser.process().spawnfile}, ` +
      `median of ${RUNS} runs`);
    console.log(`listing 8,191 entries: first rows and data-total ${median(listing.map((t) => t.rows)).toFixed(0)} ms ` +
      `after the choice, End to the last row ${median(listing.map((t) => t.end)).toFixed(1)} ms, every entry checked ` +
      `${median(listing.map((t) => t.all)).toFixed(0)} ms`);
    console.log(`browser processes before any archive: ${mib(rssBefore)}`);
    for (const m of memory) console.log(`after listing ${m.name}: module heap ${mib(m.heap)}, browser PSS ${mib(m.rss)}`);
  } finally {
    await ctx.close();
  }
} finally {
  rmSync(dir, {recursive: true, force: true});
}
