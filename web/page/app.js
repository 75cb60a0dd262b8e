// The page: takes an archive, has the worker (worker.js) list it through the
// plug-in's own calls, and shows, previews and saves its entries. All work
// on the archive runs in the worker; this module only keeps the page.

const $ = (selector) => document.querySelector(selector);
const NUMBERINGS = ['dummies', 'kept', 'packed'];
const NUMBERING_TEXT = {dummies: 'empty slots listed as dummies', kept: 'empty slots left out, numbers kept',
  packed: 'empty slots left out, numbered without gaps'};
const RESULT_TEXT = {1: 'unsupported input', 2: 'not this format in these settings', 3: 'a record could not be built',
  4: 'out of memory', 5: 'out of memory', 6: 'the file could not be opened'};
const THUMB_LIMIT = 32 * 1024 * 1024;  // larger pictures get no thumbnail
const PREVIEW_BYTES = 64 * 1024;

const bytes = (n) => Number(n).toLocaleString('en-US');
const extensionOf = (name) => name.slice(name.lastIndexOf('.') + 1).toUpperCase();

// ---- settings, kept between visits as the plug-in keeps its own ----

const settings = {
  load() {
    let numbering = 'dummies';
    let fullScan = false;
    try {
      numbering = localStorage.getItem('morquent.numbering') || numbering;
      fullScan = localStorage.getItem('morquent.fullScan') === '1';
    } catch { /* storage refused: defaults */ }
    if (!NUMBERINGS.includes(numbering)) numbering = 'dummies';
    $('#numbering').value = numbering;
    $('#full-scan').checked = fullScan;
  },
  save() {
    try {
      localStorage.setItem('morquent.numbering', $('#numbering').value);
      localStorage.setItem('morquent.fullScan', $('#full-scan').checked ? '1' : '0');
    } catch { /* not kept */ }
  },
  numbering: () => NUMBERINGS.indexOf($('#numbering').value),
  fullScan: () => $('#full-scan').checked,
};

// ---- the worker: requests answered by id; a crash or Cancel replaces it ----

class Engine {
  constructor() {
    this.nextId = 1;
    this.pending = new Map();
    this.onEvent = () => {};
    this.onCrash = () => {};
    this.spawn();
  }
  spawn() {
    this.worker = new Worker('worker.js');
    this.worker.onmessage = (event) => this.receive(event.data);
    this.worker.onerror = (event) => {
      event.preventDefault();
      this.replace(`the engine could not run (${event.message || 'load error'})`);
    };
  }
  // Stops whatever the worker does, fails what was asked of it, and starts a fresh one.
  replace(why, crashed = true) {
    this.worker.terminate();
    const pending = [...this.pending.values()];
    this.pending.clear();
    this.spawn();
    for (const p of pending) p.reject(Object.assign(new Error(why), {cancelled: !crashed, crashed}));
    if (crashed) this.onCrash(why);
  }
  request(op, fields = {}, onProgress = null) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, {resolve, reject, onProgress});
      this.worker.postMessage({op, id, ...fields});
    });
  }
  receive(m) {
    const p = this.pending.get(m.id);
    if (m.type === 'progress') {
      if (p && p.onProgress) p.onProgress(m);
      return;
    }
    if (m.type === 'damage' || m.type === 'checked' || (m.type === 'failed' && !p)) {
      this.onEvent(m);
      return;
    }
    if (m.type === 'crash') {
      this.replace(m.message);
      return;
    }
    if (!p) return;
    this.pending.delete(m.id);
    if (m.type === 'failed') p.reject(Object.assign(new Error(m.message), {unreadable: !!m.unreadable}));
    else p.resolve(m);
  }
}

const engine = new Engine();

// ---- messages and progress ----

function say(text, action = null, kind = 'error') {
  const box = $('#message');
  box.hidden = !text;
  box.className = kind;
  $('#message-text').textContent = text || '';
  const button = $('#message-action');
  button.hidden = !action;
  if (action) {
    button.textContent = action.label;
    button.onclick = () => {
      say(null);
      action.run();
    };
  }
}

