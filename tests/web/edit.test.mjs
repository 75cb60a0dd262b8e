// Editing: an archive changed on the page (a compressed slot and a plain one
// replaced, a slot emptied, one added, a change undone) and saved, read back
// by qordat: only the edited slots differ, byte for byte, the bytes before
// and after the archive kept; a replaced compressed slot stays compressed;
// replacements alone give the very bytes qordat replace writes.
// What the format cannot hold is refused in words before anything is saved;
// the module's heap stays as it was whatever the edit.
import assert from 'node:assert/strict';
import {appendFileSync, copyFileSync, mkdirSync, readFileSync, rmSync, truncateSync, writeFileSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, test} from 'node:test';

import * as web from './support.mjs';

const M = web.media;
const OFFSET = 100;
const SUFFIX = Buffer.from('bytes after the archive, kept as they are\n');
let dir;
let archive;
let picture;
before(async () => {
  dir = web.tempDir();
  archive = await web.pack(join(dir, 'SCENE.DAT'), '--layout', 'kind-size', '--offset', String(OFFSET),
    '--compressed', join(M, 'title.bmp'), '--empty', join(M, 'chime.wav'), join(M, 'icon.png'),
    '--compressed', join(M, 'script.txt'));
  appendFileSync(archive, SUFFIX);
  picture = bitmap(join(dir, 'stripes.bmp'), 300 * 1024);
});

// A bitmap of `size` bytes, stripes that compress well: its head says its
// size, as readers of a compressed first entry want it to.
function bitmap(path, size, announced = size) {
  const data = Buffer.alloc(size);
  data.write('BM', 0, 'latin1');
  data.writeUInt32LE(announced, 2);
  data.writeUInt32LE(54, 10);
  for (let i = 54; i < data.length; i++) data[i] = ((i >> 7) + (i >> 16)) & 0xff;
  writeFileSync(path, data);
  return path;
}
after(() => rmSync(dir, {recursive: true, force: true}));

// The count and the stored bytes of each slot of the archive at `offset` of `file`.
function slotsOf(file, offset) {
  const count = file.readInt32LE(offset);
  const slots = [];
  let at = offset + 4 + 4 * count;
  for (let i = 0; i < count; i++) {
    const size = file.readInt32LE(offset + 4 + 4 * i);
    slots.push(file.subarray(at, at + size));
    at += size;
  }
  return {slots, end: at};
}

// qordat dump's slot lines: slot -> {stored, kind} (kind 'empty' for an empty slot).
async function dump(file) {
  const r = await web.qordat('dump', file, '--offset', String(OFFSET));
  assert.equal(r.code, 0, r.stderr);
  const slots = new Map();
  for (const m of r.stdout.matchAll(/^\s+(\d+)\s+(\d+)\s+\d+\s+(empty|-?\d+)/gm)) {
    slots.set(Number(m[1]), {stored: Number(m[2]), kind: m[3]});
  }
  return slots;
}

const chooseFile = async (page, click, file) => {
  const [chooser] = await Promise.all([page.waitForFileChooser(), page.click(click)]);
  await chooser.accept([file]);
};

const saves = (page) => page.evaluate(() => Number(document.documentElement.dataset.saves || 0));

// Clicks Save the archive and waits for the save to come to an end; the download, when one came.
async function saveArchive(ctx) {
  const before = await saves(ctx.page);
  const file = await web.download(ctx, () => ctx.page.click('#save-archive')).catch(async (error) => {
    throw new Error(`${error.message}; the page says: ${await web.message(ctx.page)}`);
  });
  await ctx.page.waitForFunction((n) => Number(document.documentElement.dataset.saves || 0) > n, {}, before);
  return file;
}

