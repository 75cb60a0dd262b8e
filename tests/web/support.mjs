// What the browser tests share: the page served from build/web by a small
// server of their own, headless Chromium driven by puppeteer-core, downloads
// caught in a folder, qordat (the native tool) run for the expected answers.
import {execFile} from 'node:child_process';
import {createHash} from 'node:crypto';
import {createReadStream, existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, statSync} from 'node:fs';
import {createServer} from 'node:http';
import {createRequire} from 'node:module';
import {tmpdir} from 'node:os';
import {extname, join, normalize, resolve} from 'node:path';
import {promisify} from 'node:util';

const here = new URL('.', import.meta.url).pathname;
export const root = resolve(here, '../..');
const require = createRequire(join(root, 'web/package.json'));
const puppeteer = require('puppeteer-core');
export const fflate = require('fflate');

export const webDir = process.env.MORQUENT_WEB_DIR || join(root, 'build/web');
export const qordatPath = process.env.MORQUENT_QORDAT || join(root, 'build/native/tools/qordat');
export const media = join(root, 'examples/media');
const chromiumPath = process.env.MORQUENT_CHROMIUM || '/usr/bin/chromium';

export const sha256 = (data) => createHash('sha256').update(data).digest('hex');

export function tempDir(prefix = 'morquent-web-') {
  return mkdtempSync(join(process.env.TMPDIR || tmpdir(), prefix));
}

const run = promisify(execFile);

// qordat ARGS...: {code, stdout, stderr}, whatever the exit status.
export async function qordat(...args) {
  try {
    const {stdout, stderr} = await run(qordatPath, args, {maxBuffer: 64 << 20});
    return {code: 0, stdout, stderr};
  } catch (error) {
    if (typeof error.code !== 'number') throw error;
    return {code: error.code, stdout: error.stdout, stderr: error.stderr};
  }
}

export async function pack(out, ...args) {
  // Test archives of every kind, those that readers list only with the full
  // scan included: kept whatever pack's read-back finds.
  const r = await qordat('pack', out, '--force', ...args);
  if (r.code !== 0) throw new Error(`qordat pack ${args.join(' ')}: ${r.stderr}`);
  return out;
}

// The settings as qordat takes them on its command line.
export const settingArgs = ({numbering, fullScan}) => ['--numbering', numbering, ...(fullScan ? ['--full-scan'] : [])];

// qordat list --tsv, read by its header's column names: [{name, size}], or
// null when qordat refuses the archive or cannot list it.
export async function qordatList(archive, settings, offset = 0) {
  const r = await qordat('list', archive, '--tsv', '--offset', String(offset), ...settingArgs(settings));
  if (r.code !== 0 && !r.stdout.trim()) return null;
  const lines = r.stdout.split('\n').filter((line) => line.length);
  const header = lines.shift().split('\t');
  const column = (name) => {
    const at = header.indexOf(name);
    if (at < 0) throw new Error(`qordat list --tsv has no column "${name}": ${header.join(', ')}`);
    return at;
  };
  const nameAt = column('name');
  const sizeAt = column('size');
  return lines.map((line) => {
    const cells = line.split('\t');
    return {name: cells[nameAt], size: Number(cells[sizeAt])};
  });
}

// qordat extract into a fresh folder: the damaged entries it reports
// (name -> what it lacks, in qordat's words) and, with --salvage, every file written (name -> SHA-256).
export async function qordatExtract(archive, settings, offset, salvage) {
  const dir = tempDir('morquent-qordat-');
  try {
    const r = await qordat('extract', archive, '-q', '-o', dir, '--offset', String(offset), ...settingArgs(settings),
      ...(salvage ? ['--salvage'] : []));
    const damaged = new Map();
    for (const match of r.stderr.matchAll(/^qordat: (.+?): damaged: (.+?)(?:; (?:not )?written.*)?$/gm)) {
      damaged.set(match[1], match[2]);
    }
    const files = new Map();
    for (const name of readdirSync(dir)) files.set(name, sha256(readFileSync(join(dir, name))));
    return {damaged, files, stderr: r.stderr};
  } finally {
    rmSync(dir, {recursive: true, force: true});
  }
}

// ---- the page ----

const TYPES = {'.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css',
  '.wasm': 'application/wasm', '.png': 'image/png', '.svg': 'image/svg+xml',
  '.webmanifest': 'application/manifest+json', '.LICENSE': 'text/plain'};

