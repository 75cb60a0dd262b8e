// Pictures and sounds: thumbnails whose pixels are the bitmap's and the
// PNG's, the preview of each kind (the picture at full size, a wave that
// plays for the file's duration, the first bytes of other entries in hex
// and as text), the keyboard, and the README's screenshot, wide and narrow.
import assert from 'node:assert/strict';
import {readFileSync, rmSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, test} from 'node:test';

import * as web from './support.mjs';

const M = web.media;
let dir;
let archive;
before(async () => {
  dir = web.tempDir();
  // The demo archive (scripts/demo.sh packs the same).
  archive = await web.pack(join(dir, 'SCENE.DAT'), '--layout', 'kind-size', '--compressed', join(M, 'title.bmp'),
    '--empty', join(M, 'chime.wav'), '--compressed', join(M, 'icon.png'), '--compressed', join(M, 'script.txt'),
    '--empty', join(web.root, 'examples/notes.txt'));
});
after(() => rmSync(dir, {recursive: true, force: true}));

// The pixels the browser decodes from `bytes` and from the image element
// `selector`, each as a SHA-256 of its RGBA, with the size.
async function pixelsOf(page, selector, bytes) {
  return page.evaluate(async (selector, base64) => {
    const rgba = async (source) => {
      const bitmap = await createImageBitmap(source);
      const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
      const g = canvas.getContext('2d');
      g.drawImage(bitmap, 0, 0);
      const data = g.getImageData(0, 0, bitmap.width, bitmap.height).data;
      const digest = await crypto.subtle.digest('SHA-256', data);
      return {width: bitmap.width, height: bitmap.height, digest: btoa(String.fromCharCode(...new Uint8Array(digest)))};
    };
    const img = document.querySelector(selector);
    await img.decode();
    const original = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    return {shown: await rgba(img), original: await rgba(new Blob([original]))};
  }, selector, Buffer.from(bytes).toString('base64'));
}

// The duration a PCM wave's header announces: its data chunk over its byte rate.
function waveDuration(bytes) {
  const byteRate = bytes.readUInt32LE(28);
  for (let at = 12; at + 8 <= bytes.length;) {
    const id = bytes.toString('latin1', at, at + 4);
    const size = bytes.readUInt32LE(at + 4);
    if (id === 'data') return size / byteRate;
    at += 8 + size + (size & 1);
  }
  throw new Error('no data chunk');
}

test('thumbnails, previews and the screenshot', {timeout: 120000}, async (t) => {
  const ctx = await web.startPage();
  const {page} = ctx;
  try {
    await web.openFile(ctx, archive, {numbering: 'dummies', fullScan: false});
    const {row} = web;

    await t.test('the thumbnails are the bitmap and the PNG', async () => {
      for (const [name, file] of [['SCENE~000.BMP', 'title.bmp'], ['SCENE~003.PNG', 'icon.png']]) {
        await page.waitForSelector(`${row(name)} .c-thumb img`);
        const {shown, original} = await pixelsOf(page, `${row(name)} .c-thumb img`, readFileSync(join(M, file)));
        assert.deepEqual(shown, original, name);
        assert.ok(shown.width > 0 && shown.height > 0);
      }
      // Other entries get none.
      assert.equal(await page.$(`${row('SCENE~004.DAT')} .c-thumb img`), null);
    });

    await t.test('a picture previews at full size', async () => {
      await page.click(`${row('SCENE~000.BMP')} .c-name`);
      await page.waitForSelector('#preview-body img');
      const size = await page.$eval('#preview-body img', async (img) => {
        await img.decode();
        return [img.naturalWidth, img.naturalHeight];
      });
      assert.deepEqual(size, [64, 48]);
      assert.equal(await page.$eval('#preview-title', (h) => h.textContent), 'SCENE~000.BMP');
    });

    await t.test('the keyboard moves through the rows and Enter previews', async () => {
      await page.click(`${row('SCENE~000.BMP')} .c-name`);
      for (let i = 0; i < 3; i++) await page.keyboard.press('ArrowDown');
      assert.equal(await page.evaluate(() => document.getElementById(
        document.activeElement.getAttribute('aria-activedescendant')).dataset.name), 'SCENE~003.PNG');
      await page.keyboard.press('ArrowDown');
      await page.keyboard.press('Enter');
      await page.waitForFunction(() => document.querySelector('#preview-title').textContent === 'SCENE~004.DAT');
      // The first bytes, in hex and as text.
      const script = readFileSync(join(M, 'script.txt'));
      await page.waitForSelector('#preview-body pre.hex');
      const [hex, text] = await page.$$eval('#preview-body pre', (pres) => pres.map((p) => p.textContent));
      const firstRow = [...script.subarray(0, 16)].map((b) => b.toString(16).padStart(2, '0')).join(' ');
      assert.ok(hex.startsWith(`00000000  ${firstRow}`), hex.slice(0, 80));
      assert.ok(text.startsWith(script.toString('latin1').split('\n')[0]));
    });

    await t.test('every control has an accessible name', async () => {
      const unnamed = [];
      const visit = (node) => {
        const control = ['button', 'checkbox', 'combobox', 'textbox', 'spinbutton'].includes(node.role);
        if (control && !String(node.name || '').trim()) unnamed.push(node.role);
        for (const child of node.children || []) visit(child);
      };
      visit(await page.accessibility.snapshot({interestingOnly: false}));
      assert.deepEqual(unnamed, []);
    });

    await t.test('the screenshot for the README', async () => {
      await page.click(`${row('SCENE~000.BMP')} .c-name`);
      await page.waitForSelector('#preview-body img');
      await page.evaluate(() => document.querySelector('#preview-body img').decode());
      await page.screenshot({path: join(web.root, 'docs/web.png'), fullPage: true});
      await page.setViewport({width: 360, height: 780});
      await page.screenshot({path: join(process.env.MORQUENT_SCREENSHOTS || dir, 'web-360.png'), fullPage: true});
      // At 360 px the table fits: no row wider than the page.
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, `the page is ${overflow} px too wide at 360 px`);
      await page.setViewport({width: 1280, height: 900});
    });

    await t.test('a wave plays for its duration, and Stop stops it', async () => {
      const expected = waveDuration(readFileSync(join(M, 'chime.wav')));
      await page.click(`${row('SCENE~002.WAV')} .c-name`);
      await page.waitForSelector('#preview-body audio');
      const duration = await page.$eval('#preview-body audio', (audio) => new Promise((resolve, reject) => {
        if (audio.readyState >= 1) resolve(audio.duration);
        audio.addEventListener('loadedmetadata', () => resolve(audio.duration));
        audio.addEventListener('error', () => reject(new Error('the wave does not load')));
      }));
      assert.ok(Math.abs(duration - expected) < 0.01, `${duration} s, the file says ${expected} s`);
      const played = await page.$eval('#preview-body audio', (audio) => new Promise((resolve, reject) => {
        audio.addEventListener('ended', () => resolve(audio.currentTime), {once: true});
        audio.play().catch(reject);
      }));
      assert.ok(Math.abs(played - expected) < 0.05, `played to ${played} s`);
      await page.$eval('#preview-body audio', (audio) => audio.play());
      await page.click('#preview-body .player button');
      const state = await page.$eval('#preview-body audio', (audio) => [audio.paused, audio.currentTime]);
      assert.deepEqual(state, [true, 0]);
    });
    assert.deepEqual(ctx.errors, []);
  } finally {
    await ctx.close();
  }
});
