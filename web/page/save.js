// Saving entries. A plain entry whole in the file is a slice of the File the
// person gave (nothing is copied); a compressed one runs through the
// module's extraction, and goes straight to disk where the browser lets the
// page write a file the person chose (the File System Access API), else into
// a Blob built in 8 MiB pieces. Several entries go into one zip (Zip64 when
// they need it), written as it is read.
import {downloadZip, predictLength} from './client-zip.js';

const $ = (selector) => document.querySelector(selector);
const bytes = (n) => Number(n).toLocaleString('en-US');
const mib = (n) => `${(n / 1048576).toFixed(1)} MiB`;
const canPick = () => typeof window.showSaveFilePicker === 'function';

export class Cancelled extends Error {}
// What a zip takes: whole entries, and changed ones as they now are.
const SAVABLE = new Set(['whole', 'replaced', 'added', 'emptied']);

export class Saver {
  /**
   * @param {object} page  {engine, file(), say(text, action, kind), withProgress(label, work), baseName()}
   */
  constructor(page) {
    this.page = page;
  }

  // The entry's content as a Blob: a slice of the File, or the extraction's.
  async blobOf(entry, onProgress = () => {}) {
    if (entry.edit) return entry.edit.file || new Blob([]);
    if (entry.start >= 0) return readable(this.page.file().slice(entry.start, entry.start + entry.size));
    const m = await this.page.engine.request('extract', {position: entry.position}, (p) => onProgress(p.bytes || 0));
    return m.blob;
  }

  // A file the person chooses to write into, or null where the browser has
  // no such choice (then the browser's download takes the bytes).
  async pickFile(name, description, type) {
    if (!canPick()) return null;
    try {
      return await window.showSaveFilePicker({suggestedName: name,
        types: [{description, accept: {[type]: [`.${name.split('.').pop()}`]}}]});
    } catch (error) {
      if (error && error.name === 'AbortError') throw new Cancelled();
      return null;  // refused for another reason (no user gesture left): the download instead
    }
  }

  /** One entry, under its name. */
  async saveOne(entry) {
    const {say} = this.page;
    if (entry.noRecord) {
      say(`${entry.name} cannot be saved: no record of it can be built (${entry.lack || 'its record is cut'}).`,
        null, 'info');
      return;
    }
    if (entry.state === 'checking') {
      say(`${entry.name} is still being checked; save it in a moment.`, null, 'info');
      return;
    }
    if (entry.state === 'damaged' && !(await confirmDamaged(entry))) return;
    try {
      const handle = await this.pickFile(entry.name, 'Entry', 'application/octet-stream');
      await this.page.withProgress(`Saving ${entry.name}`, entry.size, async (progress, signal) => {
        if (handle) {
          const writable = await handle.createWritable();
          try {
            if (entry.start >= 0 || entry.edit) await writeBlob(await this.blobOf(entry), writable, progress, signal);
            else await this.streamExtraction(entry, writable, progress);
          } catch (error) {
            await writable.abort().catch(() => {});  // no half-written file
            throw error;
          }
          return;
        }
        download(await this.blobOf(entry, progress), entry.name);
      });
    } catch (error) {
      this.failed(error, `${entry.name} was not saved`, `Saving ${entry.name} was cancelled.`);
    }
  }

  // The extraction's pieces written as they come; the file is closed (and
  // so made) only when every piece is written.
  async streamExtraction(entry, writable, progress) {
    let written = Promise.resolve();
    let done = 0;
    await this.page.engine.request('extract', {position: entry.position, stream: true}, null, (piece) => {
      written = written.then(() => writable.write(piece)).then(() => progress((done += piece.length)));
    });
    await written;
    await writable.close();
  }