let cancelCurrent = null;
// Runs `work(onProgress)` with the progress line and Cancel shown.
async function withProgress(label, total, work, listing = false) {
  const bar = $('#progress-bar');
  const line = $('#progress');
  const text = $('#progress-text');
  const started = performance.now();
  let shown = false;
  const show = () => {
    shown = true;
    line.hidden = false;
  };
  // Quick work shows nothing; what runs longer than a moment shows its progress.
  const timer = setTimeout(show, 300);
  text.textContent = label;
  if (total) bar.max = total; else bar.removeAttribute('value');
  // Cancel stops the worker; a fresh one holds no archive until it is listed again.
  cancelCurrent = () => {
    engine.replace('cancelled', false);
    if (!listing) setTimeout(openArchive, 0);
  };
  try {
    return await work((m) => {
      if (!shown && performance.now() - started > 300) show();
      if (total && m.bytes !== undefined) bar.value = Math.min(m.bytes, total);
      if (m.total) {
        bar.max = m.total;
        bar.value = m.done;
      }
      const mib = m.bytes !== undefined ? `, ${(m.bytes / 1048576).toFixed(1)} MiB` : '';
      text.textContent = m.total ? `${label}: ${m.done} of ${m.total} entries${mib}` : `${label}${mib}`;
    });
  } finally {
    clearTimeout(timer);
    line.hidden = true;
    cancelCurrent = null;
  }
}
$('#cancel').addEventListener('click', () => cancelCurrent && cancelCurrent());

// ---- the archive and its listing ----

// Each listing that comes to an end (shown and checked, or refused) counts
// on <html data-listings>, so that whoever waits for one can tell it is over.
function listingDone() {
  const html = document.documentElement;
  html.dataset.listings = String(Number(html.dataset.listings || 0) + 1);
}

const view = {
  file: null,
  offset: 0,
  entries: [],     // as listed, plus state
  rows: [],
  urls: [],        // object URLs to revoke with the listing
  listingId: 0,
  checked: false,
};

function clearListing() {
  for (const url of view.urls) URL.revokeObjectURL(url);
  view.urls = [];
  view.entries = [];
  view.rows = [];
  view.checked = false;
  thumbs.reset();
  $('#entries tbody').replaceChildren();
  $('#listing').hidden = true;
  $('#preview').hidden = true;
  $('#preview-body').replaceChildren();
}

function refusal(m, name) {
  switch (m.reason) {
  case 'empty':
    return [`${name} is empty: there is nothing in it to list.`];
  case 'offset':
    return [`${name} is ${bytes(m.size)} bytes long: an archive cannot begin at byte ${bytes(view.offset)}.`];
  case 'media-name':
    return [`${name} is named like a picture or a sound (.BMP, .WAV, .PNG). Viewers leave such files to their ` +
      'image and sound plug-ins, and so does this page; rename it to read it as an archive.'];
  case 'not-archive':
    return [`${name} is not a QOR's DAT archive: it does not begin with an entry count and a table of entry sizes` +
      (view.offset ? ` at byte ${bytes(view.offset)}.` : '.') +
      (view.offset ? '' : ' If the archive lies inside another file, give the byte where it begins.')];
  case 'settings': {
    const numbering = NUMBERINGS[m.numbering];
    if (m.fullScan && !settings.fullScan()) {
      return [`${name} can be listed only with the full scan on: a compressed entry has content of an ` +
        'unknown kind, whose size only a scan of the whole entry tells.', {label: 'List it with the full scan',
        run() { $('#full-scan').checked = true; settingsChanged(); }}];
    }
    return [`${name} can be listed only with ${NUMBERING_TEXT[numbering]}.`, {label: `List it that way`,
      run() { $('#numbering').value = numbering; $('#full-scan').checked = m.fullScan; settingsChanged(); }}];
  }
  default:
    return [`${name} looks like a QOR's DAT archive, but its entries cannot be listed ` +
      `(${RESULT_TEXT[m.result] || 'result ' + m.result}). It may be damaged: cut short, or with sizes that do not ` +
      'fit its entries.'];
  }
}

