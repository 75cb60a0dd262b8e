// The page's worker (a module worker): runs the archive calls (engine.js,
// the module built from archive/ and calls/) over the File the page hands
// it. The messages are listed in protocol.js. The engine is loaded as soon
// as the worker starts, and the worker says when it is ready or that it
// cannot be loaded; an abort or trap of the module is reported as a crash,
// and the page starts a fresh worker.
import createEngine from './engine.js';
import {ArchiveParts} from './parts.js';

let engine = null;
let api = null;
let archive = null;  // {offset, count, numbering, fullScan, bySlot}
let generation = 0;  // a new listing stops the damage check of the last one
let busy = null;     // the id of the operation reporting progress
const CACHE_SIZE = 1 << 20;
const CACHE_WINDOWS = 4;
const WINDOW_ALIGN = 64 << 10;

// What the seam reads from and writes to (web/engine/platform_web.cpp).
const io = (self.morquentIo = {
  // The Files the module's calls may open, by the path they are given; the
  // archive is 'archive' (web/engine/engine.cpp).
  files: new Map(),
  opened: new Map(),  // id => File, while the module has it open
  nextFile: 1,
  readFailed: null,
  bytesRead: 0,
  lastProgress: 0,
  sink: null,  // name => {write(bytes) -> bool, close(keep) -> bool}, or null
  save: null,  // the archive being saved: {write, copy, rewrite, cut, editName} (saveArchive)
  outputs: new Map(),
  nextId: 1,
  // Every read of the File costs a round trip to the browser whatever its
  // size, and the calls read small heads one after another: reads are
  // served from windows of CACHE_SIZE bytes, each read once. Several are
  // kept, the least recently used dropped first, for the whole of a listing
  // and its check: the check goes back to the table at the file's start
  // between heads far from it, and a single window, dropped between the
  // listing's passes, read 214 MB for an archive of 4 MB. What is read is
  // garbage the worker's collector, with a heap of a few MiB, leaves in
  // place for a long time: 50 MiB of it, held for nothing. A window begins
  // a little before the read that needs it (not at a multiple of its size),
  // so that heads read one after another do not straddle two windows. The
  // windows are dropped before every request, so that each one reads the
  // file as it is now.
  windows: [],  // {file, start, bytes}, the most recently used first
  dropCache() { this.windows = []; },
  open(path) {
    const file = this.files.get(path);
    if (!file) return 0;
    const id = this.nextFile++;
    this.opened.set(id, file);
    return id;
  },
  close(id) { this.opened.delete(id); },
  readAt(id, position, length) {
    const file = this.opened.get(id);
    const end = Math.min(file.size, position + length);
    const k = this.windows.findIndex((w) => w.file === file && position >= w.start && end <= w.start + w.bytes.length);
    let w;
    if (k >= 0) {
      w = this.windows[k];
      if (k > 0) this.windows.splice(k, 1), this.windows.unshift(w);
    } else {
      if (end - position > CACHE_SIZE) return this.readSlice(file, position, end);
      const start = position - (position % WINDOW_ALIGN);
      const stop = Math.min(file.size, Math.max(start + CACHE_SIZE, end));
      w = {file, start, bytes: this.readSlice(file, start, stop)};
      this.windows.unshift(w);
      if (this.windows.length > CACHE_WINDOWS) this.windows.pop();
    }
    const from = position - w.start;
    return w.bytes.subarray(from, from + (end - position));
  },
  readSlice(file, start, end) {
    const bytes = new Uint8Array(new FileReaderSync().readAsArrayBuffer(file.slice(start, end)));
    this.bytesRead += bytes.length;
    if (!this.save) progress({bytes: this.bytesRead});  // a save reports the bytes it wrote
    return bytes;
  },
  outputCreate(name) {
    const output = this.sink && this.sink(name);
    if (!output) return 0;
    const id = this.nextId++;
    this.outputs.set(id, output);
    return id;
  },
  outputWrite(id, bytes) {
    const output = this.outputs.get(id);
    return output ? output.write(bytes) : false;
  },
  outputClose(id, keep) {
    const output = this.outputs.get(id);
    this.outputs.delete(id);
    return output ? output.close(keep) : false;
  },
});

