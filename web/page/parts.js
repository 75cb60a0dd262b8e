// The archive the page saves, put together as the engine writes it
// (MorquentSave in web/engine/engine.cpp, by way of the worker): ranges of
// the File, copied as they are, become slices of it (never read here); the
// new bytes (the table, the heads, new content and its streams) are gathered
// in an 8 MiB block that becomes a Blob when full, which the browser may
// keep on disk. The bytes the writer gives again at the end (the table, the
// heads whose fields it learnt later) are patched into the block while it
// still holds them, else laid over the parts when the Blob is made. So the
// archive is never held whole in memory, and the module's heap only lends
// each piece for the moment it is handed over.

const BLOCK_SIZE = 8 << 20;

export class ArchiveParts {
  /** @param {Blob} file  the archive's file, which copied ranges are slices of */
  constructor(file, blockSize = BLOCK_SIZE) {
    this.file = file;
    this.parts = [];  // {at, size, blob} or {at, size, range: [start, end]}, in order
    this.block = new Uint8Array(blockSize);
    this.used = 0;
    this.blockAt = 0;  // where the block's first byte goes
    this.size = 0;
    this.patches = new Map();  // at -> bytes, laid over the parts
  }

  flush() {
    if (this.used) this.parts.push({at: this.blockAt, size: this.used, blob: new Blob([this.block.subarray(0, this.used)])});
    this.used = 0;
    this.blockAt = this.size;
  }

  /** New bytes at the end (copied: the caller may reuse them). */
  write(bytes) {
    for (let at = 0; at < bytes.length;) {
      if (this.used === this.block.length) this.flush();
      if (this.used === 0) this.blockAt = this.size;
      const n = Math.min(bytes.length - at, this.block.length - this.used);
      this.block.set(bytes.subarray(at, at + n), this.used);
      this.used += n;
      this.size += n;
      at += n;
    }
    return true;
  }

  /** `length` bytes of the file from `start`, as they are. */
  copy(start, length) {
    if (start < 0 || length < 0 || start + length > this.file.size) return false;
    this.flush();
    const last = this.parts[this.parts.length - 1];
    if (last && last.range && last.range[1] === start) {
      last.range[1] += length;
      last.size += length;
    } else if (length) {
      this.parts.push({at: this.size, size: length, range: [start, start + length]});
    }
    this.size += length;
    this.blockAt = this.size;
    return true;
  }

  /** New bytes for bytes written before (those of one earlier write). */
  rewrite(at, bytes) {
    if (at < 0 || at + bytes.length > this.size) return false;
    if (this.used && at >= this.blockAt && at + bytes.length <= this.blockAt + this.used) {
      this.block.set(bytes, at - this.blockAt);
    } else {
      this.patches.set(at, bytes.slice());
    }
    return true;
  }

  /** Drops every byte from `length` on. */
  cut(length) {
    if (length < 0 || length > this.size) return false;
    this.flush();
    this.parts = this.parts.filter((p) => p.at < length);
    const last = this.parts[this.parts.length - 1];
    if (last && last.at + last.size > length) {
      const keep = length - last.at;
      if (last.range) last.range[1] = last.range[0] + keep;
      else last.blob = last.blob.slice(0, keep);
      last.size = keep;
    }
    for (const [at, bytes] of this.patches) {
      if (at >= length) this.patches.delete(at);
      else if (at + bytes.length > length) this.patches.set(at, bytes.subarray(0, length - at));
    }
    this.size = length;
    this.blockAt = length;
    return true;
  }

  /** The archive: the parts in order, the patches laid over them. */
  blob() {
    this.flush();
    const patches = [...this.patches].map(([at, bytes]) => ({at, bytes})).sort((a, b) => a.at - b.at);
    const out = [];
    let first = 0;
    for (const part of this.parts) {
      const end = part.at + part.size;
      const source = part.blob || this.file.slice(part.range[0], part.range[1]);
      while (first < patches.length && patches[first].at + patches[first].bytes.length <= part.at) first++;
      let cursor = part.at;
      for (let k = first; k < patches.length && patches[k].at < end; k++) {
        const p = patches[k];
        const from = Math.max(p.at, cursor);
        const to = Math.min(p.at + p.bytes.length, end);
        if (from > cursor) out.push(source.slice(cursor - part.at, from - part.at));
        if (to > from) out.push(p.bytes.subarray(from - p.at, to - p.at));
        cursor = Math.max(cursor, to);
      }
      if (cursor < end) out.push(cursor === part.at ? source : source.slice(cursor - part.at));
    }
    return new Blob(out, {type: 'application/octet-stream'});
  }
}