async function openArchive({keepMessage = false} = {}) {
  const file = view.file;
  if (!file) return;
  clearListing();
  if (!keepMessage) say(null);
  const offset = Number($('#offset').value || 0);
  if (!Number.isSafeInteger(offset) || offset < 0) {
    say('The byte where the archive begins must be a whole number, 0 or more.');
    listingDone();
    return;
  }
  view.offset = offset;
  const listingId = ++view.listingId;
  let m;
  try {
    m = await withProgress(`Reading ${file.name}`, file.size, (onProgress) =>
      engine.request('open', {file, offset, numbering: settings.numbering(), fullScan: settings.fullScan()},
        onProgress), true);
  } catch (error) {
    if (listingId !== view.listingId) return;
    if (error.cancelled) say(`Listing ${file.name} was cancelled.`, {label: 'List it again', run: openArchive}, 'info');
    else if (!error.crashed) say(error.message);
    listingDone();
    return;
  }
  if (listingId !== view.listingId) return;
  if (m.type === 'refused') {
    const [text, action] = refusal(m, file.name);
    say(text, action);
    listingDone();
    return;
  }
  view.listing = m.id;
  showListing(m);
}

const escapeHtml = (text) => text.replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
const stateText = (entry) => (entry.state === 'damaged' ? `damaged: ${bytes(entry.missing)} bytes missing`
  : entry.state === 'checking' ? 'checking…' : entry.state);
const compressedText = (entry) => (entry.compressed === null ? (entry.state === 'checking' ? '…' : '?')
  : entry.compressed ? 'yes' : 'no');

// One row's markup: the entry's name, size and state in data-* as well.
function rowHtml(entry) {
  const name = escapeHtml(entry.name);
  return `<tr tabindex="-1" data-index="${entry.index}" data-name="${name}" data-size="${entry.size}" ` +
    `data-state="${entry.state}"><td class="thumb"></td><td class="name">${name}</td>` +
    `<td class="num size">${bytes(entry.size)}</td><td class="num stored">${bytes(entry.stored)}</td>` +
    `<td class="comp">${compressedText(entry)}</td><td class="state">${stateText(entry)}</td>` +
    `<td class="save"><button type="button" class="save-one" aria-label="Save ${name}">Save</button></td></tr>`;
}

function showListing(m) {
  view.entries = m.entries.map((e, index) => ({...e, index, state: 'checking', missing: 0, compressed: null}));
  view.rows = new Array(view.entries.length);
  const tbody = $('#entries tbody');
  // The first rows at once, the rest in batches between frames: the table
  // shows without waiting for thousands of rows to be made and laid out.
  tbody.replaceChildren();
  const listingId = view.listingId;
  view.attached = false;
  const attach = (from) => {
    if (listingId !== view.listingId) return;
    const to = Math.min(view.entries.length, from + (from ? 1000 : 100));
    tbody.insertAdjacentHTML('beforeend', view.entries.slice(from, to).map(rowHtml).join(''));
    const made = tbody.rows;
    for (let i = from; i < to; i++) {
      view.rows[i] = made[i];
      if (isPicture(view.entries[i])) thumbs.watch(made[i]);
    }
    if (from === 0 && to > 0) made[0].tabIndex = 0;
    if (to < view.entries.length) {
      setTimeout(() => attach(to), 0);
      return;
    }
    view.attached = true;
    if (view.checked) finishListing();
  };
  attach(0);
  $('#listing').hidden = false;
  $('#entries').setAttribute('aria-busy', 'true');
  summarize(m);
}

// Every row is in the table and every entry checked.
function finishListing() {
  $('#entries').removeAttribute('aria-busy');
  summarize();
  listingDone();
}

function summarize(m = view.summary) {
  view.summary = m;
  const damaged = view.entries.filter((e) => e.state === 'damaged').length;
  const n = view.entries.length;
  $('#summary').textContent = `${view.file.name}: ${n} ${n === 1 ? 'entry' : 'entries'}, ${m.layout} layout` +
    (damaged ? `, ${damaged} damaged` : '') + (view.checked ? '' : ', checking…');
}

