// Saving: one entry by its button and by its key, every whole entry in one
// zip (read back), a damaged entry only after its warning; and the two
// settings, kept across a reload as the plug-in keeps its own.
import assert from 'node:assert/strict';
import {readFileSync, rmSync, truncateSync, writeFileSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, test} from 'node:test';

import * as web from './support.mjs';

const M = web.media;
const original = (name) => readFileSync(join(M, name));
// Clicks Cancel as soon as the progress line shows.
const cancelWhenProgressShows = (page) => page.evaluate(() => {
  const line = document.querySelector('#progress');
  new MutationObserver((_, watch) => {
    if (line.hidden) return;
    watch.disconnect();
    document.querySelector('#cancel').click();
  }).observe(line, {attributes: true});
});

let dir;
let archive;
let damaged;
before(async () => {
  dir = web.tempDir();
  archive = await web.pack(join(dir, 'SCENE.DAT'), '--layout', 'kind-size', '--compressed', join(M, 'title.bmp'),
    '--empty', join(M, 'chime.wav'), join(M, 'icon.png'), '--compressed', join(M, 'script.txt'));
  // The last entry cut: its stream ends early.
  damaged = await web.pack(join(dir, 'CUT.DAT'), '--layout', 'kind-size', join(M, 'icon.png'),
    '--compressed', join(M, 'title.bmp'), '--truncate', '3000');
});
after(() => rmSync(dir, {recursive: true, force: true}));

test('saving entries', {timeout: 120000}, async (t) => {
  const ctx = await web.startPage();
  const {page} = ctx;
  const {row} = web;
  try {
    await web.openFile(ctx, archive, {numbering: 'dummies', fullScan: false});

    await t.test('Save downloads the entry under its name', async () => {
      const file = await web.download(ctx, () => page.click(`${row('SCENE~000.BMP')} button[data-action=save]`));
      assert.equal(file.name, 'SCENE~000.BMP');
      assert.ok(file.data.equals(original('title.bmp')));
    });

    await t.test('S saves the selected entry', async () => {
      await page.click(`${row('SCENE~002.WAV')} .c-name`);
      const file = await web.download(ctx, () => page.keyboard.press('s'));
      assert.equal(file.name, 'SCENE~002.WAV');
      assert.ok(file.data.equals(original('chime.wav')));
    });

    await t.test('Save all gives one zip of every entry', async () => {
      const zip = await web.download(ctx, () => page.click('#save-all'));
      assert.equal(zip.name, 'SCENE.zip');
      const files = web.fflate.unzipSync(new Uint8Array(zip.data));
      const expected = {'SCENE~000.BMP': 'title.bmp', 'SCENE~002.WAV': 'chime.wav', 'SCENE~003.PNG': 'icon.png',
        'SCENE~004.DAT': 'script.txt'};
      assert.deepEqual(Object.keys(files).sort(), ['SCENE~001.DMY', ...Object.keys(expected)].sort());
      for (const [name, source] of Object.entries(expected)) assert.ok(Buffer.from(files[name]).equals(original(source)), name);
      assert.equal(files['SCENE~001.DMY'].length, 0);
    });

    await t.test('a damaged entry is saved only after the warning', async () => {
      await web.openFile(ctx, damaged);
      const shown = await web.rows(page);
      assert.deepEqual(shown.map((r) => r.state), ['whole', 'damaged']);
      // Declined: nothing is saved.
      await page.click(`${row('CUT~001.BMP')} button[data-action=save]`);
      await page.waitForSelector('#damaged-dialog[open]');
      assert.match(await page.$eval('#damaged-text', (p) => p.textContent), /CUT~001\.BMP is damaged: the archive ends before the entry does: \d+ stored bytes missing, \d+ content bytes lost\./);
      const before = ctx.finished.size;
      await page.click('#damaged-dialog button[value=cancel]');
      await new Promise((resolve) => setTimeout(resolve, 500));
      assert.equal(ctx.finished.size, before, 'no download after "Don\'t save"');
      // Accepted: the entry as a host receives it, the missing bytes zeros.
      const file = await web.download(ctx, async () => {
        await page.click(`${row('CUT~001.BMP')} button[data-action=save]`);
        await page.waitForSelector('#damaged-dialog[open]');
        await page.click('#damaged-save');
      });
      const bitmap = original('title.bmp');
      assert.equal(file.data.length, bitmap.length);
      // Save all leaves it out, and says so.
      const zip = await web.download(ctx, () => page.click('#save-all'));
      assert.deepEqual(Object.keys(web.fflate.unzipSync(new Uint8Array(zip.data))), ['CUT~000.PNG']);
      assert.match(await web.message(page), /1 damaged entry was left out/);
    });

    await t.test('Cancel stops a long save: nothing saved, "cancelled" said, the page saves again', async () => {
      // A 300 MB entry the file holds (as a hole): writing it into a zip takes seconds.
      const long = await web.pack(join(dir, 'LONG.DAT'), '--layout', 'raw', join(M, 'title.bmp'),
        '--stored-size', '300000000', join(M, 'chime.wav'));
      truncateSync(long, 4 + 8 + 9270 + 300000000);
      await web.openFile(ctx, long);
      await cancelWhenProgressShows(page);
      const before = ctx.finished.size;
      await page.click('#save-all');
      await page.waitForFunction(() => /cancelled/.test(document.querySelector('#message-text').textContent),
        {timeout: 60000});
      assert.match(await web.message(page), /^Saving LONG\.zip was cancelled\.$/);
      await new Promise((resolve) => setTimeout(resolve, 300));
      assert.equal(ctx.finished.size, before, 'nothing saved');
      const file = await web.download(ctx, () => page.click(web.saveButton('LONG~000.BMP')));
      assert.ok(file.data.equals(original('title.bmp')));
    });

    await t.test('the settings survive a reload and list the archive', async () => {
      await web.changeSetting(page, '#numbering', 'packed');
      await web.changeSetting(page, '#full-scan', true);
      await page.reload({waitUntil: 'load'});
      await page.waitForSelector('html[data-ready]');
      assert.deepEqual(await page.evaluate(() => [document.querySelector('#numbering').value,
        document.querySelector('#full-scan').checked]), ['packed', true]);
      await web.openFile(ctx, archive);
      assert.deepEqual((await web.rows(page)).map((r) => r.name),
        ['SCENE_000.BMP', 'SCENE_001.WAV', 'SCENE_002.PNG', 'SCENE_003.DAT']);
    });
    assert.deepEqual(ctx.errors, []);
  } finally {
    await ctx.close();
  }
});