function post(message, transfer) { self.postMessage(message, transfer || []); }

// Progress of the current operation, at most ten times a second.
function progress(what) {
  const now = Date.now();
  if (busy === null || now - io.lastProgress < 100) return;
  io.lastProgress = now;
  post({type: 'progress', id: busy, ...what});
}

const UNREADABLE = 'The file can no longer be read (it was changed, moved or removed since it was chosen). ' +
  'Choose it again.';

// Thrown when the browser refused a read: nothing read after it is taken for the file.
class Unreadable extends Error {}
function checkReads() {
  if (io.readFailed) throw new Unreadable(UNREADABLE);
}

async function start() {
  engine = await createEngine({print() {}, printErr() {}});
  const c = (name, ret, args) => engine.cwrap(name, ret, args);
  api = {
    probe: c('MorquentProbe', 'number', ['string', 'number']),
    leavesName: c('MorquentLeavesName', 'number', ['string']),
    list: c('MorquentList', 'number', ['number', 'number', 'number']),
    listSlots: c('MorquentListSlots', 'number', ['number', 'number', 'number']),
    slotResult: c('MorquentSlotResult', 'number', ['number']),
    slotMissing: c('MorquentSlotMissing', 'number', ['number']),
    locate: c('MorquentLocate', 'number', ['number']),
    contentStart: c('MorquentContentStart', 'number', ['number']),
    count: c('MorquentCount', 'number', []),
    layoutName: c('MorquentLayoutName', 'string', []),
    name: c('MorquentName', 'string', ['number']),
    position: c('MorquentPosition', 'number', ['number']),
    stored: c('MorquentStored', 'number', ['number']),
    size: c('MorquentSize', 'number', ['number']),
    check: c('MorquentCheck', 'number', ['number', 'number', 'number']),
    missing: c('MorquentMissing', 'number', ['number']),
    storedMissing: c('MorquentStoredMissing', 'number', ['number']),
    compressed: c('MorquentCompressed', 'number', ['number']),
    damaged: c('MorquentDamaged', 'number', ['number']),
    lack: c('MorquentLack', 'string', ['number']),
    resultMeaning: c('MorquentResultMeaning', 'string', ['number']),
    extract: c('MorquentExtract', 'number', ['number', 'number']),
    save: c('MorquentSave', 'number', ['number', 'number', 'number', 'number']),
    saveError: c('MorquentSaveError', 'string', []),
    slotCount: c('MorquentSlotCount', 'number', ['number']),
    maxSlots: c('MorquentMaxSlots', 'number', []),
    maxPlain: c('MorquentMaxPlain', 'number', []),
    maxCompressed: c('MorquentMaxCompressed', 'number', []),
  };
}

const heapSize = () => engine.HEAP8.length;
let heapPeak = 0;
function notePeak() { heapPeak = Math.max(heapPeak, heapSize()); }

// The records of the last listing, with where plain content lies.
function records(bySlot, offset) {
  const count = api.count();
  api.locate(offset);
  checkReads();
  const entries = new Array(count);
  for (let i = 0; i < count; i++) {
    entries[i] = {name: api.name(i), position: api.position(i), stored: api.stored(i), size: api.size(i),
      start: api.contentStart(i)};
    if (bySlot) {
      entries[i].result = api.slotResult(i);
      entries[i].slotMissing = api.slotMissing(i);
      entries[i].lack = api.lack(i);
    }
  }
  return entries;
}

