// The page: takes an archive, has the worker list it through the plug-in's
// own calls, and shows it as a list (list.js) beside a preview (preview.js);
// saves entries (save.js), keeps changes to make (edit.js) and saves the
// changed archive (save.js). All work on the archive runs in the worker
// (engine-client.js, protocol.js).
//
// <html data-listings> counts the listings that came to an end (listed and
// checked, or refused), <html data-saves> the saves of an edited archive
// (saved, refused or failed), and <html data-engine> says whether the engine is
// "starting", "ready" or "unavailable": whoever waits for the page (a
// person's script, the browser tests) reads these.
import {Engine} from './engine-client.js';
import {RESULT_TEXT} from './protocol.js';
import {EntryList} from './list.js';
import {Preview, isPicture} from './preview.js';
import {Saver, progressText, readable} from './save.js';
import {Edits} from './edit.js';
import * as settings from './settings.js';

const $ = (selector) => document.querySelector(selector);
const html = document.documentElement;
const bytes = (n) => Number(n).toLocaleString('en-US');
const THUMB_LIMIT = 32 * 1024 * 1024;  // larger pictures get no thumbnail

// ---- the engine ----

const engine = new Engine();
html.dataset.engine = 'starting';
engine.onReady = () => {
  html.dataset.engine = 'ready';
  $('#engine-state').textContent = 'Engine: ready.';
};
engine.onUnavailable = (why) => {
  html.dataset.engine = 'unavailable';
  $('#engine-state').textContent = 'Engine: not loaded.';
  sayUnavailable(why);
  if (view.file) listingDone();
};
function sayUnavailable(why) {
  say(`The page's engine could not be loaded (${why}). It comes from the server this page came from: connect ` +
    'to it again and try again. After one visit with the network, the page keeps it and works offline.',
  {label: 'Try again', run() {
    html.dataset.engine = 'starting';
    engine.retry();
    if (view.file) openArchive();
  }});
}
let lastCrash = 0;
engine.onCrash = (why) => {
  // Listed again at once, unless the last crash was a moment ago (a listing
  // that itself crashes the engine is not tried again and again).
  const again = Date.now() - lastCrash > 5000;
  lastCrash = Date.now();
  say(`The engine stopped (${why}). It was started afresh` +
    (view.file && again ? '; the archive is being listed again.' : '.'), view.file && !again
    ? {label: 'List it again', run: () => openArchive()} : null);
  if (view.file && again) setTimeout(() => openArchive({keepMessage: true}), 0);
  else if (view.file) listingDone();
};

if ('serviceWorker' in navigator && location.protocol !== 'file:') {
  navigator.serviceWorker.register('sw.js').catch(() => { /* no offline copy: the page works online */ });
}

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
// Runs `work(progress, signal)` with the progress line and Cancel shown once
// it takes longer than a moment; progress(done) takes the bytes done of `total`.
async function withProgress(label, total, work, listing = false) {
  const bar = $('#progress-bar');
  const line = $('#progress');
  const text = $('#progress-text');
  const started = performance.now();
  const controller = new AbortController();
  let shown = false;
  const show = () => {
    shown = true;
    line.hidden = false;
  };
  const timer = setTimeout(show, 300);
  text.textContent = label;
  if (total) {
    bar.max = total;
    bar.value = 0;
  } else bar.removeAttribute('value');
  // Cancel stops the work; work in the worker stops with the worker, and a
  // fresh one holds no archive until it is listed again.
  cancelCurrent = () => {
    controller.abort();
    if (engine.pending.size) {
      engine.replace('cancelled', false);
      if (!listing) setTimeout(() => openArchive({keepMessage: true}), 0);
    }
  };
  try {
    return await work((done) => {
      if (!shown && performance.now() - started > 300) show();
      if (total) bar.value = Math.min(done, total);
      text.textContent = progressText(label, done, total);
    }, controller.signal);
  } finally {
    clearTimeout(timer);
    line.hidden = true;
    cancelCurrent = null;
  }
}
$('#cancel').addEventListener('click', () => cancelCurrent && cancelCurrent());

