// Changes to the archive, kept as a list that Undo walks back: a slot's
// content replaced by a file, a slot emptied, a slot added at the end from a
// file. The rows show them (data-state replaced, emptied, added); Save the
// archive writes them through the engine's archive writer (save.js). What
// the format cannot hold (a file of 2 GiB or more, a slot past the 8,191
// an archive holds) is refused when the change is made, by the engine's
// bounds, which the listing brings (protocol.js, EditLimits).

const bytes = (n) => Number(n).toLocaleString('en-US');

export class Edits {
  /** @param {(entry) => void} onChange  called with the entry after every change and undo */
  constructor(onChange) {
    this.onChange = onChange;
    this.done = [];  // {entry, before: {state, edit}} in the order made
    this.limits = null;  // the listing's EditLimits
  }

  reset(limits = null) {
    this.done = [];
    this.limits = limits;
  }
  get count() { return this.done.length; }

  apply(entry, edit, state) {
    this.done.push({entry, before: {state: entry.state, edit: entry.edit || null, size: entry.size}});
    entry.edit = edit;
    entry.state = state;
    if (edit.file) entry.size = edit.file.size;
    if (state === 'emptied') entry.size = 0;
    this.onChange(entry);
  }

  /** Why `file` cannot become `entry`'s content, in words; null when it can. */
  replaceRefusal(entry, file) {
    const limits = this.limits;
    if (!limits) return null;
    const compressed = !entry.added && entry.compressed === true;
    const most = compressed ? limits.compressed : limits.plain;
    if (file.size <= most) return null;
    return `${file.name} (${bytes(file.size)} bytes) cannot replace ${entry.name}: an entry stored ` +
      `${compressed ? 'compressed' : 'plain'} in this archive holds at most ${bytes(most)} bytes (the format's ` +
      'sizes are under 2 GiB). Nothing was changed.';
  }

  /** Why `file` cannot be added as a new slot, in words; null when it can. */
  addRefusal(entries, file) {
    const limits = this.limits;
    if (!limits) return null;
    const slots = limits.archiveSlots + entries.filter((e) => e.added).length;
    if (limits.archiveSlots >= 0 && slots >= limits.slots) {
      return `${file.name} cannot be added: the archive would hold ${bytes(slots + 1)} slots, and the format ` +
        `holds ${bytes(limits.slots)} at most. Nothing was changed.`;
    }
    if (file.size > limits.plain) {
      return `${file.name} (${bytes(file.size)} bytes) cannot be added: a new entry holds at most ` +
        `${bytes(limits.plain)} bytes (the format's sizes are under 2 GiB). Nothing was changed.`;
    }
    return null;
  }

  /** The slot's content becomes `file`'s, stored as the slot was (compressed if it was). */
  replace(entry, file) { this.apply(entry, {kind: 'replace', file}, entry.state === 'added' ? 'added' : 'replaced'); }
  /** The slot stays, with no content. */
  empty(entry) { this.apply(entry, {kind: 'empty'}, 'emptied'); }

  /** A new slot after the last, holding `file` (stored plain); the entry to list. */
  add(entries, file) {
    const entry = {index: entries.length, name: file.name, position: -1, stored: file.size, size: file.size, start: -1,
      state: 'added', missing: 0, compressed: false, added: true, edit: {kind: 'add', file}};
    entries.push(entry);
    this.done.push({entry, before: null});
    this.onChange(entry);
    return entry;
  }

  /** Takes back the last change; false when there is none. */
  undo(entries) {
    const last = this.done.pop();
    if (!last) return false;
    if (!last.before) entries.splice(entries.indexOf(last.entry), 1);
    else Object.assign(last.entry, last.before);
    this.onChange(last.entry);
    return true;
  }

  /**
   * The changes as the worker's save request takes them (protocol.js,
   * SaveRequest): each slot's last change, the added slots in order.
   */
  request(entries) {
    const files = [];
    const slots = [];
    const added = [];
    for (const entry of entries) {
      if (!entry.edit) continue;
      const file = entry.edit.kind === 'empty' ? -1 : files.push(entry.edit.file) - 1;
      if (entry.added) added.push(file);
      else slots.push({slot: Math.floor(entry.position / 3), file});
    }
    return {files, slots, added};
  }
}
