// The list as a person uses it: sorted and filtered views against qordat's
// listing, the keyboard (one tab stop, moves, ranges, Ctrl+A, letters),
// Save selected read back against qordat extract, and an archive cut short
// listed slot by slot as qordat test reads it.
import assert from 'node:assert/strict';
import {readFileSync, rmSync, truncateSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, test} from 'node:test';

import * as web from './support.mjs';

const M = web.media;
const m = (name) => join(M, name);
const SETTINGS = {numbering: 'dummies', fullScan: false};
let dir;
let archive;
let cut;
before(async () => {
  dir = web.tempDir();
  archive = await web.pack(join(dir, 'SET.DAT'), '--layout', 'kind-size', '--compressed', m('title.bmp'), m('chime.wav'),
    m('icon.png'), '--compressed', m('script.txt'), '--empty', '--compressed', m('chime.wav'), m('icon.png'),
    m('title.bmp'), join(web.root, 'examples/notes.txt'), '--compressed', m('icon.png'), m('chime.wav'), m('script.txt'));
  // Cut inside its seventh slot, as a download that stopped.
  cut = join(dir, 'CUT.DAT');
  (await import('node:fs')).copyFileSync(archive, cut);
  truncateSync(cut, 25000);
});
after(() => rmSync(dir, {recursive: true, force: true}));

// qordat list --tsv with the stored sizes: [{name, size, stored, index}].
async function qordatRows(file) {
  const r = await web.qordat('list', file, '--tsv', ...web.settingArgs(SETTINGS));
  const [head, ...lines] = r.stdout.trim().split('\n');
  const at = Object.fromEntries(head.split('\t').map((name, i) => [name, i]));
  return lines.map((line, index) => {
    const cells = line.split('\t');
    return {name: cells[at.name], size: Number(cells[at.size]), stored: Number(cells[at.stored]), index};
  });
}

const collator = new Intl.Collator('en', {numeric: true, sensitivity: 'base'});
const ORDERS = {
  name: (a, b) => collator.compare(a.name, b.name),
  size: (a, b) => a.size - b.size,
  stored: (a, b) => a.stored - b.stored,
};
const shownNames = async (page) => (await web.rows(page)).map((r) => r.name);
const activeName = (page) => page.evaluate(() =>
  document.getElementById(document.querySelector('#entries').getAttribute('aria-activedescendant'))?.dataset.name);
const selectedNames = async (page) => (await web.rows(page)).filter((r) => r.selected).map((r) => r.name);

