// Memory: the module's heap stays under 24 MiB listing a 2 GiB archive (a
// sparse file with a few entries) and an archive of 8,191 entries; of the
// 8,191 only the rows in view are in the document, the list reaches every
// one of them, and the worker reads the file about once for them.
import assert from 'node:assert/strict';
import {rmSync, statSync, truncateSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, test} from 'node:test';

import * as web from './support.mjs';

const M = web.media;
const HEAP_LIMIT = 24 * 1024 * 1024;  // it never grows past its initial 16 MiB
let dir;
before(() => {
  dir = web.tempDir();
});
after(() => rmSync(dir, {recursive: true, force: true}));

test('memory: the module heap stays small for 2 GiB and for 8,191 entries', {timeout: 180000}, async (t) => {
  const ctx = await web.startPage();
  const {page} = ctx;
  try {
    await t.test('a 2 GiB archive', async () => {
      // A few entries; the second's stored size reaches past 2 GB into a hole.
      const big = await web.pack(join(dir, 'BIG.DAT'), '--layout', 'raw', join(M, 'title.bmp'),
        '--stored-size', '2000000000', join(M, 'chime.wav'), join(M, 'icon.png'));
      truncateSync(big, 2 ** 31);
      await web.openFile(ctx, big);
      const shown = await web.rows(page);
      assert.deepEqual(shown.map((r) => r.size), [9270, 2000000000, 463]);
      const {heap} = await web.workerHeap(page);
      assert.ok(heap < HEAP_LIMIT, `heap ${heap}`);
    });
    await t.test('8,191 entries: rows in view only, every one reached', async () => {
      const many = await web.pack(join(dir, 'MANY.DAT'), '--layout', 'kind-size', '--repeat', '8191',
        join(M, 'icon.png'));
      await web.openFile(ctx, many);
      // The listing and its check read the file about once: every read is
      // garbage the worker keeps for a long time (reading it 50 times over
      // held 50 MiB of the browser's memory).
      const [worker] = page.workers();
      const read = await worker.evaluate(() => self.morquentIo.bytesRead);
      assert.ok(read <= 2 * statSync(many).size, `${read} bytes read of ${statSync(many).size}`);
      assert.deepEqual(await web.counts(page), {total: 8191, shown: 8191, status: '8,191 entries, 8,191 shown, 0 selected'});
      const shown = await web.rows(page);
      assert.ok(shown.length > 5 && shown.length < 60, `${shown.length} rows in the document`);
      assert.equal(shown[0].name, 'MANY~000.PNG');
      assert.ok(shown.every((r) => r.state === 'whole'));
      await page.focus('#entries');
      await page.keyboard.press('End');
      await page.waitForFunction(() => document.querySelector('#entries .row[data-name="MANY~8190.PNG"][aria-selected=true]'));
      const {nodes} = await ctx.page._client().send('Memory.getDOMCounters');
      assert.ok(nodes < 4000, `${nodes} DOM nodes`);
      const {heap} = await web.workerHeap(page);
      assert.ok(heap < HEAP_LIMIT, `heap ${heap}`);
    });
  } finally {
    await ctx.close();
  }
});
