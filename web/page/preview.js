// The preview of one entry, beside the list (below it on narrow screens):
// pictures fitted to the box (a click shows them at 1:1) with their size and
// bit depth, waves with their duration, rate and channels, and the first
// bytes of anything else in hex and as text.
const $ = (selector) => document.querySelector(selector);
const bytes = (n) => Number(n).toLocaleString('en-US');
export const extensionOf = (name) => (name.includes('.') ? name.slice(name.lastIndexOf('.') + 1).toUpperCase() : '');
export const isPicture = (entry) => ['BMP', 'PNG'].includes(extensionOf(entry.name));
export const isWave = (entry) => extensionOf(entry.name) === 'WAV';

const TEXT_BYTES = 64 * 1024;            // what other entries show of themselves
const QUICK_MEDIA = 32 * 1024 * 1024;    // larger pictures and waves wait for Enter

/**
 * A picture's width, height and bits per pixel from its first bytes (a
 * Windows bitmap or a PNG), or null when they are not one.
 * @param {Uint8Array} b
 */
export function pictureInfo(b) {
  const v = new DataView(b.buffer, b.byteOffset, b.byteLength);
  if (b.length >= 30 && b[0] === 0x42 && b[1] === 0x4d) {
    const header = v.getUint32(14, true);
    if (header === 12) return {width: v.getUint16(18, true), height: v.getUint16(20, true), bits: v.getUint16(24, true)};
    return {width: Math.abs(v.getInt32(18, true)), height: Math.abs(v.getInt32(22, true)), bits: v.getUint16(28, true)};
  }
  const png = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];
  if (b.length >= 26 && png.every((x, i) => b[i] === x)) {
    const channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[b[25]] || 1;
    return {width: v.getUint32(16), height: v.getUint32(20), bits: b[24] * channels};
  }
  return null;
}

/**
 * A RIFF wave's rate, channels, sample size and duration (from its data
 * chunk's size), or null when the bytes are not one.
 * @param {Uint8Array} b  at least the header (the first 64 KiB do)
 * @param {number} total  the wave's size, bounding a data chunk that claims more
 */
export function waveInfo(b, total = b.length) {
  const v = new DataView(b.buffer, b.byteOffset, b.byteLength);
  const tag = (at) => String.fromCharCode(b[at], b[at + 1], b[at + 2], b[at + 3]);
  if (b.length < 12 || tag(0) !== 'RIFF' || tag(8) !== 'WAVE') return null;
  let format = null;
  for (let at = 12; at + 8 <= b.length;) {
    const id = tag(at);
    const size = v.getUint32(at + 4, true);
    if (id === 'fmt ' && at + 24 <= b.length) {
      format = {channels: v.getUint16(at + 10, true), rate: v.getUint32(at + 12, true),
        byteRate: v.getUint32(at + 16, true), bits: v.getUint16(at + 22, true)};
    } else if (id === 'data' && format) {
      const data = Math.min(size, Math.max(0, total - at - 8));
      return {...format, seconds: format.byteRate ? data / format.byteRate : 0};
    }
    at += 8 + size + (size & 1);
  }
  return null;
}

export function hexDump(data) {
  const lines = [];
  for (let at = 0; at < data.length; at += 16) {
    const row = data.subarray(at, at + 16);
    const hex = Array.from(row, (b) => b.toString(16).padStart(2, '0')).join(' ');
    const text = Array.from(row, (b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : '.')).join('');
    lines.push(`${at.toString(16).padStart(8, '0')}  ${hex.padEnd(47)}  ${text}`);
  }
  return lines.join('\n');
}

const channelsText = (n) => (n === 1 ? 'mono' : n === 2 ? 'stereo' : `${n} channels`);

export class Preview {
  /**
   * @param {object} page  {read(entry, limit) -> Promise<{blob, size, cut}|null>, urls: string[],
   *   onEntry?(entry|null): the entry shown changed}
   */
  constructor(page) {
    this.page = page;
    this.entry = null;
    this.loading = null;
    $('#preview-body').addEventListener('click', (event) => {
      const img = event.target.closest('img');
      if (!img) return;
      img.classList.toggle('actual');
      img.title = img.classList.contains('actual') ? 'Actual size: click to fit' : 'Fitted: click for actual size';
    });
  }