test('the list', {timeout: 240000}, async (t) => {
  const ctx = await web.startPage();
  const {page} = ctx;
  try {
    await web.openFile(ctx, archive, SETTINGS);
    const expected = await qordatRows(archive);
    assert.equal(expected.length, 12);

    await t.test('sorted by each column, both ways, as qordat lists it sorted', async () => {
      for (const [key, compare] of Object.entries(ORDERS)) {
        const ascending = [...expected].sort((a, b) => compare(a, b) || a.index - b.index).map((e) => e.name);
        const descending = [...expected].sort((a, b) => -compare(a, b) || a.index - b.index).map((e) => e.name);
        await page.click(`button[data-sort=${key}]`);
        assert.deepEqual(await shownNames(page), ascending, `${key}, ascending`);
        assert.equal(await page.$eval(`button[data-sort=${key}]`, (b) => b.parentElement.getAttribute('aria-sort')),
          'ascending');
        await page.click(`button[data-sort=${key}]`);
        assert.deepEqual(await shownNames(page), descending, `${key}, descending`);
        assert.equal(await page.$eval(`button[data-sort=${key}]`, (b) => b.parentElement.getAttribute('aria-sort')),
          'descending');
      }
      await page.click('button[data-sort=name]');  // back to the archive's order (the names sort as it)
    });

    await t.test('filtered by wildcards or a part of the name, any case', async () => {
      const cases = [
        ['*.wav', expected.filter((e) => e.name.endsWith('.WAV'))],
        ['set~00[12]*', expected.filter((e) => /^SET~00[12]/.test(e.name))],
        ['set~0[!0]?.*', expected.filter((e) => /^SET~0[^0].\./.test(e.name))],
        ['PnG', expected.filter((e) => e.name.includes('.PNG'))],
        ['no such name', []],
      ];
      for (const [filter, rows] of cases) {
        await page.$eval('#filter', (input, value) => {
          input.value = value;
          input.dispatchEvent(new Event('input', {bubbles: true}));
        }, filter);
        assert.deepEqual(await shownNames(page), rows.map((e) => e.name), filter);
        const counts = await web.counts(page);
        assert.deepEqual([counts.total, counts.shown], [12, rows.length], filter);
        assert.match(counts.status, new RegExp(`^12 entries, ${rows.length} shown, `));
      }
      await page.$eval('#filter', (input) => {
        input.value = '';
        input.dispatchEvent(new Event('input', {bubbles: true}));
      });
    });

    await t.test('the keyboard: one tab stop, moves, ranges, all, letters', async () => {
      await page.focus('#filter');
      const stops = [];
      for (let i = 0; i < 8; i++) {
        await page.keyboard.press('Tab');
        stops.push(await page.evaluate(() => document.activeElement.id || document.activeElement.dataset.sort ||
          document.activeElement.tagName));
      }
      // The list is one stop between the controls before it and its column headers' sort buttons.
      assert.equal(stops.filter((s) => s === 'entries').length, 1, stops.join(' '));
      await page.focus('#entries');
      await page.keyboard.press('Home');
      assert.equal(await activeName(page), 'SET~000.BMP');
      await page.keyboard.press('End');
      assert.equal(await activeName(page), 'SET~011.DAT');
      await page.keyboard.press('PageUp');
      assert.equal(await activeName(page), 'SET~000.BMP', 'a page up from the last of 12 rows in view');
      await page.keyboard.press('ArrowDown');
      await page.keyboard.press('ArrowDown');
      assert.deepEqual(await selectedNames(page), ['SET~002.PNG']);
      await page.keyboard.down('Shift');
      await page.keyboard.press('ArrowDown');
      await page.keyboard.press('ArrowDown');
      await page.keyboard.up('Shift');
      assert.deepEqual(await selectedNames(page), ['SET~002.PNG', 'SET~003.DAT', 'SET~004.DMY']);
      assert.match((await web.counts(page)).status, /, 3 selected$/);
      await page.keyboard.press('ArrowUp');
      assert.deepEqual(await selectedNames(page), ['SET~003.DAT']);
      await page.keyboard.down('Control');
      await page.keyboard.press('a');
      await page.keyboard.up('Control');
      assert.equal((await selectedNames(page)).length, 12);
      // Typed: a number jumps to the name that carries it, letters to the next name beginning with them.
      await page.keyboard.type('009');
      assert.equal(await activeName(page), 'SET~009.PNG');
      await new Promise((resolve) => setTimeout(resolve, 900));  // a new word
      await page.keyboard.type('4');
      assert.equal(await activeName(page), 'SET~004.DMY');
      await new Promise((resolve) => setTimeout(resolve, 900));
      await page.keyboard.type('009');
      // Enter shows the active entry beside the list.
      await page.keyboard.press('Enter');
      await page.waitForFunction(() => document.querySelector('#preview-title').textContent === 'SET~009.PNG' &&
        document.querySelector('#preview').dataset.state === 'shown');
      assert.match(await page.$eval('#preview-note', (p) => p.textContent), /^\d+ × \d+, \d+-bit; 463 bytes\.$/);
      // Space plays and pauses a wave shown.
      await page.keyboard.press('ArrowDown');
      await page.keyboard.press('Enter');
      await page.waitForSelector('#preview-body audio');
      assert.match(await page.$eval('#preview-note', (p) => p.textContent), /^[\d.]+ s, [\d,]+ Hz, (mono|stereo), \d+-bit/);
      await page.keyboard.press(' ');
      await page.waitForFunction(() => !document.querySelector('#preview-body audio').paused);
      await page.keyboard.press(' ');
      await page.waitForFunction(() => document.querySelector('#preview-body audio').paused);
    });

    await t.test('Save selected: several in one zip, one as its file, as qordat extracts them', async () => {
      const reference = await web.qordatExtract(archive, SETTINGS, 0, false);
      const names = ['SET~000.BMP', 'SET~005.WAV', 'SET~008.DAT', 'SET~009.PNG'];
      await page.click(`${web.row(names[0])} .c-name`);
      await page.keyboard.down('Control');
      for (const name of names.slice(1)) await page.click(`${web.row(name)} .c-name`);
      await page.keyboard.up('Control');
      assert.deepEqual(await selectedNames(page), names);
      const zip = await web.download(ctx, () => page.click('#save-selected')).catch(async (error) => {
        throw new Error(`${error.message}; the page says: ${await web.message(page)}`);
      });
      assert.equal(zip.name, 'SET-selected.zip');
      const files = web.fflate.unzipSync(new Uint8Array(zip.data));
      assert.deepEqual(Object.keys(files).sort(), names);
      for (const name of names) assert.equal(web.sha256(files[name]), reference.files.get(name), name);
      // One selected: the file itself.
      await page.click(`${web.row('SET~006.PNG')} .c-name`);
      const one = await web.download(ctx, () => page.click('#save-selected'));
      assert.equal(one.name, 'SET~006.PNG');
      assert.equal(web.sha256(one.data), reference.files.get('SET~006.PNG'));
    });

    await t.test('an archive cut short: its slots one by one, as qordat test and extract read them', async () => {
      await web.openFile(ctx, cut, SETTINGS);
      const test = await web.qordat('test', cut, ...web.settingArgs(SETTINGS));
      const salvaged = await web.qordatExtract(cut, SETTINGS, 0, true);
      const shown = await web.rows(page);
      assert.equal(shown.length, 12);
      assert.match(await web.message(page), /cut short or damaged.*: \d+ of 12 have no record/);
      for (const row of shown) {
        if (row.name.startsWith('slot ')) {
          // qordat test: "slot N: damaged: no record can be built: <what it lacks>"
          const said = test.stderr.match(new RegExp(`^qordat: ${row.name}: damaged: no record can be built: (.+)$`, 'm'));
          assert.ok(said, `${row.name} is in qordat test's report`);
          assert.equal(row.state, 'damaged');
          assert.equal(row.text, `no record: ${said[1]}`);
          assert.equal(await page.$eval(web.saveButton(row.name), (b) => b.disabled), true);
          continue;
        }
        const missing = salvaged.damaged.get(row.name);
        assert.equal(row.state, missing === undefined ? 'whole' : 'damaged', row.name);
        if (row.state !== 'whole') continue;
        const file = await web.download(ctx, () => page.click(web.saveButton(row.name)));
        assert.equal(web.sha256(file.data), salvaged.files.get(row.name), row.name);
      }
      assert.ok(shown.filter((r) => r.state === 'whole').length >= 5);
      assert.ok(shown.filter((r) => r.name.startsWith('slot ')).length >= 3);
    });
    assert.deepEqual(ctx.errors, []);
  } finally {
    await ctx.close();
  }
});
