// Changes to the archive, kept as a list that Undo walks back: a slot's
// content replaced by a file, a slot emptied, a slot added at the end from a
// file. The rows show them (data-state replaced, emptied, added). Writing
// the changed archive belongs to the archive writer (qordat's repack),
// which the module does not hold yet: until it does, #save-archive says so.

export class Edits {
  /** @param {() => void} onChange  called after every change and undo */
  constructor(onChange) {
    this.onChange = onChange;
    this.done = [];  // {entry, before: {state, edit}} in the order made
  }

  reset() { this.done = []; }
  get count() { return this.done.length; }

  apply(entry, edit, state) {
    this.done.push({entry, before: {state: entry.state, edit: entry.edit || null, size: entry.size}});
    entry.edit = edit;
    entry.state = state;
    if (edit.file) entry.size = edit.file.size;
    if (state === 'emptied') entry.size = 0;
    this.onChange();
  }

  /** The slot's content becomes `file`'s, stored as the slot was (compressed if it was). */
  replace(entry, file) { this.apply(entry, {kind: 'replace', file}, entry.state === 'added' ? 'added' : 'replaced'); }
  /** The slot stays, with no content. */
  empty(entry) { this.apply(entry, {kind: 'empty'}, 'emptied'); }

  /** A new slot after the last, holding `file`; the entry to list. */
  add(entries, file) {
    const entry = {index: entries.length, name: file.name, position: -1, stored: file.size, size: file.size, start: -1,
      state: 'added', missing: 0, compressed: false, added: true, edit: {kind: 'add', file}};
    entries.push(entry);
    this.done.push({entry, before: null});
    this.onChange();
    return entry;
  }

  /** Takes back the last change; false when there is none. */
  undo(entries) {
    const last = this.done.pop();
    if (!last) return false;
    if (!last.before) entries.splice(entries.indexOf(last.entry), 1);
    else Object.assign(last.entry, last.before);
    this.onChange();
    return true;
  }
}