engine.onEvent = (m) => {
  if (m.id !== view.listing) return;
  if (m.type === 'damage') {
    m.items.forEach((item, k) => {
      const entry = view.entries[m.first + k];
      if (!entry) return;
      entry.missing = item.missing;
      entry.compressed = item.compressed;
      entry.state = item.missing === null ? 'unknown' : item.missing > 0 ? 'damaged' : 'whole';
      const row = view.rows[m.first + k];
      if (!row) return;  // made later, in this state
      row.dataset.state = entry.state;
      row.cells[4].textContent = compressedText(entry);
      row.cells[5].textContent = stateText(entry);
    });
  } else if (m.type === 'checked') {
    view.checked = true;
    if (view.attached) finishListing();
  } else if (m.type === 'failed') {
    say(m.message);
    listingDone();
  }
};

engine.onCrash = (why) => {
  say(`The engine stopped (${why}). It was started afresh; the archive is being listed again.`);
  if (view.file) setTimeout(() => openArchive({keepMessage: true}), 0);
};

// ---- thumbnails: made for the rows in view, one at a time ----

const isPicture = (entry) => ['BMP', 'PNG'].includes(extensionOf(entry.name)) && entry.size > 0 &&
  entry.size <= THUMB_LIMIT;

const thumbs = {
  queue: [],
  running: false,
  observer: new IntersectionObserver((seen) => {
    for (const s of seen) {
      if (!s.isIntersecting) continue;
      thumbs.observer.unobserve(s.target);
      thumbs.queue.push(s.target);
    }
    thumbs.run();
  }, {root: null, rootMargin: '200px'}),
  watch(row) { this.observer.observe(row); },
  reset() {
    this.observer.disconnect();
    this.queue = [];
  },
  async run() {
    if (this.running) return;
    this.running = true;
    const listing = view.listingId;
    try {
      while (this.queue.length && listing === view.listingId) {
        const row = this.queue.shift();
        const entry = view.entries[Number(row.dataset.index)];
        if (!entry || !row.isConnected) continue;
        let m;
        try {
          m = await engine.request('extract', {position: entry.position});
        } catch {
          continue;  // no thumbnail; the row says the rest
        }
        if (listing !== view.listingId) break;
        const url = URL.createObjectURL(m.blob);
        view.urls.push(url);
        const img = document.createElement('img');
        img.alt = '';
        img.decoding = 'async';
        img.src = url;
        row.cells[0].replaceChildren(img);
      }
    } finally {
      this.running = false;
    }
  },
};

// ---- preview of the selected entry ----

