// The same code, the same answers: for every archive of the set (every
// layout, compressed, empty slots, an offset, damaged ones) under all six
// settings, the page's rows equal qordat's listing and damage report, and
// every entry the page saves (one by one, or in the zip) equals what
// qordat extract --salvage writes, byte for byte. Where qordat's listing
// fails for a record, the page lists slot by slot and saves what qordat
// extract recovers.
import assert from 'node:assert/strict';
import {join} from 'node:path';
import {after, before, test} from 'node:test';

import * as web from './support.mjs';

const m = (name) => join(web.media, name);
const SETTINGS = [];
for (const fullScan of [false, true]) for (const numbering of ['dummies', 'kept', 'packed']) SETTINGS.push({numbering, fullScan});

// name, qordat pack arguments, offset of the archive in the file.
const ARCHIVES = [
  ['raw', ['--layout', 'raw', m('title.bmp'), m('chime.wav'), m('icon.png'), m('script.txt')], 0],
  ['kind-size, compressed and plain, an empty slot',
    ['--layout', 'kind-size', '--compressed', m('title.bmp'), '--empty', m('chime.wav'), m('icon.png'),
      '--compressed', m('script.txt')], 0],
  ['kind-only, empty slots', ['--layout', 'kind-only', '--compressed', m('title.bmp'), '--empty', '--empty',
    m('chime.wav'), '--compressed', m('icon.png')], 0],
  ['kind-only, compressed text first (full scan only)',
    ['--layout', 'kind-only', '--compressed', m('script.txt'), m('title.bmp'), '--compressed', m('chime.wav')], 0],
  ['at an offset', ['--layout', 'kind-size', '--compress', '--offset', '100', m('title.bmp'), m('chime.wav'),
    m('script.txt')], 100],
  ['only empty slots', ['--empty', '--empty', '--empty'], 0],
  ['cut in the table', ['--layout', 'raw', m('title.bmp'), m('chime.wav'), m('icon.png'), '--truncate', '14'], 0],
  ['cut inside an entry', ['--layout', 'kind-size', '--compress', m('title.bmp'), m('chime.wav'), m('script.txt'),
    '--truncate', '9000'], 0],
  ['cut inside a compressed stream', ['--layout', 'kind-size', '--compress', m('chime.wav'), m('title.bmp'),
    '--truncate', '3000'], 0],
  ['sizes past the end', ['--layout', 'raw', m('title.bmp'), '--stored-size', '20000', m('chime.wav')], 0],
  ['kind-size, a stored size past the end', ['--layout', 'kind-size', m('icon.png'), '--compressed',
    '--stored-size', '100000', m('title.bmp')], 0],
];

let ctx;
let dir;
const seen = {damaged: 0, refused: 0, whole: 0, bySlot: 0};
before(async () => {
  dir = web.tempDir();
  ctx = await web.startPage();
});
after(async () => {
  await ctx?.close();
  if (dir) (await import('node:fs')).rmSync(dir, {recursive: true, force: true});
});

// Every entry the page saves: the zip of the whole ones, and each damaged
// one through its own Save and the warning. name -> SHA-256.
async function pageSaves(page, shown) {
  const saved = new Map();
  const whole = shown.filter((row) => row.state === 'whole');
  if (whole.length) {
    const zip = await web.download(ctx, () => page.click('#save-all'));
    assert.match(zip.name, /\.zip$/);
    const files = web.fflate.unzipSync(new Uint8Array(zip.data));
    assert.equal(Object.keys(files).length, whole.length, 'the zip holds every whole entry');
    for (const [name, data] of Object.entries(files)) saved.set(name, web.sha256(data));
  }
  for (const row of shown) {
    if (row.state !== 'damaged' || row.name.startsWith('slot ')) continue;  // a slot without a record has no Save
    const file = await web.download(ctx, async () => {
      await page.click(web.saveButton(row.name));
      await page.waitForSelector('#damaged-dialog[open]');
      await page.click('#damaged-save');
    });
    saved.set(file.name, web.sha256(file.data));
  }
  return saved;
}

for (const [name, args, offset] of ARCHIVES) {
  test(`the page answers as qordat: ${name}`, {timeout: 120000}, async (t) => {
    const archive = await web.pack(join(dir, `${name.replace(/[^a-z]+/g, '_')}.DAT`), ...args);
    await web.openFile(ctx, archive, {offset, ...SETTINGS[0]});
    for (const settings of SETTINGS) {
      await t.test(`${settings.numbering}${settings.fullScan ? ', full scan' : ''}`, async () => {
        const {page} = ctx;
        if (settings !== SETTINGS[0]) {
          await web.afterListing(page, () => page.evaluate(({numbering, fullScan}) => {
            document.querySelector('#full-scan').checked = fullScan;
            const select = document.querySelector('#numbering');
            select.value = numbering;
            select.dispatchEvent(new Event('change'));
          }, settings));
        }
        const expected = await web.qordatList(archive, settings, offset);
        const shown = await web.rows(page);
        if (expected === null) {
          const reference = await web.qordatExtract(archive, settings, offset, true);
          if (!shown.length) {
            // The page says why; where another setting lists it, it offers that
            // setting rather than the slots one by one.
            const said = await web.message(page);
            assert.ok(said, 'the page says why it lists nothing');
            if (!/can be listed only with/.test(said)) assert.equal(reference.files.size, 0, 'qordat extract reads nothing either');
            seen.refused++;
            return;
          }
          // A listing that fails for a record: the slots one by one, as qordat extract reads them.
          assert.match(await web.message(page), /cut short or damaged/);
          for (const row of shown.filter((r) => r.name.startsWith('slot '))) {
            assert.equal(row.state, 'damaged');
            // The same words as qordat extract's for the slot.
            const said = reference.stderr.match(
              new RegExp(`^qordat: ${row.name}: not written: a record of the entry cannot be built(?:: (.+))?$`, 'm'));
            assert.ok(said, `${row.name} is in qordat extract's report`);
            assert.equal(row.text, said[1] ? `no record: ${said[1]}` : 'no record');
          }
          assert.deepEqual(await pageSaves(page, shown), reference.files);
          seen.bySlot++;
          return;
        }
        assert.equal(await web.message(page), null);
        assert.deepEqual(shown.map(({name, size}) => ({name, size})), expected);

        const reference = await web.qordatExtract(archive, settings, offset, true);
        for (const row of shown) {
          const missing = reference.damaged.get(row.name);
          assert.equal(row.state, missing === undefined ? 'whole' : 'damaged', `${row.name}: ${row.text}`);
          seen[row.state]++;
          if (missing !== undefined) assert.equal(row.text, `damaged: ${missing}`, 'the page and qordat say the same');
        }
        assert.deepEqual(await pageSaves(page, shown), reference.files);
      });
    }
  });
}

test('the set holds whole and damaged entries, and archives refused in some settings', {timeout: 1000}, () => {
  assert.ok(seen.whole > 50 && seen.damaged > 10 && seen.refused > 2 && seen.bySlot > 2, JSON.stringify(seen));
});