// Probe and list: the listing, or why the file is refused.
function open(m) {
  io.files.set('archive', m.file);
  io.readFailed = null;
  io.bytesRead = 0;
  archive = null;
  ++generation;
  if (m.file.size === 0) return {type: 'refused', id: m.id, reason: 'empty'};
  if (m.offset >= m.file.size) return {type: 'refused', id: m.id, reason: 'offset', size: m.file.size};
  const probed = api.probe(m.file.name, m.offset);
  checkReads();
  if (probed !== 1) return {type: 'refused', id: m.id, reason: api.leavesName(m.file.name) ? 'media-name' : 'not-archive'};
  const result = api.list(m.numbering, m.fullScan ? 1 : 0, m.offset);
  checkReads();
  notePeak();
  let bySlot = false;
  if (result !== 0) {
    // The settings change what the listing accepts (a compressed first entry
    // of unknown content is sized only by a full scan): say which would do.
    for (const fullScan of [false, true]) {
      for (const numbering of [0, 1, 2]) {
        if (numbering === m.numbering && fullScan === !!m.fullScan) continue;
        if (api.list(numbering, fullScan ? 1 : 0, m.offset) === 0) {
          checkReads();
          api.list(m.numbering, m.fullScan ? 1 : 0, m.offset);  // leave nothing listed in other settings
          return {type: 'refused', id: m.id, reason: 'settings', result, numbering, fullScan};
        }
      }
    }
    checkReads();
    // An entry whose record cannot be built (an archive cut short): the
    // others are read slot by slot, as qordat test and extract read them.
    if (result !== 3) return {type: 'refused', id: m.id, reason: 'not-listed', result};
    api.list(m.numbering, m.fullScan ? 1 : 0, m.offset);  // the layout, as this setting detects it
    const bySlotResult = api.listSlots(m.numbering, m.fullScan ? 1 : 0, m.offset);
    checkReads();
    if (bySlotResult !== 0) return {type: 'refused', id: m.id, reason: 'not-listed', result};
    bySlot = true;
  }
  const entries = records(bySlot, m.offset);
  archive = {offset: m.offset, count: entries.length, numbering: m.numbering, fullScan: !!m.fullScan, bySlot};
  // What an edit may hold, for the page to refuse one when it is made.
  const limits = {slots: api.maxSlots(), archiveSlots: api.slotCount(m.offset), plain: api.maxPlain(),
    compressed: api.maxCompressed()};
  return {type: 'listed', id: m.id, entries, layout: api.layoutName(), fileSize: m.file.size, bySlot, limits};
}

// What each entry lacks, in batches between which other requests are served.
async function checkDamage(id) {
  const gen = generation;
  const batch = 64;
  for (let first = 0; archive && first < archive.count; first += batch) {
    await new Promise((resolve) => setTimeout(resolve, 0));
    if (gen !== generation || !archive) return;
    const result = api.check(first, batch, archive.offset);
    if (io.readFailed) {
      post({type: 'failed', id, message: UNREADABLE, unreadable: true});
      return;
    }
    notePeak();
    const n = Math.min(batch, archive.count - first);
    const items = new Array(n);
    for (let k = 0; k < n; k++) {
      const i = first + k;
      items[k] = result === 0
        ? {missing: api.missing(i), storedMissing: api.storedMissing(i), compressed: !!api.compressed(i),
          damaged: !!api.damaged(i), lack: api.lack(i)}
        : {missing: null, compressed: null, damaged: false, lack: ''};
    }
    post({type: 'damage', id, first, items});
  }
  if (gen !== generation) return;
  io.dropCache();  // the windows are not held while the page only shows the listing
  post({type: 'checked', id});
}

// Pieces gathered into blocks of up to GATHER_SIZE bytes: a Blob of a few
// large parts is made much faster than one of a thousand 64 KiB parts; a
// streamed entry goes out block by block.
const GATHER_SIZE = 8 << 20;
class Gathered {
  constructor(emit = null) {
    this.parts = [];
    this.block = null;
    this.used = 0;
    this.size = 0;
    this.emit = emit;  // takes each full block instead of keeping it
  }
  add(bytes) {
    for (let at = 0; at < bytes.length;) {
      if (!this.block || this.used === this.block.length) this.flush(), (this.block = new Uint8Array(GATHER_SIZE));
      const n = Math.min(bytes.length - at, this.block.length - this.used);
      this.block.set(bytes.subarray(at, at + n), this.used);
      this.used += n;
      at += n;
    }
    this.size += bytes.length;
  }
  flush() {
    if (this.block && this.used) {
      const part = this.block.subarray(0, this.used);
      if (this.emit) this.emit(part);
      else this.parts.push(part);
    }
    this.block = null;
    this.used = 0;
  }
  blob() {
    this.flush();
    return new Blob(this.parts);
  }
}