test('editing and saving the archive', {timeout: 300000}, async (t) => {
  const ctx = await web.startPage();
  const {page} = ctx;
  const {row} = web;
  const button = (name, action) => `${row(name)} button[data-action=${action}]`;
  try {
    await web.openFile(ctx, archive, {numbering: 'dummies', fullScan: false, offset: OFFSET});
    const heapBefore = (await web.workerHeap(page)).heap;

    await t.test('an edited archive saved: only the edited slots differ', async () => {
      assert.equal(await page.$eval('#save-archive', (b) => b.disabled), true, 'nothing to save before an edit');
      await chooseFile(page, button('SCENE~000.BMP', 'replace'), picture);
      await page.click(button('SCENE~002.WAV', 'empty'));
      await chooseFile(page, button('SCENE~003.PNG', 'replace'), join(M, 'script.txt'));
      await chooseFile(page, '#add-entry', join(M, 'chime.wav'));
      // A change taken back is not saved.
      await page.click(button('SCENE~004.DAT', 'empty'));
      await page.click('#undo');
      assert.deepEqual((await web.rows(page)).map((r) => [r.name, r.size, r.state]), [
        ['SCENE~000.BMP', 300 * 1024, 'replaced'], ['SCENE~001.DMY', 0, 'whole'], ['SCENE~002.WAV', 0, 'emptied'],
        ['SCENE~003.PNG', 3160, 'replaced'], ['SCENE~004.DAT', 3160, 'whole'], ['chime.wav', 4044, 'added']]);

      const saved = await saveArchive(ctx);
      assert.equal(saved.name, 'SCENE.DAT');
      assert.match(await web.message(page), /^SCENE\.DAT saved with 4 changes/);
      const out = join(dir, 'saved.dat');
      writeFileSync(out, saved.data);

      // What readers get: qordat's listing and extraction of the saved archive.
      const settings = {numbering: 'dummies', fullScan: false};
      assert.deepEqual(await web.qordatList(out, settings, OFFSET), [
        {name: 'saved~000.BMP', size: 300 * 1024}, {name: 'saved~001.DMY', size: 0},
        {name: 'saved~002.DMY', size: 0}, {name: 'saved~003.DAT', size: 3160}, {name: 'saved~004.DAT', size: 3160},
        {name: 'saved~005.WAV', size: 4044}]);
      const extracted = await web.qordatExtract(out, settings, OFFSET, false);
      assert.deepEqual(extracted.damaged, new Map());
      const sha = (path) => web.sha256(readFileSync(path));
      assert.equal(extracted.files.get('saved~000.BMP'), sha(picture));
      assert.equal(extracted.files.get('saved~003.DAT'), sha(join(M, 'script.txt')));
      assert.equal(extracted.files.get('saved~004.DAT'), sha(join(M, 'script.txt')));
      assert.equal(extracted.files.get('saved~005.WAV'), sha(join(M, 'chime.wav')));

      // The heads: the compressed slot stays compressed, the plain one plain,
      // the added one plain, the emptied one empty.
      const kinds = await dump(out);
      const was = await dump(archive);
      assert.equal(kinds.get(0).kind, '1', 'the replaced compressed slot');
      assert.ok(kinds.get(0).stored < 300 * 1024, 'its stream is smaller than its content');
      assert.equal(kinds.get(2).kind, 'empty');
      assert.equal(kinds.get(3).kind, '0', 'the replaced plain slot');
      assert.equal(kinds.get(3).stored, 6 + 3160);
      assert.equal(kinds.get(5).kind, '0', 'the added slot');
      assert.deepEqual(kinds.get(4), was.get(4));

      // Byte for byte: the bytes before and after the archive, every slot not edited.
      const original = readFileSync(archive);
      const before = slotsOf(original, OFFSET);
      const now = slotsOf(saved.data, OFFSET);
      assert.ok(saved.data.subarray(0, OFFSET).equals(original.subarray(0, OFFSET)), 'the bytes before');
      assert.ok(saved.data.subarray(now.end).equals(SUFFIX), 'the bytes after');
      assert.equal(now.slots.length, 6);
      for (const i of [1, 4]) assert.ok(now.slots[i].equals(before.slots[i]), `slot ${i}`);
      assert.equal(now.slots[2].length, 0);
    });

    await t.test('replaced slots only: the very bytes qordat replace writes', async () => {
      await page.click('#undo');  // the added slot
      await page.click('#undo');  // the replaced PNG
      await page.click('#undo');  // the emptied wave
      await chooseFile(page, button('SCENE~003.PNG', 'replace'), join(M, 'script.txt'));
      const saved = await saveArchive(ctx);
      const copy = join(dir, 'replaced', 'SCENE.DAT');
      mkdirSync(join(dir, 'replaced'));
      copyFileSync(archive, copy);
      const r = await web.qordat('replace', copy, '--offset', String(OFFSET), '-q', 'SCENE~000.BMP', picture,
        'SCENE~003.PNG', join(M, 'script.txt'));
      assert.equal(r.code, 0, r.stderr);
      assert.ok(saved.data.equals(readFileSync(copy)), 'the same bytes as qordat replace');
    });

    await t.test('undo back to the archive as it was: nothing to save', async () => {
      for (let i = 0; i < 2; i++) await page.click('#undo');
      assert.equal(await page.$eval('#undo', (b) => b.disabled), true);
      assert.equal(await page.$eval('#save-archive', (b) => b.disabled), true);
      assert.deepEqual((await web.rows(page)).map((r) => r.state), ['whole', 'whole', 'whole', 'whole', 'whole']);
    });

    await t.test('the heap stays as it was after a larger edit', async () => {
      // 8 MiB of content to compress into the first slot.
      const large = bitmap(join(dir, 'large.bmp'), 8 << 20);
      await chooseFile(page, button('SCENE~000.BMP', 'replace'), large);
      const saved = await saveArchive(ctx);
      const out = join(dir, 'large.dat');
      writeFileSync(out, saved.data);
      const extracted = await web.qordatExtract(out, {numbering: 'dummies', fullScan: false}, OFFSET, false);
      assert.equal(extracted.files.get('large~000.BMP'), web.sha256(readFileSync(large)));
      assert.equal((await dump(out)).get(0).kind, '1');
      const {heap} = await web.workerHeap(page);
      assert.equal(heap, heapBefore, `heap ${heap} after saving, ${heapBefore} before`);
      await page.click('#undo');
    });

    await t.test('an archive readers would read otherwise is not saved, and says why', async () => {
      // A compressed first entry whose bitmap head announces another size:
      // readers would no longer tell the archive's heads (qordat replace refuses it too).
      await chooseFile(page, button('SCENE~000.BMP', 'replace'), bitmap(join(dir, 'liar.bmp'), 4096, 1234));
      const before = ctx.finished.size;
      const saved = await saves(page);
      await page.click('#save-archive');
      await page.waitForFunction((n) => Number(document.documentElement.dataset.saves || 0) > n, {}, saved);
      assert.equal(await web.message(page), 'SCENE.DAT was not saved: readers would refuse it (not an archive of ' +
        'this format, or no such entry).');
      assert.equal(ctx.finished.size, before, 'nothing downloaded');
      await page.click('#undo');
    });

    await t.test('a file larger than the format holds is refused in words, nothing changed', async () => {
      const huge = join(dir, 'huge.bmp');
      writeFileSync(huge, '');
      truncateSync(huge, 2 ** 31);  // a hole: never read
      await chooseFile(page, button('SCENE~003.PNG', 'replace'), huge);
      assert.equal(await web.message(page), 'huge.bmp (2,147,483,648 bytes) cannot replace SCENE~003.PNG: an entry ' +
        'stored plain in this archive holds at most 2,147,483,641 bytes (the format\'s sizes are under 2 GiB). ' +
        'Nothing was changed.');
      await chooseFile(page, button('SCENE~000.BMP', 'replace'), huge);
      assert.match(await web.message(page), /^huge\.bmp \(2,147,483,648 bytes\) cannot replace SCENE~000\.BMP: an entry stored compressed in this archive holds at most 2,147,483,647 bytes/);
      await chooseFile(page, '#add-entry', huge);
      assert.match(await web.message(page), /^huge\.bmp \(2,147,483,648 bytes\) cannot be added: a new entry holds at most 2,147,483,641 bytes/);
      assert.deepEqual((await web.rows(page)).map((r) => r.state), ['whole', 'whole', 'whole', 'whole', 'whole']);
      assert.equal(await page.$eval('#save-archive', (b) => b.disabled), true);
    });

    await t.test('a slot past the 8,191 the format holds is refused in words', async () => {
      const many = await web.pack(join(dir, 'MANY.DAT'), '--layout', 'kind-size', '--repeat', '8190',
        join(M, 'icon.png'));
      await web.openFile(ctx, many, {offset: 0});
      await chooseFile(page, '#add-entry', join(M, 'chime.wav'));  // the 8,191st: taken
      assert.equal((await web.counts(page)).total, 8191);
      await chooseFile(page, '#add-entry', join(M, 'icon.png'));
      assert.equal(await web.message(page), 'icon.png cannot be added: the archive would hold 8,192 slots, and the ' +
        'format holds 8,191 at most. Nothing was changed.');
      assert.equal((await web.counts(page)).total, 8191);
      // The one added is saved.
      const saved = await saveArchive(ctx);
      assert.equal(saved.data.readInt32LE(0), 8191);
    });
    assert.deepEqual(ctx.errors, []);
  } finally {
    await ctx.close();
  }
});