// ---- the archive and its listing ----

function listingDone() {
  html.dataset.listings = String(Number(html.dataset.listings || 0) + 1);
}

const view = {
  file: null,
  offset: 0,
  entries: [],
  urls: [],        // object URLs to revoke with the listing
  thumbs: new Map(),  // entry index -> object URL
  listingId: 0,
  checked: false,
  summary: null,
};

const edits = new Edits((entry) => {
  // Its thumbnail is of the content it had: made again from what it holds now.
  const thumb = view.thumbs.get(entry.index);
  if (thumb) URL.revokeObjectURL(thumb);
  view.thumbs.delete(entry.index);
  list.arrange();
  // The preview shows what the entry holds now (an undone addition is gone).
  if (preview.entry === entry) {
    if (view.entries.includes(entry)) preview.show(entry, true, true);
    else preview.clear();
  }
  previewActions();  // Empty is refused for an emptied entry
  $('#undo').disabled = edits.count === 0;
  $('#save-archive').disabled = edits.count === 0;
  $('#edit-note').textContent = edits.count
    ? `${edits.count} ${edits.count === 1 ? 'change' : 'changes'} kept: Save the archive writes a copy of ` +
      `${view.file.name} with ${edits.count === 1 ? 'it' : 'them'}.` : '';
});

// A change the format cannot hold is refused in words, and not made.
function edit(refusal, make) {
  if (refusal) {
    say(refusal);
    return;
  }
  make();
}

const preview = new Preview({
  urls: view.urls,
  onEntry: () => previewActions(),
  async read(entry, limit) {
    if (entry.edit) return {blob: entry.edit.file || new Blob([]), size: entry.size, cut: false};
    const plainLength = limit ? Math.min(entry.size, limit) : entry.size;
    try {
      if (entry.start >= 0) {
        return {blob: await readable(view.file.slice(entry.start, entry.start + plainLength)), size: plainLength,
          cut: plainLength < entry.size};
      }
    } catch (error) {
      say(error.message);
      return null;
    }
    try {
      return await withProgress(`Reading ${entry.name}`, plainLength, (progress) =>
        engine.request('extract', {position: entry.position, limit}, (m) => progress(m.bytes || 0)));
    } catch (error) {
      if (!error.cancelled && !error.crashed) say(`${entry.name}: ${error.message}`);
      return null;
    }
  },
});

const saver = new Saver({engine, say, withProgress, file: () => view.file});

let previewTimer = 0;
const list = new EntryList($('#entries'), {
  thumbnail: (entry) => view.thumbs.get(entry.index) || null,
  onRendered: (indexes) => thumbs.want(indexes),
  onSelection: status,
  onActive(entry) {
    clearTimeout(previewTimer);
    previewTimer = setTimeout(() => preview.show(entry), 120);
  },
  onOpen(entry) {
    clearTimeout(previewTimer);
    preview.show(entry, true);
    // Below the list on narrow screens: brought into view.
    if (window.innerWidth < 1024) $('#preview').scrollIntoView({block: 'nearest'});
  },
  onSpace: () => preview.playPause(),
  onSave: saveSelected,
  onKey(event) {
    if ((event.ctrlKey || event.metaKey) && (event.key === 'z' || event.key === 'Z')) return edits.undo(view.entries);
    return false;
  },
  onRowAction: entryAction,
  onRowDrop: (entry, file) => edit(edits.replaceRefusal(entry, file), () => edits.replace(entry, file)),
  rowActions: (entry, name) =>
    `<button type="button" tabindex="-1" data-action="replace" aria-label="Replace ${name}…">Replace…</button>` +
    `<button type="button" tabindex="-1" data-action="empty" aria-label="Empty ${name}"` +
    `${entry.state === 'emptied' ? ' disabled' : ''}>Empty</button>`,
});