function hexDump(data) {
  const lines = [];
  for (let at = 0; at < data.length; at += 16) {
    const row = data.subarray(at, at + 16);
    const hex = Array.from(row, (b) => b.toString(16).padStart(2, '0')).join(' ');
    const text = Array.from(row, (b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
    lines.push(`${at.toString(16).padStart(8, '0')}  ${hex.padEnd(47)}  ${text}`);
  }
  return lines.join('\n');
}

async function preview(entry) {
  select(entry.index);
  const kind = extensionOf(entry.name);
  const media = kind === 'BMP' || kind === 'PNG' || kind === 'WAV';
  let m;
  try {
    m = await withProgress(`Reading ${entry.name}`, media ? entry.size : Math.min(entry.size, PREVIEW_BYTES),
      (onProgress) => engine.request('extract', {position: entry.position, limit: media ? 0 : PREVIEW_BYTES},
        onProgress));
  } catch (error) {
    if (!error.cancelled && !error.crashed) say(`${entry.name}: ${error.message}`);
    return;
  }
  const body = $('#preview-body');
  const url = URL.createObjectURL(m.blob);
  view.urls.push(url);
  $('#preview').hidden = false;
  $('#preview-title').textContent = entry.name;
  $('#preview-note').textContent = (entry.state === 'damaged'
    ? `Damaged: ${bytes(entry.missing)} bytes are missing and shown as zeros. ` : '') +
    (m.cut ? `The first ${bytes(m.size)} of ${bytes(entry.size)} bytes.` : `${bytes(entry.size)} bytes.`);
  if (kind === 'BMP' || kind === 'PNG') {
    const img = document.createElement('img');
    img.src = url;
    img.alt = `${entry.name}, at full size`;
    body.replaceChildren(img);
  } else if (kind === 'WAV') {
    const player = document.createElement('div');
    player.className = 'player';
    const audio = document.createElement('audio');
    audio.controls = true;
    audio.src = url;
    audio.preload = 'auto';
    audio.setAttribute('aria-label', `${entry.name}, sound`);
    const stop = document.createElement('button');
    stop.type = 'button';
    stop.textContent = 'Stop';
    stop.addEventListener('click', () => {
      audio.pause();
      audio.currentTime = 0;
    });
    player.append(audio, stop);
    body.replaceChildren(player);
  } else {
    const data = new Uint8Array(await m.blob.arrayBuffer());
    const dump = document.createElement('div');
    dump.className = 'dump';
    const hex = document.createElement('pre');
    hex.className = 'hex';
    hex.setAttribute('aria-label', 'Bytes in hexadecimal');
    hex.tabIndex = 0;
    hex.textContent = hexDump(data);
    const text = document.createElement('pre');
    text.className = 'text';
    text.setAttribute('aria-label', 'Bytes as text');
    text.tabIndex = 0;
    text.textContent = new TextDecoder('utf-8').decode(data).replace(/[\u0000-\u0008\u000b-\u001f\u007f]/g, '·');
    dump.append(hex, text);
    body.replaceChildren(dump);
  }
}

// ---- saving ----

function download(blob, name) {
  const url = URL.createObjectURL(blob);
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// A damaged entry is saved only once the person has read what it lacks.
function confirmDamaged(entry) {
  const dialog = $('#damaged-dialog');
  $('#damaged-text').textContent = `${entry.name} is damaged: ${bytes(entry.missing)} of its bytes are not in the ` +
    'archive. Saved, it holds zeros in their place, as a viewer would receive it; it is not the original file.';
  dialog.returnValue = '';
  dialog.showModal();
  return new Promise((resolve) => dialog.addEventListener('close', () => resolve(dialog.returnValue === 'save'),
    {once: true}));
}

async function save(entry) {
  if (entry.state === 'checking') {
    say(`${entry.name} is still being checked; save it in a moment.`, null, 'info');
    return;
  }
  if (entry.state === 'damaged' && !(await confirmDamaged(entry))) return;
  try {
    const m = await withProgress(`Saving ${entry.name}`, entry.size, (onProgress) =>
      engine.request('extract', {position: entry.position}, onProgress));
    download(m.blob, m.name);
  } catch (error) {
    if (!error.cancelled && !error.crashed) say(`${entry.name} was not saved: ${error.message}`);
  }
}

function wholeEntries() {
  return view.entries.filter((e) => e.state === 'whole');
}

function leftOut(n) {
  const damaged = view.entries.filter((e) => e.state === 'damaged').length;
  return damaged ? ` ${damaged} damaged ${damaged === 1 ? 'entry was' : 'entries were'} left out (save ` +
    `${damaged === 1 ? 'it' : 'them'} one by one).` : '';
}

async function saveAll() {
  if (!view.checked) {
    say('The entries are still being checked; save them all in a moment.', null, 'info');
    return;
  }
  const entries = wholeEntries();
  if (!entries.length) {
    say('There is no whole entry to save.', null, 'info');
    return;
  }
  const total = entries.reduce((sum, e) => sum + e.size, 0);
  // The zip writer writes plain zip, whose sizes and offsets end at 4 GiB.
  if (total + entries.length * 128 >= 2 ** 32) {
    say(`These entries hold ${bytes(total)} bytes, more than one zip file can hold (4 GiB). ` +
      ('showDirectoryPicker' in window ? 'Save them into a folder instead.' : 'Save them one by one.'), null, 'info');
    return;
  }
  try {
    const m = await withProgress('Writing the zip', total, (onProgress) =>
      engine.request('zip', {positions: entries.map((e) => e.position)}, onProgress));
    download(m.blob, view.file.name.replace(/\.[^.]*$/, '') + '.zip');
    say(`${entries.length} entries saved in one zip.${leftOut()}`, null, 'info');
  } catch (error) {
    if (!error.cancelled && !error.crashed) say(`The zip was not saved: ${error.message}`);
  }
}

async function saveIntoFolder() {
  if (!view.checked) {
    say('The entries are still being checked; save them all in a moment.', null, 'info');
    return;
  }
  let folder;
  try {
    folder = await window.showDirectoryPicker({mode: 'readwrite'});
  } catch {
    return;  // no folder chosen
  }
  const entries = wholeEntries();
  let saved = 0;
  try {
    await withProgress('Saving into the folder', entries.length, async (onProgress) => {
      for (const entry of entries) {
        const m = await engine.request('extract', {position: entry.position});
        const handle = await folder.getFileHandle(m.name, {create: true});
        const writable = await handle.createWritable();
        await writable.write(m.blob);
        await writable.close();
        onProgress({done: ++saved, total: entries.length});
      }
    });
    say(`${saved} entries saved into ${folder.name}.${leftOut()}`, null, 'info');
  } catch (error) {
    if (!error.crashed) say(`${saved} of ${entries.length} entries were saved; then: ${error.message}`);
  }
}

// ---- selection and keyboard ----

let selected = -1;
function select(index, focus = false) {
  if (!view.rows[index]) return;
  if (view.rows[selected]) {
    view.rows[selected].classList.remove('selected');
    view.rows[selected].tabIndex = -1;
    view.rows[selected].removeAttribute('aria-current');
  }
  selected = index;
  const row = view.rows[index];
  row.classList.add('selected');
  row.tabIndex = 0;
  row.setAttribute('aria-current', 'true');
  if (focus) row.focus();
}

const tbody = $('#entries tbody');
tbody.addEventListener('click', (event) => {
  const row = event.target.closest('tr');
  if (!row) return;
  const entry = view.entries[Number(row.dataset.index)];
  if (event.target.closest('button.save-one')) save(entry);
  else preview(entry);
});
tbody.addEventListener('focusin', (event) => {
  const row = event.target.closest('tr');
  if (row && event.target === row) select(Number(row.dataset.index));
});
tbody.addEventListener('keydown', (event) => {
  const row = event.target.closest('tr');
  if (!row || event.target !== row) return;
  const index = Number(row.dataset.index);
  const page = 10;
  const moves = {ArrowDown: index + 1, ArrowUp: index - 1, Home: 0, End: view.rows.length - 1,
    PageDown: index + page, PageUp: index - page};
  if (event.key in moves) {
    select(Math.max(0, Math.min(view.rows.length - 1, moves[event.key])), true);
  } else if (event.key === 'Enter') {
    preview(view.entries[index]);
  } else if (event.key === 's' || event.key === 'S') {
    save(view.entries[index]);
  } else {
    return;
  }
  event.preventDefault();
});

// ---- taking the archive ----

function take(file) {
  view.file = file;
  $('#current').textContent = `Open: ${file.name} (${bytes(file.size)} bytes)`;
  openArchive();
}

function settingsChanged() {
  settings.save();
  if (view.file) openArchive();
}

const drop = $('#drop');
$('#file').addEventListener('change', (event) => {
  if (!event.target.files.length) return;
  take(event.target.files[0]);
  // Emptied, so that choosing the same file again (changed, or after an
  // error) reads it again.
  event.target.value = '';
});
drop.addEventListener('dragover', (event) => {
  event.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
// Dropped anywhere else, a file would replace the page: taken here too.
for (const target of [document.documentElement]) {
  target.addEventListener('dragover', (event) => event.preventDefault());
  target.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    const items = [...(event.dataTransfer.items || [])].filter((item) => item.kind === 'file');
    const entry = items.length && items[0].webkitGetAsEntry ? items[0].webkitGetAsEntry() : null;
    if (entry && entry.isDirectory) {
      clearListing();
      view.file = null;
      $('#current').textContent = '';
      say(`${entry.name} is a folder. Drop the archive file itself (a folder is not read).`);
      listingDone();
      return;
    }
    const files = event.dataTransfer.files;
    if (!files.length) return;
    take(files[0]);
  });
}
$('#offset').addEventListener('change', () => view.file && openArchive());
$('#numbering').addEventListener('change', settingsChanged);
$('#full-scan').addEventListener('change', settingsChanged);
$('#save-all').addEventListener('click', saveAll);
if ('showDirectoryPicker' in window) {
  $('#save-folder').hidden = false;
  $('#save-folder').addEventListener('click', saveIntoFolder);
}

settings.load();
document.documentElement.dataset.ready = '1';