// On a phone's width the rows keep Save alone; the preview of the entry
// tapped holds Replace… and Empty, and shows what the entry holds after them.
test('narrow: Replace… and Empty in the preview', {timeout: 120000}, async () => {
  const ctx = await web.startPage({width: 360, height: 740});
  const {page} = ctx;
  const {row} = web;
  try {
    await web.openFile(ctx, archive, {numbering: 'dummies', fullScan: false, offset: OFFSET});
    const shown = (selector) => page.$eval(selector, (e) => e.offsetParent !== null && !e.closest('[hidden]'));
    assert.equal(await shown(`${row('SCENE~003.PNG')} button[data-action=replace]`), false, 'not in the row');
    assert.equal(await shown('#preview-replace'), false, 'nothing previewed yet');

    await page.click(`${row('SCENE~003.PNG')} .c-name`);
    await page.waitForSelector('#preview-body img');
    for (const id of ['#preview-save', '#preview-replace', '#preview-empty']) assert.equal(await shown(id), true, id);
    await chooseFile(page, '#preview-replace', join(M, 'script.txt'));
    assert.equal((await web.rows(page))[3].state, 'replaced');
    await page.waitForSelector('#preview-body .dump');  // the text it holds now, no longer the picture
    assert.match(await page.$eval('#preview-note', (p) => p.textContent), /^3,160 bytes/);

    await page.click(`${row('SCENE~002.WAV')} .c-name`);
    await page.waitForFunction(() => document.querySelector('#preview-title').textContent === 'SCENE~002.WAV');
    await page.click('#preview-empty');
    assert.equal((await web.rows(page))[2].state, 'emptied');
    assert.equal(await page.$eval('#preview-empty', (b) => b.disabled), true, 'emptied already');
    await page.click('#undo');
    await page.click('#undo');
    assert.deepEqual((await web.rows(page)).map((r) => r.state), ['whole', 'whole', 'whole', 'whole', 'whole']);
    assert.equal(await page.$eval('#preview-empty', (b) => b.disabled), false);
    assert.deepEqual(ctx.errors, []);
  } finally {
    await ctx.close();
  }
});