// Save, Replace… and Empty of one entry: the row's buttons, and the
// preview's for the entry it shows (the only ones on narrow screens, where
// the rows keep Save alone).
function entryAction(action, entry) {
  if (action === 'save') saver.saveOne(entry);
  else if (action === 'replace') {
    chooseEditFile((file) => edit(edits.replaceRefusal(entry, file), () => edits.replace(entry, file)));
  } else if (action === 'empty') edits.empty(entry);
}

// The preview's actions, for the entry it shows.
function previewActions() {
  const entry = preview.entry;
  $('#preview-actions').hidden = !entry;
  if (!entry) return;
  $('#preview-save').disabled = !!entry.noRecord;
  $('#preview-empty').disabled = entry.state === 'emptied';
  $('#preview-save').setAttribute('aria-label', `Save ${entry.name}`);
  $('#preview-replace').setAttribute('aria-label', `Replace ${entry.name}…`);
  $('#preview-empty').setAttribute('aria-label', `Empty ${entry.name}`);
}
for (const action of ['save', 'replace', 'empty']) {
  $(`#preview-${action}`).addEventListener('click', () => preview.entry && entryAction(action, preview.entry));
}

function chooseEditFile(take) {
  const input = $('#edit-file');
  input.value = '';
  input.onchange = () => input.files.length && take(input.files[0]);
  input.click();
}
$('#add-entry').addEventListener('click', () => chooseEditFile((file) =>
  edit(edits.addRefusal(view.entries, file), () => list.select(edits.add(view.entries, file).index))));
$('#undo').addEventListener('click', () => edits.undo(view.entries));
$('#save-archive').addEventListener('click', () => {
  if (!edits.count) return;
  if (!view.checked) {
    say('The entries are still being checked; save the archive in a moment.', null, 'info');
    return;
  }
  // <html data-saves> counts the saves of the archive that came to an end.
  saver.saveArchive(view.file.name, edits.request(view.entries), edits.count).then(showHeap).finally(() => {
    html.dataset.saves = String(Number(html.dataset.saves || 0) + 1);
  });
});

function clearListing() {
  for (const url of view.urls) URL.revokeObjectURL(url);
  view.urls.length = 0;
  for (const url of view.thumbs.values()) URL.revokeObjectURL(url);
  view.thumbs.clear();
  view.entries = [];
  view.checked = false;
  edits.reset();
  thumbs.reset();
  list.setEntries([]);
  $('#workspace').hidden = true;
  preview.clear();
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
    const numbering = settings.NUMBERINGS[m.numbering];
    if (m.fullScan && !settings.fullScan()) {
      return [`${name} can be listed only with the full scan on: a compressed entry has content of an ` +
        'unknown kind, whose size only a scan of the whole entry tells.', {label: 'List it with the full scan',
        run() { $('#full-scan').checked = true; settingsChanged(); }}];
    }
    return [`${name} can be listed only with ${settings.NUMBERING_TEXT[numbering]}.`, {label: 'List it that way',
      run() { $('#numbering').value = numbering; $('#full-scan').checked = m.fullScan; settingsChanged(); }}];
  }
  default:
    return [`${name} looks like a QOR's DAT archive, but its entries cannot be listed ` +
      `(${RESULT_TEXT[m.result] || 'result ' + m.result}). It may be damaged: cut short, or with sizes that do not ` +
      'fit its entries.'];
  }
}