export function serve(dir, port = 0) {
  const server = createServer((request, response) => {
    (server.requests ||= []).push(request.url);
    const path = normalize(decodeURIComponent(new URL(request.url, 'http://x').pathname));
    const file = join(dir, path === '/' ? 'index.html' : path);
    if (!file.startsWith(dir) || !existsSync(file) || !statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, {'content-type': TYPES[extname(file)] || 'application/octet-stream'});
    createReadStream(file).pipe(response);
  });
  return new Promise((done) => server.listen(port, '127.0.0.1', () => done(server)));
}

// Headless Chromium on the served page. The network is closed: nothing but
// the page's own origin is reached. Headless Chromium shows no picker, so
// where the browser would let the page ask where to write a file
// (showSaveFilePicker) the tests either take the browser's download instead,
// as in a browser without that choice (pickers: false), or answer the picker
// with a file of the origin's private file system (pickers: 'private'): the
// same kind of handle, written through the same writable stream. Setting
// window.pickerAnswer = 'cancel' on the page answers as a person closing the
// picker.
export async function startPage({width = 1280, height = 900, pickers = false, dir = webDir, ready = true} = {}) {
  if (!existsSync(join(webDir, 'index.html'))) throw new Error(`no page in ${webDir}: run bash scripts/web.sh`);
  const server = await serve(dir);
  const profile = tempDir('morquent-chromium-');
  const downloads = tempDir('morquent-downloads-');
  const browser = await puppeteer.launch({
    executablePath: chromiumPath,
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--headless', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
  });
  const page = await browser.newPage();
  await page.setViewport({width, height});
  if (!pickers) {
    await page.evaluateOnNewDocument(() => {
      for (const name of ['showSaveFilePicker', 'showDirectoryPicker', 'showOpenFilePicker']) {
        delete Window.prototype[name];
        delete window[name];
      }
    });
  } else if (pickers === 'private') {
    await page.evaluateOnNewDocument(() => {
      window.showSaveFilePicker = async ({suggestedName}) => {
        if (window.pickerAnswer === 'cancel') throw new DOMException('The user aborted a request.', 'AbortError');
        return (await navigator.storage.getDirectory()).getFileHandle(suggestedName, {create: true});
      };
    });
  }
  const errors = [];
  page.on('pageerror', (error) => errors.push(String(error)));
  const url = `http://127.0.0.1:${server.address().port}/`;
  const session = await browser.target().createCDPSession();
  const ctx = {browser, page, server, url, errors, profile, downloads, session, finished: new Map()};
  session.on('Browser.downloadWillBegin', (e) => ctx.finished.set(e.guid, {name: e.suggestedFilename, done: false}));
  session.on('Browser.downloadProgress', (e) => {
    const d = ctx.finished.get(e.guid);
    if (d && (e.state === 'completed' || e.state === 'canceled')) d.done = e.state;
  });
  await useDownloadDir(ctx, downloads);
  await page.goto(url, {waitUntil: 'load'});
  await page.waitForSelector('html[data-ready]');
  if (ready) await page.waitForSelector('html[data-engine=ready]');
  ctx.close = async () => {
    await browser.close().catch(() => {});
    server.close();
    for (const dir of [profile, downloads]) rmSync(dir, {recursive: true, force: true});
  };
  return ctx;
}

export async function useDownloadDir(ctx, dir) {
  ctx.downloadDir = dir;
  await ctx.session.send('Browser.setDownloadBehavior', {behavior: 'allow', downloadPath: dir, eventsEnabled: true});
}

// Runs `action` and waits for the download it starts; returns its bytes and name.
// Chromium drops, without a word or an event, a download that a page
// starts when it has started about ten in the last second; a person never
// clicks that fast, the tests would. So one begins at most every 250 ms.
export async function download(ctx, action) {
  const wait = (ctx.lastDownload || 0) + 250 - Date.now();
  if (wait > 0) await new Promise((r) => setTimeout(r, wait));
  const before = new Set(ctx.finished.keys());
  await action();
  // A large download is written and synced by the browser after the page
  // has handed it over: on a busy disk that takes a while.
  const deadline = Date.now() + 180000;
  for (;;) {
    const fresh = [...ctx.finished.entries()].find(([guid, d]) => !before.has(guid) && d.done);
    if (fresh) {
      const [guid, d] = fresh;
      if (d.done !== 'completed') throw new Error(`download of ${d.name} ${d.done}`);
      const file = join(ctx.downloadDir, d.name);
      const data = readFileSync(file);
      rmSync(file);
      ctx.finished.delete(guid);
      ctx.lastDownload = Date.now();
      return {name: d.name, data};
    }
    if (Date.now() > deadline) throw new Error('no download came');
    await new Promise((r) => setTimeout(r, 20));
  }
}