  /** Several entries in one zip named `zipName`; damaged ones are left out and named. */
  async saveZip(entries, zipName) {
    const {say} = this.page;
    const whole = entries.filter((e) => SAVABLE.has(e.state));
    const damaged = entries.filter((e) => e.state === 'damaged').length;
    const checking = entries.filter((e) => e.state === 'checking').length;
    if (checking) {
      say('The entries are still being checked; save them in a moment.', null, 'info');
      return;
    }
    if (!whole.length) {
      say('There is no whole entry to save.', null, 'info');
      return;
    }
    const lastModified = new Date(this.page.file().lastModified);
    const total = Number(predictLength(whole.map((e) => ({name: e.name, size: e.size, lastModified}))));
    const self = this;
    async function* files() {
      for (const entry of whole) yield {name: entry.name, input: await self.blobOf(entry), size: entry.size, lastModified};
    }
    try {
      const handle = await this.pickFile(zipName, 'Zip archive', 'application/zip');
      await this.page.withProgress(`Writing ${zipName}`, total, async (progress, signal) => {
        const body = downloadZip(files(), {metadata: whole.map((e) => ({name: e.name, size: e.size, lastModified}))}).body;
        if (handle) {
          const writable = await handle.createWritable();
          try {
            await pipe(body, writable, progress, signal);
          } catch (error) {
            await writable.abort().catch(() => {});
            throw error;
          }
          return;
        }
        const parts = [];
        let done = 0;
        const reader = body.getReader();
        for (;;) {
          if (signal.aborted) {
            reader.cancel().catch(() => {});
            throw new Cancelled();
          }
          const {value, done: end} = await reader.read();
          if (end) break;
          parts.push(value);
          progress((done += value.length));
        }
        download(new Blob(parts, {type: 'application/zip'}), zipName);
      });
      const left = damaged ? ` ${damaged} damaged ${damaged === 1 ? 'entry was' : 'entries were'} left out (save ` +
        `${damaged === 1 ? 'it' : 'them'} one by one).` : '';
      say(`${whole.length} ${whole.length === 1 ? 'entry' : 'entries'} saved in ${zipName}.${left}`, null, 'info');
    } catch (error) {
      this.failed(error, `${zipName} was not saved`, `Saving ${zipName} was cancelled.`);
    }
  }

  /**
   * The open archive with the page's changes (a SaveRequest's fields),
   * under its own name: written by the worker through the engine's archive
   * writer, then piped into the file the person chooses, or downloaded.
   */
  async saveArchive(name, request, changes) {
    const {say} = this.page;
    try {
      const handle = await this.pickFile(name, 'QOR\'s DAT archive', 'application/octet-stream');
      await this.page.withProgress(`Saving ${name}`, 0, async (progress, signal) => {
        const m = await this.page.engine.request('save', request, (p) => progress(p.bytes || 0));
        if (signal.aborted) throw new Cancelled();
        if (handle) {
          const writable = await handle.createWritable();
          try {
            await writeBlob(m.blob, writable, progress, signal);
          } catch (error) {
            await writable.abort().catch(() => {});  // no half-written file
            throw error;
          }
          return;
        }
        download(m.blob, name);
      });
      say(`${name} saved with ${changes} ${changes === 1 ? 'change' : 'changes'} (the archive chosen is as it was).`,
        null, 'info');
    } catch (error) {
      this.failed(error, `${name} was not saved`, `Saving ${name} was cancelled.`);
    }
  }

  failed(error, what, cancelled) {
    if (error instanceof Cancelled || error.cancelled || (error && error.name === 'AbortError')) {
      this.page.say(cancelled, null, 'info');
    } else if (!error.crashed) {
      this.page.say(error.unreadable ? error.message : `${what}: ${error.message}`);
    }
  }
}

// Copies `stream` into `writable`, reporting the bytes done; stops at `signal`.
async function pipe(stream, writable, progress, signal) {
  let done = 0;
  const counter = new TransformStream({transform(chunk, controller) {
    controller.enqueue(chunk);
    progress((done += chunk.length));
  }});
  try {
    await stream.pipeThrough(counter).pipeTo(writable, {signal, preventAbort: true});
  } catch (error) {
    if (signal.aborted) throw new Cancelled();
    throw error;
  }
}

// Writes `blob` into `writable` and closes it, in pieces of 64 MiB handed
// over as Blobs: the browser copies a slice of a File (or a Blob made of
// them) itself, without its bytes passing through the page; reports the
// bytes done; stops at `signal`.
const PIECE = 64 * 1048576;
async function writeBlob(blob, writable, progress, signal) {
  for (let at = 0; at < blob.size; at += PIECE) {
    if (signal.aborted) throw new Cancelled();
    const piece = blob.slice(at, Math.min(blob.size, at + PIECE));
    await writable.write(piece);
    progress(at + piece.size);
  }
  if (signal.aborted) throw new Cancelled();
  await writable.close();
}

export const UNREADABLE = 'The file can no longer be read (it was changed, moved or removed since it was chosen). ' +
  'Choose it again.';

/** `blob` (a slice of the chosen File) once its first byte reads: the file is still the one chosen. */
export async function readable(blob) {
  try {
    await blob.slice(0, 1).arrayBuffer();
  } catch {
    throw Object.assign(new Error(UNREADABLE), {unreadable: true});
  }
  return blob;
}

export function download(blob, name) {
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
  $('#damaged-text').textContent = `${entry.name} is damaged: ${entry.lack}. Saved, it holds zeros in place of ` +
    'what is missing, as a viewer would receive it; it is not the original file.';
  dialog.returnValue = '';
  dialog.showModal();
  return new Promise((resolve) => dialog.addEventListener('close', () => resolve(dialog.returnValue === 'save'),
    {once: true}));
}

export const progressText = (label, done, total) =>
  total ? `${label}: ${mib(done)} of ${mib(total)}` : `${label}: ${mib(done)}`;