// The entry at `position` through the calls' disk output, its pieces
// gathered (or handed to `emit` block by block). With a limit, the output
// stops once it holds that many bytes (a preview).
function extractEntry(position, limit, emit) {
  let name = null;
  const gathered = new Gathered(emit);
  let cut = false;
  io.sink = (outputName) => {
    name = outputName;
    return {
      write(bytes) {
        if (limit && gathered.size + bytes.length >= limit) {
          gathered.add(bytes.subarray(0, limit - gathered.size));
          cut = true;
          return false;  // enough: the extraction stops here
        }
        gathered.add(bytes);
        progress({bytes: gathered.size});
        return true;
      },
      close(keep) { return keep; },
    };
  };
  let result;
  try {
    result = api.extract(position, archive.offset);
  } finally {
    io.sink = null;
  }
  checkReads();
  notePeak();
  if (result !== 0 && !cut) return {result, name};
  const blob = gathered.blob();
  return {result: 0, name, blob: emit ? null : blob, size: gathered.size, cut};
}


// ---- saving an edited archive ----

// What readers get of every slot of the archive listed last (every slot
// listed, in table order).
function slotsListed() {
  const count = api.count();
  const slots = new Array(count);
  for (let i = 0; i < count; i++) slots[i] = {size: api.size(i), stored: api.stored(i)};
  return {layout: api.layoutName(), slots};
}

// The open archive with the edits, written through the engine's writer:
// `slots`: [{slot, file}] (file: an index into `files`, or -1 to empty the
// slot), `added`: indexes into `files` (or -1, empty), one new slot each
// after the last.
// The result is read back as a host reads it (the probe under the archive's
// name, the listing, its layout, every slot's size) before it is handed over.
function saveArchive(m) {
  if (!archive) throw new Unreadable('No archive is open: choose the file again.');
  if (archive.bySlot) {
    return {type: 'failed', id: m.id, message: 'it is damaged (cut short), and only whole archives are saved.'};
  }
  const original = io.files.get('archive');
  const {offset, fullScan} = archive;
  const scan = fullScan ? 1 : 0;
  const fail = (why) => ({type: 'failed', id: m.id, message: `${why}.`});
  let saved;
  try {
    // Every slot listed (dummies): what readers get of it now, the layout,
    // and the records the engine reads declared sizes from.
    const listedBefore = api.list(0, scan, offset);
    checkReads();
    if (listedBefore !== 0) return fail(`it cannot be listed again (${api.resultMeaning(listedBefore)})`);
    const before = slotsListed();
    const count = before.slots.length;
    const total = count + m.added.length;
    const actions = new Int32Array(total).fill(-1);
    for (const edit of m.slots) {
      if (edit.slot < 0 || edit.slot >= count) return fail(`it holds no slot ${edit.slot}`);
      actions[edit.slot] = edit.file >= 0 ? edit.file : -2;
    }
    m.added.forEach((k, j) => (actions[count + j] = k >= 0 ? k : -2));
    const parts = new ArchiveParts(original);
    io.save = {
      write: (bytes) => parts.write(bytes) && (progress({bytes: parts.size}), true),
      copy: (start, length) => parts.copy(start, length) && (progress({bytes: parts.size}), true),
      rewrite: (at, bytes) => parts.rewrite(at, bytes),
      cut: (length) => parts.cut(length),
      editName: (k) => m.files[k].name,
    };
    // The new content, read by the engine through the seam.
    m.files.forEach((file, k) => io.files.set(`edit-${k}`, file));
    const actionsAt = engine._malloc(actions.byteLength || 4);
    const sizesAt = engine._malloc(8 * m.files.length || 8);
    let result;
    try {
      engine.HEAP32.set(actions, actionsAt >> 2);
      engine.HEAPF64.set(m.files.map((f) => f.size), sizesAt >> 3);
      result = api.save(offset, actionsAt, total, sizesAt);
    } finally {
      engine._free(actionsAt);
      engine._free(sizesAt);
      io.save = null;
      m.files.forEach((_, k) => io.files.delete(`edit-${k}`));
    }
    notePeak();
    if (result !== 0) {
      io.readFailed = null;  // what could not be read (a new file, the archive) is in the engine's words
      return fail(api.saveError());
    }
    saved = parts.blob();

    // Read back as a host reads it.
    io.files.set('archive', saved);
    io.dropCache();
    const problems = [];
    if (api.probe(original.name, offset) !== 1) problems.push('readers would not take it for an archive');
    else {
      const listedAfter = api.list(0, scan, offset);
      if (listedAfter !== 0) problems.push(`readers would refuse it (${api.resultMeaning(listedAfter)})`);
      else {
        const after = slotsListed();
        if (after.layout !== before.layout) {
          problems.push(`readers would take its heads for the ${after.layout} layout, not ${before.layout}`);
        }
        if (after.slots.length !== total) problems.push(`readers would list ${after.slots.length} slots of ${total}`);
        for (let i = 0; i < total && i < after.slots.length && problems.length < 8; i++) {
          const got = after.slots[i];
          const k = actions[i];
          const want = k === -1 ? before.slots[i].size : k === -2 ? 0 : m.files[k].size;
          if (k === -2 && got.stored !== 0) problems.push(`slot ${i}: readers would find content in it`);
          else if (k === -1 && got.stored !== before.slots[i].stored) problems.push(`slot ${i}: its stored size changed`);
          else if (got.size !== want) problems.push(`slot ${i}: readers would get ${got.size} bytes of its ${want}`);
        }
      }
    }
    checkReads();
    if (problems.length) return fail(problems.join('; '));
  } finally {
    // The archive open again as the page lists it.
    io.files.set('archive', original);
    io.dropCache();
    api.list(archive.numbering, scan, offset);
    notePeak();
  }
  return {type: 'archive', id: m.id, name: original.name, blob: saved, size: saved.size};
}