// Waits until the page's writer has closed `name`, written through the
// private picker, at `size` bytes (the writable stream writes beside the
// file and puts its bytes in place only when closed; without `size`, until
// it is there).
export function chosenFileClosed(ctx, name, size, timeout = 60000) {
  return ctx.page.waitForFunction(async (name, size) => {
    try {
      const root = await navigator.storage.getDirectory();
      const file = await (await root.getFileHandle(name)).getFile();
      return size === undefined || file.size === size;
    } catch {
      return false;
    }
  }, {timeout, polling: 20}, name, size);
}

// The bytes of a file the page wrote through the private picker, once closed.
export async function chosenFile(ctx, name, size) {
  await chosenFileClosed(ctx, name, size);
  const read = await ctx.page.evaluate(async (name) => {
    const file = await (await (await navigator.storage.getDirectory()).getFileHandle(name)).getFile();
    const bytes = new Uint8Array(await file.arrayBuffer());
    let text = '';
    for (let i = 0; i < bytes.length; i += 32768) text += String.fromCharCode(...bytes.subarray(i, i + 32768));
    return btoa(text);
  }, name);
  return Buffer.from(read, 'base64');
}

// The names and sizes of the files in the origin's private file system.
export function privateFiles(ctx) {
  return ctx.page.evaluate(async () => {
    const found = {};
    for await (const [name, handle] of (await navigator.storage.getDirectory()).entries()) {
      found[name] = (await handle.getFile()).size;
    }
    return found;
  });
}

const listings = (page) => page.evaluate(() => Number(document.documentElement.dataset.listings || 0));

// Waits until a listing that `action` starts has come to an end.
export async function afterListing(page, action) {
  const before = await listings(page);
  await action();
  await page.waitForFunction((n) => Number(document.documentElement.dataset.listings || 0) > n,
    {timeout: 30000}, before);
}

// Sets the settings and the offset on the page (without a listing: no file yet,
// or one is listed again afterwards by the caller).
export async function setControls(page, {numbering, fullScan, offset}) {
  await page.evaluate((numbering, fullScan, offset) => {
    const set = (selector, prop, value) => {
      const element = document.querySelector(selector);
      if (value === undefined || element[prop] === value) return false;
      element[prop] = value;
      return true;
    };
    set('#numbering', 'value', numbering);
    set('#full-scan', 'checked', fullScan);
    // The offset typed for the file about to be chosen (the page resets it
    // for a new file unless it was typed since the last one).
    if (set('#offset', 'value', offset === undefined ? undefined : String(offset))) {
      document.querySelector('#offset').dispatchEvent(new Event('input', {bubbles: true}));
    }
  }, numbering, fullScan, offset);
}

// Chooses `file` through the page's file input and waits for its listing.
export async function openFile(ctx, file, controls = {}) {
  await setControls(ctx.page, controls);
  const input = await ctx.page.$('#file');
  await afterListing(ctx.page, () => input.uploadFile(file));
}

// Lists the open file again after changing a setting as a person does.
export async function changeSetting(page, selector, value) {
  await afterListing(page, () => page.evaluate((selector, value) => {
    const element = document.querySelector(selector);
    if (element.type === 'checkbox') element.checked = value;
    else element.value = value;
    element.dispatchEvent(new Event('change', {bubbles: true}));
  }, selector, value));
}

// The rows in the document, in the order shown (only those in view are in
// it), and the message when the page shows one.
export function rows(page) {
  return page.$$eval('#entries .row', (made) => made
    .sort((a, b) => Number(a.getAttribute('aria-rowindex')) - Number(b.getAttribute('aria-rowindex')))
    .map((row) => ({name: row.dataset.name, size: Number(row.dataset.size), state: row.dataset.state,
      text: row.querySelector('.c-state').textContent, selected: row.getAttribute('aria-selected') === 'true'})));
}
export const row = (name) => `#entries .row[data-name="${name}"]`;
export const saveButton = (name) => `${row(name)} button[data-action=save]`;
// #entries's data-total and data-shown, and the status line.
export const counts = (page) => page.$eval('#entries', (list) => ({total: Number(list.dataset.total),
  shown: Number(list.dataset.shown), status: document.querySelector('#status').textContent}));
export const message = (page) =>
  page.$eval('#message', (box) => (box.hidden ? null : document.querySelector('#message-text').textContent));

// The module's heap, as the page's footer gives it after each listing.
export async function workerHeap(page) {
  await page.waitForSelector('#engine-state[data-heap]');
  return {heap: await page.$eval('#engine-state', (s) => Number(s.dataset.heap))};
}