  clear() {
    this.entry = null;
    this.loading = null;
    this.page.onEntry?.(null);
    $('#preview').dataset.state = 'empty';
    $('#preview-title').textContent = 'Preview';
    $('#preview-note').textContent = 'Select an entry to see it here.';
    $('#preview-body').replaceChildren();
  }

  /**
   * Shows `entry`; a large picture or wave only when `force` (Enter, a click).
   * `again`: shown anew though it is the entry shown (its content changed).
   */
  async show(entry, force = false, again = false) {
    if (!entry) return;
    if (!again && this.entry === entry && (this.loading === entry || $('#preview').dataset.state === 'shown')) return;
    this.entry = entry;
    this.page.onEntry?.(entry);
    const media = isPicture(entry) || isWave(entry);
    $('#preview-title').textContent = entry.name;
    const body = $('#preview-body');
    const preview = $('#preview');
    if (entry.noRecord) {
      preview.dataset.state = 'shown';
      $('#preview-note').textContent = `Slot ${entry.position / 3 | 0}: no record can be built, nothing to show ` +
        `(${entry.lack || 'its record is cut'}).`;
      body.replaceChildren();
      return;
    }
    if (media && entry.size > QUICK_MEDIA && !force) {
      preview.dataset.state = 'waiting';
      $('#preview-note').textContent = `${bytes(entry.size)} bytes: press Enter or click it to show it.`;
      body.replaceChildren();
      return;
    }
    preview.dataset.state = 'loading';
    $('#preview-note').textContent = 'Reading…';
    this.loading = entry;
    const m = await this.page.read(entry, media ? 0 : TEXT_BYTES);
    if (this.entry !== entry) return;
    this.loading = null;
    if (!m) {
      preview.dataset.state = 'failed';
      $('#preview-note').textContent = 'It could not be read.';
      body.replaceChildren();
      return;
    }
    const url = URL.createObjectURL(m.blob);
    this.page.urls.push(url);
    const head = new Uint8Array(await m.blob.slice(0, TEXT_BYTES).arrayBuffer());
    if (this.entry !== entry) return;
    const notes = [];
    if (entry.state === 'damaged') notes.push(`Damaged: ${entry.lack}; what is missing is shown as zeros.`);
    // Named a picture but holding none (a file put in its place): its bytes
    // are shown, not a broken picture.
    const info = isPicture(entry) ? pictureInfo(head) : null;
    if (info) {
      notes.push(`${info.width} × ${info.height}, ${info.bits}-bit; ${bytes(entry.size)} bytes.`);
      const img = document.createElement('img');
      img.src = url;
      img.alt = `${entry.name}, fitted`;
      img.title = 'Fitted: click for actual size';
      body.replaceChildren(img);
    } else if (isWave(entry)) {
      const info = waveInfo(head, m.size);
      notes.push(info ? `${info.seconds.toFixed(2)} s, ${bytes(info.rate)} Hz, ${channelsText(info.channels)}, ` +
        `${info.bits}-bit; ${bytes(entry.size)} bytes.` : `${bytes(entry.size)} bytes.`);
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
      notes.push(m.cut ? `The first ${bytes(m.size)} of ${bytes(entry.size)} bytes.` : `${bytes(entry.size)} bytes.`);
      const dump = document.createElement('div');
      dump.className = 'dump';
      const hex = document.createElement('pre');
      hex.className = 'hex';
      hex.setAttribute('aria-label', 'Bytes in hexadecimal');
      hex.tabIndex = 0;
      hex.textContent = hexDump(head);
      const text = document.createElement('pre');
      text.className = 'text';
      text.setAttribute('aria-label', 'Bytes as text');
      text.tabIndex = 0;
      text.textContent = new TextDecoder('utf-8').decode(head).replace(/[\u0000-\u0008\u000b-\u001f\u007f]/g, '·');
      dump.append(hex, text);
      body.replaceChildren(dump);
    }
    $('#preview-note').textContent = notes.join(' ');
    preview.dataset.state = 'shown';
  }

  /** Space: plays or pauses the wave shown; false when none is. */
  playPause() {
    const audio = $('#preview-body audio');
    if (!audio) return false;
    if (audio.paused) audio.play().catch(() => {});
    else audio.pause();
    return true;
  }
}