async function openArchive({keepMessage = false, note = null} = {}) {
  const file = view.file;
  if (!file) return;
  clearListing();
  if (!keepMessage) say(note, null, 'info');
  const offset = settings.parseOffset(settings.offsetText());
  if (offset === null) {
    say('The byte where the archive begins must be a whole number, 0 or more: decimal (35664) or ' +
      'hexadecimal after 0x (0x8b50).');
    listingDone();
    return;
  }
  view.offset = offset;
  offsetTyped = false;  // it belongs to this file now
  const listingId = ++view.listingId;
  let m;
  try {
    m = await withProgress(`Reading ${file.name}`, file.size, (progress) =>
      engine.request('open', {file, offset, numbering: settings.numbering(), fullScan: settings.fullScan()},
        (p) => progress(p.bytes || 0)), true);
  } catch (error) {
    if (listingId !== view.listingId) return;
    if (error.cancelled) say(`Listing ${file.name} was cancelled.`, {label: 'List it again', run: openArchive}, 'info');
    else if (error.unavailable) sayUnavailable(error.message);
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

function showListing(m) {
  view.entries = m.entries.map((e, index) => {
    const noRecord = m.bySlot && e.result !== 0;
    return {...e, index, name: noRecord ? `slot ${Math.floor(e.position / 3)}` : e.name, noRecord,
      state: noRecord ? 'damaged' : 'checking', missing: noRecord ? e.slotMissing : 0, lack: noRecord ? e.lack : '',
      compressed: null};
  });
  view.summary = m;
  edits.reset(m.limits);
  list.setEntries(view.entries);
  $('#workspace').hidden = false;
  $('#entries').setAttribute('aria-busy', 'true');
  if (m.bySlot) {
    const lost = view.entries.filter((e) => e.noRecord).length;
    say(`${view.file.name} is cut short or damaged: its listing stops at an entry whose record cannot be built. ` +
      `Its slots were read one by one: ${lost} of ${view.entries.length} have no record and cannot be saved; ` +
      'the others are listed.', null, 'info');
  }
  summarize();
}

function summarize() {
  const m = view.summary;
  if (!m) return;
  const damaged = view.entries.filter((e) => e.state === 'damaged').length;
  $('#summary').textContent = `${view.file.name}: ${m.layout} layout` + (damaged ? `, ${damaged} damaged` : '') +
    (view.checked ? '' : ', checking…');
}

// The status line: how many entries, shown, selected.
function status() {
  const total = list.entries.length;
  const shown = list.shown.length;
  const selected = list.selected.size;
  $('#status').textContent = `${bytes(total)} ${total === 1 ? 'entry' : 'entries'}, ${bytes(shown)} shown, ` +
    `${bytes(selected)} selected`;
  $('#save-selected').disabled = selected === 0;
}

engine.onEvent = (m) => {
  if (m.id !== view.listing) return;
  if (m.type === 'damage') {
    m.items.forEach((item, k) => {
      const entry = view.entries[m.first + k];
      if (!entry || entry.noRecord || entry.edit) return;
      entry.missing = item.missing;
      entry.compressed = item.compressed;
      entry.lack = item.lack;
      entry.state = item.missing === null ? 'unknown' : item.damaged ? 'damaged' : 'whole';
    });
    list.changed(true);
  } else if (m.type === 'checked') {
    view.checked = true;
    $('#entries').removeAttribute('aria-busy');
    summarize();
    showHeap().finally(listingDone);
  } else if (m.type === 'failed') {
    say(m.message);
    listingDone();
  }
};

// The module's memory, in the footer (data-heap: bytes), after each
// listing and each save of the archive.
function showHeap() {
  return engine.request('stats').then((s) => {
    $('#engine-state').textContent = `Engine: ready, ${(s.heap / 1048576).toFixed(1)} MiB of memory.`;
    $('#engine-state').dataset.heap = String(s.heap);
  }, () => {});
}

// ---- thumbnails: made for the rows in view, one at a time ----

const thumbs = {
  wanted: [],
  running: false,
  inView: new Set(),
  reset() { this.wanted = []; },
  want(indexes) {
    this.inView = new Set(indexes);
    this.wanted = indexes.filter((i) => {
      const e = view.entries[i];
      return e && !view.thumbs.has(i) && isPicture(e) && e.size > 0 && e.size <= THUMB_LIMIT && !e.noRecord &&
        e.state !== 'checking';
    });
    this.run();
  },
  async run() {
    if (this.running) return;
    this.running = true;
    const listing = view.listingId;
    try {
      while (this.wanted.length && listing === view.listingId) {
        const index = this.wanted.shift();
        const entry = view.entries[index];
        if (!entry || view.thumbs.has(index) || !this.inView.has(index)) continue;
        let blob;
        try {
          blob = entry.edit ? entry.edit.file : await saver.blobOf(entry);
          // A file put in its place may be no picture at all, whatever the name says.
          if (entry.edit) (await createImageBitmap(blob)).close();
        } catch {
          continue;  // no thumbnail; the row says the rest
        }
        if (listing !== view.listingId) break;
        view.thumbs.set(index, URL.createObjectURL(blob));
        const row = list.rowOf(index);
        if (row && !row.querySelector('.c-thumb img')) {
          const img = document.createElement('img');
          img.alt = '';
          img.src = view.thumbs.get(index);
          row.querySelector('.c-thumb').replaceChildren(img);
        }
      }
    } finally {
      this.running = false;
    }
  },
};

// ---- saving ----

function baseName() { return view.file.name.replace(/\.[^.]*$/, '') || view.file.name; }

function saveSelected() {
  let chosen = list.selection();
  if (!chosen.length && list.activeEntry()) chosen = [list.activeEntry()];
  if (!chosen.length) return;
  if (chosen.length === 1) saver.saveOne(chosen[0]);
  else saver.saveZip(chosen, `${baseName()}-selected.zip`);
}
$('#save-selected').addEventListener('click', saveSelected);
$('#save-all').addEventListener('click', () => {
  if (!view.checked) {
    say('The entries are still being checked; save them all in a moment.', null, 'info');
    return;
  }
  saver.saveZip(view.entries, `${baseName()}.zip`);
});

// ---- the preview's own controls, the filter ----

function step(by) {
  const at = list.active >= 0 ? list.posOf[list.active] : -1;
  list.moveTo(at + by);
  const entry = list.activeEntry();
  if (entry) {
    clearTimeout(previewTimer);
    preview.show(entry, true);
  }
}
$('#preview-prev').addEventListener('click', () => step(-1));
$('#preview-next').addEventListener('click', () => step(1));
$('#filter').addEventListener('input', () => list.setFilter($('#filter').value));

// ---- taking the archive ----

let offsetTyped = false;  // typed since the last listing: meant for the next file

function take(file, note = null) {
  view.file = file;
  if (!offsetTyped) settings.resetOffset();
  $('#file-name').textContent = `${file.name} (${bytes(file.size)} bytes)`;
  $('#filter').value = '';
  list.match = () => true;
  openArchive({note});
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
// Dropped anywhere but on a row, a file would replace the page: taken here.
html.addEventListener('dragover', (event) => event.preventDefault());
html.addEventListener('drop', (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  const items = [...(event.dataTransfer.items || [])].filter((item) => item.kind === 'file');
  const entry = items.length && items[0].webkitGetAsEntry ? items[0].webkitGetAsEntry() : null;
  if (entry && entry.isDirectory) {
    clearListing();
    view.file = null;
    $('#file-name').textContent = 'No file chosen';
    say(`${entry.name} is a folder. Drop the archive file itself (a folder is not read).`);
    listingDone();
    return;
  }
  const files = event.dataTransfer.files;
  if (!files.length) return;
  const ignored = [...files].slice(1).map((f) => f.name);
  take(files[0], ignored.length ? `One archive at a time: ${files[0].name} is open; ${ignored.join(', ')} ` +
    `${ignored.length === 1 ? 'was' : 'were'} not opened.` : null);
});
$('#offset').addEventListener('input', () => (offsetTyped = true));
$('#offset').addEventListener('change', () => view.file && openArchive());
$('#numbering').addEventListener('change', settingsChanged);
$('#full-scan').addEventListener('change', settingsChanged);

settings.load();
preview.clear();
status();
if (location.protocol !== 'file:') html.dataset.ready = '1';