// Where the browser lets the page ask where to write (the File System Access
// API), entries, zips and the edited archive are piped into the file chosen;
// stopped or refused, the file chosen is left as the picker made it.
test('saving into a file the person chooses', {timeout: 120000}, async (t) => {
  const ctx = await web.startPage({pickers: 'private'});
  const {page} = ctx;
  try {
    await web.openFile(ctx, archive, {numbering: 'dummies', fullScan: false});

    await t.test('an entry, compressed or plain, and a zip of them all', async () => {
      await page.click(web.saveButton('SCENE~000.BMP'));  // compressed: the extraction's pieces as they come
      assert.ok((await web.chosenFile(ctx, 'SCENE~000.BMP', 9270)).equals(original('title.bmp')));
      await page.click(web.saveButton('SCENE~002.WAV'));  // plain: a slice of the file chosen
      assert.ok((await web.chosenFile(ctx, 'SCENE~002.WAV', 4044)).equals(original('chime.wav')));
      await page.click('#save-all');
      await page.waitForFunction(() => /saved in SCENE\.zip/.test(document.querySelector('#message-text').textContent));
      const files = web.fflate.unzipSync(new Uint8Array(await web.chosenFile(ctx, 'SCENE.zip')));
      assert.ok(Buffer.from(files['SCENE~003.PNG']).equals(original('icon.png')));
      assert.equal(Object.keys(files).length, 5);
    });

    await t.test('the edited archive', async () => {
      await page.click(`${web.row('SCENE~002.WAV')} button[data-action=empty]`);
      await page.click('#save-archive');
      await page.waitForFunction(() => document.documentElement.dataset.saves === '1');
      assert.match(await web.message(page), /^SCENE\.DAT saved with 1 change/);
      const out = join(dir, 'chosen.dat');
      writeFileSync(out, await web.chosenFile(ctx, 'SCENE.DAT'));
      assert.deepEqual((await web.qordatList(out, {numbering: 'dummies', fullScan: false})).map((e) => e.name),
        ['chosen~000.BMP', 'chosen~001.DMY', 'chosen~002.DMY', 'chosen~003.PNG', 'chosen~004.DAT']);
      const extracted = await web.qordatExtract(out, {numbering: 'dummies', fullScan: false}, 0, false);
      assert.equal(extracted.files.get('chosen~000.BMP'), web.sha256(original('title.bmp')));
      assert.equal(extracted.files.get('chosen~004.DAT'), web.sha256(original('script.txt')));
    });

    await t.test('the picker closed, or Cancel: "cancelled", the file chosen not written', async () => {
      await page.evaluate(() => (window.pickerAnswer = 'cancel'));
      await page.click(web.saveButton('SCENE~003.PNG'));
      await page.waitForFunction(() => /cancelled/.test(document.querySelector('#message-text').textContent));
      assert.match(await web.message(page), /^Saving SCENE~003\.PNG was cancelled\.$/);
      await page.evaluate(() => (window.pickerAnswer = undefined));

      const long = await web.pack(join(dir, 'LONGER.DAT'), '--layout', 'raw', join(M, 'title.bmp'),
        '--stored-size', '300000000', join(M, 'chime.wav'));
      truncateSync(long, 4 + 8 + 9270 + 300000000);
      await web.openFile(ctx, long);
      await cancelWhenProgressShows(page);
      await page.click('#save-all');
      await page.waitForFunction(() => /cancelled/.test(document.querySelector('#message-text').textContent),
        {timeout: 60000});
      assert.match(await web.message(page), /^Saving LONGER\.zip was cancelled\.$/);
      const files = await web.privateFiles(ctx);
      assert.equal(files['LONGER.zip'], 0, 'the file chosen holds nothing of the stopped save');
      assert.equal(files['SCENE~003.PNG'], undefined);
    });
    assert.deepEqual(ctx.errors, []);
  } finally {
    await ctx.close();
  }
});
