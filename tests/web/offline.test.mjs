// Offline: after a first visit the page reloads and lists an archive with its
// server gone (the service worker's copy); an engine that cannot be loaded
// is tried a few times and then named, never in a loop; opened from a file
// (file://), the page says that it has to be served.
import assert from 'node:assert/strict';
import {cpSync, rmSync} from 'node:fs';
import {join} from 'node:path';
import {after, before, test} from 'node:test';

import * as web from './support.mjs';

const M = web.media;
let dir;
let archive;
before(async () => {
  dir = web.tempDir();
  archive = await web.pack(join(dir, 'SCENE.DAT'), '--layout', 'kind-size', '--compressed', join(M, 'title.bmp'),
    join(M, 'chime.wav'));
});
after(() => rmSync(dir, {recursive: true, force: true}));

test('after a first visit, the page reloads and lists with the server gone', {timeout: 120000}, async () => {
  const ctx = await web.startPage();
  const {page} = ctx;
  try {
    await page.waitForFunction(async () => (await navigator.serviceWorker.ready).active?.state === 'activated');
    await page.waitForFunction(() => navigator.serviceWorker.controller !== null);
    ctx.server.close();
    ctx.server.closeAllConnections();
    await page.reload({waitUntil: 'load'});
    await page.waitForSelector('html[data-engine=ready]');
    await web.openFile(ctx, archive);
    assert.deepEqual((await web.rows(page)).map((r) => [r.name, r.state]),
      [['SCENE~000.BMP', 'whole'], ['SCENE~001.WAV', 'whole']]);
    const file = await web.download(ctx, () => page.click(web.saveButton('SCENE~000.BMP')));
    assert.equal(file.data.length, 9270);
    assert.deepEqual(ctx.errors, []);
  } finally {
    await ctx.close();
  }
});

test('an engine that cannot be loaded is tried a few times, then named', {timeout: 120000}, async () => {
  // The page without its engine, as a first visit with the network gone after the page came.
  const partial = join(dir, 'partial');
  cpSync(web.webDir, partial, {recursive: true});
  rmSync(join(partial, 'engine.wasm'));
  rmSync(join(partial, 'sw.js'));
  const ctx = await web.startPage({dir: partial, ready: false});
  const {page} = ctx;
  try {
    await page.waitForSelector('html[data-engine=unavailable]', {timeout: 60000});
    assert.match(await web.message(page), /engine could not be loaded/);
    const tries = () => ctx.server.requests.filter((url) => url.startsWith('/worker.js')).length;
    const counted = tries();
    assert.ok(counted >= 2 && counted <= 5, `${counted} workers started`);
    // Choosing a file now says why nothing is listed, and starts nothing.
    await web.afterListing(page, () => page.$('#file').then((input) => input.uploadFile(archive)));
    await new Promise((resolve) => setTimeout(resolve, 1500));
    assert.equal(tries(), counted, 'no worker started again on its own');
    assert.match(await web.message(page), /engine could not be loaded/);
  } finally {
    await ctx.close();
  }
});

test('opened from a file, the page says it has to be served', {timeout: 60000}, async () => {
  const ctx = await web.startPage();
  const {page} = ctx;
  try {
    await page.goto(`file://${join(web.webDir, 'index.html')}`, {waitUntil: 'load'});
    await page.waitForSelector('html[data-ready=file]');
    const text = await page.$eval('#served', (box) => (box.hidden ? '' : box.textContent));
    assert.match(text, /has to be served/);
    assert.match(text, /scripts\/web\.sh serve/);
    assert.equal(await page.$eval('#source', (s) => s.hidden), true);
  } finally {
    await ctx.close();
  }
});
