// Bad input and limits: files that are no archive (text, empty, a 2 GiB file
// of zeros, a picture's name), a folder dropped, an archive listed only with
// the full scan, an offset past the end, a file that becomes unreadable
// while open, an engine that traps; each gives a clear message, the page
// stays usable and saves nothing.
import assert from 'node:assert/strict';
import {copyFileSync, mkdirSync, rmSync, truncateSync, writeFileSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, test} from 'node:test';

import * as web from './support.mjs';

const M = web.media;
let dir;
let good;
before(async () => {
  dir = web.tempDir();
  good = await web.pack(join(dir, 'GOOD.DAT'), '--layout', 'kind-size', '--compressed', join(M, 'title.bmp'),
    join(M, 'chime.wav'));
});
after(() => rmSync(dir, {recursive: true, force: true}));

// After a refusal the page still lists a good archive.
async function stillUsable(ctx) {
  await web.openFile(ctx, good);
  assert.deepEqual((await web.rows(ctx.page)).map((r) => r.state), ['whole', 'whole']);
  assert.equal(await web.message(ctx.page), null);
}

test('bad input', {timeout: 180000}, async (t) => {
  const ctx = await web.startPage();
  const {page} = ctx;
  try {
    const zeros = join(dir, 'ZEROS.DAT');
    writeFileSync(zeros, '');
    truncateSync(zeros, 2 ** 31);  // 2 GiB, sparse
    const cases = [
      ['a text file', join(web.root, 'examples/notes.txt'), {}, /notes\.txt is not a QOR's DAT archive/],
      ['an empty file', join(dir, 'EMPTY.DAT'), {}, /EMPTY\.DAT is empty/],
      ['2 GiB of zeros', zeros, {}, /ZEROS\.DAT is not a QOR's DAT archive/],
      ['an archive named like a picture', join(dir, 'ARCHIVE.BMP'), {}, /named like a picture or a sound/],
      ['an offset past the end', good, {offset: 1e6}, /cannot begin at byte 1,000,000/],
    ];
    writeFileSync(join(dir, 'EMPTY.DAT'), '');
    copyFileSync(good, join(dir, 'ARCHIVE.BMP'));
    for (const [name, file, controls, expected] of cases) {
      await t.test(name, async () => {
        const started = Date.now();
        await web.openFile(ctx, file, {offset: 0, ...controls});
        assert.match(await web.message(page), expected);
        assert.deepEqual(await web.rows(page), []);
        assert.ok(Date.now() - started < 10000, 'answered at once');
        await web.setControls(page, {offset: 0});
        await stillUsable(ctx);
      });
    }

    await t.test('a folder dropped', async () => {
      const folder = join(dir, 'FOLDER');
      mkdirSync(folder);
      const box = await (await page.$('#drop')).boundingBox();
      const at = {x: box.x + box.width / 2, y: box.y + box.height / 2};
      const data = {items: [], files: [folder], dragOperationsMask: 1};
      await web.afterListing(page, async () => {
        for (const type of ['dragEnter', 'dragOver', 'drop']) {
          await ctx.page._client().send('Input.dispatchDragEvent', {type, ...at, data});
        }
      });
      assert.match(await web.message(page), /FOLDER is a folder/);
      assert.deepEqual(await web.rows(page), []);
      await stillUsable(ctx);
    });

    await t.test('an archive listed only with the full scan says so and offers it', async () => {
      const text = await web.pack(join(dir, 'TEXT.DAT'), '--layout', 'kind-only', '--compressed', join(M, 'script.txt'));
      await web.openFile(ctx, text, {numbering: 'dummies', fullScan: false});
      assert.match(await web.message(page), /listed only with the full scan on/);
      await web.afterListing(page, () => page.click('#message-action'));
      assert.equal(await page.$eval('#full-scan', (box) => box.checked), true);
      assert.deepEqual((await web.rows(page)).map((r) => r.name), ['TEXT~000.DAT']);
      await web.changeSetting(page, '#full-scan', false);
    });

    await t.test('a file that becomes unreadable while open', async () => {
      const doomed = join(dir, 'DOOMED.DAT');
      copyFileSync(good, doomed);
      await web.openFile(ctx, doomed);
      rmSync(doomed);
      const before = ctx.finished.size;
      await page.click(web.saveButton('DOOMED~001.WAV'));
      await page.waitForFunction(() => !document.querySelector('#message').hidden);
      assert.match(await web.message(page), /can no longer be read/);
      await new Promise((resolve) => setTimeout(resolve, 300));
      assert.equal(ctx.finished.size, before, 'nothing saved');
      await stillUsable(ctx);
    });

    await t.test('an engine that traps is started afresh', async () => {
      await web.openFile(ctx, good);
      await page.waitForSelector(`${web.row('GOOD~000.BMP')} .c-thumb img`);  // the last work asked of it
      // A trap in the middle of the next request, as the module would raise it.
      const [worker] = page.workers();
      await worker.evaluate(() => {
        self.onmessage = () => {
          throw new WebAssembly.RuntimeError('unreachable');
        };
      });
      // The bitmap is compressed: its Save runs the extraction in the worker.
      await web.afterListing(page, () => page.click(web.saveButton('GOOD~000.BMP')));
      assert.match(await web.message(page), /engine stopped \(.*unreachable\)/);
      assert.equal((await web.rows(page)).length, 2, 'listed again by the fresh engine');
      const file = await web.download(ctx, () => page.click(web.saveButton('GOOD~001.WAV')));
      assert.equal(file.name, 'GOOD~001.WAV');
    });
    assert.deepEqual(ctx.errors, []);
  } finally {
    await ctx.close();
  }
});