const loaded = start();
loaded.then(() => post({type: 'ready'}),
  (error) => post({type: 'unavailable', message: String((error && error.message) || error)}));

self.onmessage = async (event) => {
  const m = event.data;
  try {
    await loaded;
  } catch {
    return;  // said once, as 'unavailable'
  }
  busy = m.id;
  io.dropCache();
  io.lastProgress = Date.now();
  try {
    if (m.op === 'open') {
      const answer = open(m);
      post(answer);
      if (answer.type === 'listed') checkDamage(m.id).catch(report(m));
    } else if (m.op === 'extract') {
      if (!archive) throw new Unreadable('No archive is open: choose the file again.');
      const emit = m.stream ? (part) => post({type: 'piece', id: m.id, bytes: part}, [part.buffer]) : null;
      const out = extractEntry(m.position, m.limit || 0, emit);
      if (out.result !== 0) post({type: 'failed', id: m.id, message: `The entry could not be extracted (result ${out.result}).`});
      else post({type: 'entry', id: m.id, name: out.name, blob: out.blob || undefined, size: out.size, cut: out.cut});
    } else if (m.op === 'save') {
      post(saveArchive(m));
    } else if (m.op === 'stats') {
      post({type: 'stats', id: m.id, heap: heapSize(), heapPeak: Math.max(heapPeak, heapSize())});
    }
  } catch (error) {
    report(m)(error);
  } finally {
    busy = null;
  }
};

// A read the browser refused is the file's fault; anything else (an abort or
// trap of the module) leaves the module unusable, and the page replaces the worker.
function report(m) {
  return (error) => {
    if (error instanceof Unreadable) post({type: 'failed', id: m.id, message: error.message, unreadable: true});
    else post({type: 'crash', id: m.id, message: String((error && error.message) || error)});
  };
}
