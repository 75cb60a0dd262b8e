// The list of entries: a grid of which only the rows in view are in the
// document (an archive holds up to 8,191 entries), sorted by a column,
// filtered by a pattern, with a selection of several entries. The grid is
// one tab stop: the keyboard moves the active row (aria-activedescendant)
// and the selection; the rows' buttons are reached by pointer, and their
// actions by keys (S saves).
//
// #entries carries data-total (entries listed) and data-shown (after the
// filter); every row in the document carries data-name, data-size,
// data-state and aria-selected.

const bytes = (n) => Number(n).toLocaleString('en-US');
const escapeHtml = (text) => String(text).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);

/** Names compared as people read them: "A2" before "A10", any case. */
export const collator = new Intl.Collator('en', {numeric: true, sensitivity: 'base'});
const STATE_RANK = {whole: 0, replaced: 1, added: 2, emptied: 3, checking: 4, unknown: 5, damaged: 6};

/** The comparison of two entries for each sort key; ties keep the archive's order. */
export const SORTS = {
  name: (a, b) => collator.compare(a.name, b.name),
  size: (a, b) => a.size - b.size,
  stored: (a, b) => a.stored - b.stored,
  state: (a, b) => (STATE_RANK[a.state] ?? 9) - (STATE_RANK[b.state] ?? 9),
};

/**
 * The test of a filter's text: shell wildcards (* ? [set] [!set]) match the
 * whole name; text without them matches anywhere in it. Any case.
 * @param {string} text
 * @returns {(name: string) => boolean}
 */
export function nameFilter(text) {
  const pattern = text.trim();
  if (!pattern) return () => true;
  if (!/[*?[]/.test(pattern)) {
    const needle = pattern.toLowerCase();
    return (name) => name.toLowerCase().includes(needle);
  }
  let source = '';
  for (let i = 0; i < pattern.length; i++) {
    const c = pattern[i];
    if (c === '*') source += '.*';
    else if (c === '?') source += '.';
    else if (c === '[' && pattern.indexOf(']', i + 2) > 0) {
      const end = pattern.indexOf(']', i + 2);
      let set = pattern.slice(i + 1, end);
      const negated = set[0] === '!' || set[0] === '^';
      if (negated) set = set.slice(1);
      source += `[${negated ? '^' : ''}${set.replace(/[\\\]^]/g, '\\$&')}]`;
      i = end;
    } else source += c.replace(/[.+^${}()|\\\]]/g, '\\$&');
  }
  const re = new RegExp(`^${source}$`, 'is');
  return (name) => re.test(name);
}

// The state as the row says it.
export function stateText(entry) {
  switch (entry.state) {
  case 'damaged':
    // The words qordat uses for the same slot (the module's).
    return entry.noRecord ? `no record${entry.lack ? ': ' + entry.lack : ''}` : `damaged: ${entry.lack}`;
  case 'checking': return 'checking…';
  default: return entry.state;
  }
}
const compressedText = (entry) => (entry.compressed === null ? (entry.state === 'checking' ? '…' : '?')
  : entry.compressed ? 'yes' : 'no');

export class EntryList {
  /**
   * @param {HTMLElement} root  #entries, the grid and its scroll box
   * @param {object} hooks  what the page does on the list's behalf
   */
  constructor(root, hooks) {
    this.root = root;
    this.body = root.querySelector('.rows');
    this.hooks = hooks;
    this.entries = [];
    this.shown = [];              // entries after the filter, in the sort's order
    this.posOf = new Int32Array(0);  // entry index -> place in `shown`, or -1
    this.sort = null;             // {key, descending}
    this.match = () => true;
    this.selected = new Set();    // entry indexes
    this.active = -1;             // entry index
    this.anchor = -1;             // where Shift ranges begin
    this.rendered = new Map();    // entry index -> row element
    this.typed = '';
    this.typedAt = 0;
    this.frame = 0;
    this.rowHeight = 44;
    root.addEventListener('scroll', () => this.schedule(), {passive: true});
    root.addEventListener('keydown', (event) => this.key(event));
    root.addEventListener('click', (event) => this.click(event));
    root.addEventListener('dragover', (event) => {
      if (event.target.closest('.row') && hooks.onRowDrop) event.preventDefault();
    });
    root.addEventListener('drop', (event) => {
      const row = event.target.closest('.row');
      if (!row || !hooks.onRowDrop || !event.dataTransfer.files.length) return;
      event.preventDefault();
      event.stopPropagation();
      hooks.onRowDrop(this.entries[Number(row.dataset.index)], event.dataTransfer.files[0]);
    });
    new ResizeObserver(() => this.schedule()).observe(root);
  }

  /** A new listing; the sort and the filter stay as chosen. */
  setEntries(entries) {
    this.entries = entries;
    this.selected.clear();
    this.active = -1;
    this.anchor = -1;
    for (const row of this.rendered.values()) row.remove();
    this.rendered.clear();
    this.root.scrollTop = 0;
    this.root.dataset.total = String(entries.length);
    this.arrange();
  }

  /** Entries changed (their state, a thumbnail): the rows in view are made again. */
  changed(resort = false) {
    if (resort && this.sort && this.sort.key === 'state') {
      this.arrange();
      return;
    }
    cancelAnimationFrame(this.frame);
    this.frame = 0;
    this.dirty = true;
    this.render();
  }

  setFilter(text) {
    this.match = nameFilter(text);
    this.arrange();
  }

  sortBy(key) {
    this.sort = this.sort && this.sort.key === key ? {key, descending: !this.sort.descending} : {key, descending: false};
    for (const header of this.root.querySelectorAll('[role=columnheader]')) {
      const button = header.querySelector('button[data-sort]');
      if (!button) continue;
      header.setAttribute('aria-sort', button.dataset.sort !== key ? 'none'
        : this.sort.descending ? 'descending' : 'ascending');
    }
    this.arrange();
  }

  // Filter and sort again; the active entry stays in view.
  arrange() {
    let shown = this.entries.filter((e) => this.match(e.name));
    if (this.sort) {
      const compare = SORTS[this.sort.key];
      const sign = this.sort.descending ? -1 : 1;
      shown = shown.sort((a, b) => sign * compare(a, b) || a.index - b.index);
    }
    this.shown = shown;
    this.posOf = new Int32Array(this.entries.length).fill(-1);
    shown.forEach((e, at) => (this.posOf[e.index] = at));
    // What the filter hides is no longer selected.
    for (const index of [...this.selected]) if (this.posOf[index] < 0) this.selected.delete(index);
    this.root.dataset.total = String(this.entries.length);  // entries added on the page too
    this.root.dataset.shown = String(shown.length);
    this.root.setAttribute('aria-rowcount', String(shown.length + 1));
    this.body.style.height = `${shown.length * this.rowHeight}px`;
    if (this.active >= 0 && this.posOf[this.active] >= 0) this.reveal(this.posOf[this.active]);
    // At once, not at the next frame: the first rows are there as soon as the
    // listing is; rows whose entry changed (an edit, an undo) are made again.
    cancelAnimationFrame(this.frame);
    this.frame = 0;
    this.dirty = true;
    this.render();
    this.hooks.onSelection();
  }

  schedule(dirty = false) {
    if (dirty) this.dirty = true;
    if (this.frame) return;
    this.frame = requestAnimationFrame(() => {
      this.frame = 0;
      this.render();
    });
  }

  // The rows in view (and a few either side) in the document, no others.
  render() {
    const height = parseFloat(getComputedStyle(this.root).getPropertyValue('--row-h')) || 44;
    if (height !== this.rowHeight) {
      this.rowHeight = height;
      this.body.style.height = `${this.shown.length * height}px`;
      this.dirty = true;
    }
    const top = Math.max(0, this.root.scrollTop - this.body.offsetTop);
    const first = Math.max(0, Math.floor(top / height) - 4);
    const last = Math.min(this.shown.length, Math.ceil((top + this.root.clientHeight) / height) + 4);
    const keep = new Set();
    for (let at = first; at < last; at++) keep.add(this.shown[at].index);
    for (const [index, row] of this.rendered) {
      if (!keep.has(index)) {
        row.remove();
        this.rendered.delete(index);
      }
    }
    const fragment = document.createDocumentFragment();
    for (let at = first; at < last; at++) {
      const entry = this.shown[at];
      let row = this.rendered.get(entry.index);
      // A row is made again only when what it shows changed (a row kept
      // keeps its thumbnail and whatever the pointer is on).
      if (!row || (this.dirty && row.dataset.shows !== this.shows(entry))) {
        const fresh = this.makeRow(entry);
        if (row) row.replaceWith(fresh);
        else fragment.append(fresh);
        row = fresh;
        this.rendered.set(entry.index, row);
      }
      row.style.transform = `translateY(${at * height}px)`;
      row.setAttribute('aria-rowindex', String(at + 2));
    }
    this.body.append(fragment);
    this.dirty = false;
    this.markActive();
    this.hooks.onRendered?.([...keep]);
  }

  // What a row of this entry shows, in one string.
  shows(entry) {
    return `${entry.name}|${entry.size}|${entry.state}|${entry.missing}|${entry.compressed}|` +
      `${this.hooks.thumbnail(entry) ? 1 : 0}`;
  }

  makeRow(entry) {
    const row = document.createElement('div');
    row.dataset.shows = this.shows(entry);
    const name = escapeHtml(entry.name);
    const dot = entry.name.lastIndexOf('.');
    const stem = escapeHtml(dot > 0 ? entry.name.slice(0, dot) : entry.name);
    const ext = escapeHtml(dot > 0 ? entry.name.slice(dot) : '');
    const thumb = this.hooks.thumbnail(entry);
    row.className = 'row';
    row.id = `entry-${entry.index}`;
    row.setAttribute('role', 'row');
    row.dataset.index = entry.index;
    row.dataset.name = entry.name;
    row.dataset.size = entry.size;
    row.dataset.state = entry.state;
    row.setAttribute('aria-selected', String(this.selected.has(entry.index)));
    const savable = !entry.noRecord;
    row.innerHTML = `<span role="gridcell" class="c-thumb">${thumb ? `<img alt="" src="${thumb}">` : ''}</span>` +
      `<span role="gridcell" class="c-name" title="${name}"><span class="stem">${stem}</span>` +
      `<span class="ext">${ext}</span></span>` +
      `<span role="gridcell" class="c-size num">${bytes(entry.size)}</span>` +
      `<span role="gridcell" class="c-stored num">${bytes(entry.stored)}</span>` +
      `<span role="gridcell" class="c-comp">${compressedText(entry)}</span>` +
      `<span role="gridcell" class="c-state">${escapeHtml(stateText(entry))}</span>` +
      `<span role="gridcell" class="c-actions">` +
      `<button type="button" tabindex="-1" data-action="save" aria-label="Save ${name}"${savable ? '' : ' disabled'}>` +
      'Save</button>' +
      (this.hooks.rowActions ? this.hooks.rowActions(entry, name) : '') + '</span>';
    return row;
  }

  markActive() {
    for (const [index, row] of this.rendered) {
      row.classList.toggle('active', index === this.active);
      const selected = String(this.selected.has(index));
      if (row.getAttribute('aria-selected') !== selected) row.setAttribute('aria-selected', selected);
    }
    if (this.rendered.has(this.active)) this.root.setAttribute('aria-activedescendant', `entry-${this.active}`);
    else this.root.removeAttribute('aria-activedescendant');
  }

  // Scrolls so that the row at place `at` of the shown entries is in view.
  reveal(at) {
    const head = this.body.offsetTop;
    const y = head + at * this.rowHeight;
    const view = this.root.clientHeight;
    if (y - head < this.root.scrollTop) this.root.scrollTop = y - head;
    else if (y + this.rowHeight > this.root.scrollTop + view) this.root.scrollTop = y + this.rowHeight - view;
    this.schedule();
  }

  // Makes the entry at place `at` active; `how`: 'only' selects it alone,
  // 'range' selects from the anchor to it, 'keep' leaves the selection.
  moveTo(at, how = 'only') {
    if (!this.shown.length) return;
    at = Math.max(0, Math.min(this.shown.length - 1, at));
    const entry = this.shown[at];
    this.active = entry.index;
    if (how === 'only') {
      this.selected = new Set([entry.index]);
      this.anchor = entry.index;
    } else if (how === 'range') {
      const from = this.posOf[this.anchor] >= 0 ? this.posOf[this.anchor] : at;
      this.selected = new Set(this.shown.slice(Math.min(from, at), Math.max(from, at) + 1).map((e) => e.index));
    } else if (how === 'toggle') {
      if (this.selected.has(entry.index)) this.selected.delete(entry.index);
      else this.selected.add(entry.index);
      this.anchor = entry.index;
    }
    this.reveal(at);
    this.markActive();
    this.hooks.onSelection();
    this.hooks.onActive?.(entry);
  }

  /** Selects the entry of this index alone and makes it active. */
  select(index) {
    if (index >= 0 && this.posOf[index] >= 0) this.moveTo(this.posOf[index]);
  }

  selectAll() {
    this.selected = new Set(this.shown.map((e) => e.index));
    this.markActive();
    this.hooks.onSelection();
  }

  /** The selected entries in the order shown. */
  selection() { return this.shown.filter((e) => this.selected.has(e.index)); }
  activeEntry() { return this.active >= 0 ? this.entries[this.active] : null; }

  key(event) {
    if (event.target !== this.root) return;  // a header's or a row's button
    const at = this.active >= 0 && this.posOf[this.active] >= 0 ? this.posOf[this.active] : -1;
    const page = Math.max(1, Math.floor(this.root.clientHeight / this.rowHeight) - 2);
    const how = event.shiftKey ? 'range' : (event.ctrlKey || event.metaKey) ? 'keep' : 'only';
    const moves = {ArrowDown: at + 1, ArrowUp: at < 0 ? 0 : at - 1, PageDown: at + page, PageUp: at - page, Home: 0,
      End: this.shown.length - 1};
    const plain = !event.ctrlKey && !event.metaKey && !event.altKey;
    if (event.key in moves) {
      this.moveTo(moves[event.key], how);
    } else if (event.key === 'Enter' && at >= 0) {
      this.hooks.onOpen(this.shown[at]);
    } else if (event.key === ' ') {
      if (how === 'keep' && at >= 0) this.moveTo(at, 'toggle');
      else if (!this.hooks.onSpace() && at >= 0) this.moveTo(at, 'toggle');
    } else if ((event.key === 'a' || event.key === 'A') && (event.ctrlKey || event.metaKey)) {
      this.selectAll();
    } else if ((event.key === 's' || event.key === 'S') && plain && !this.typing()) {
      this.hooks.onSave();
    } else if (event.key.length === 1 && plain && event.key !== ' ') {
      this.typeAhead(event.key, at);
    } else if (!this.hooks.onKey?.(event)) {
      return;
    }
    event.preventDefault();
  }

  typing() { return this.typed !== '' && performance.now() - this.typedAt < 800; }

  // Letters and digits typed one after another jump to the next name that
  // begins with them, or whose number does (every name of an archive begins
  // with its base name: "010" finds SCENE~010.BMP). S alone saves, so a
  // name is found by S only after another key.
  typeAhead(letter, at) {
    const now = performance.now();
    this.typed = this.typing() ? this.typed + letter.toLowerCase() : letter.toLowerCase();
    this.typedAt = now;
    const n = this.shown.length;
    const from = this.typed.length === 1 ? at + 1 : Math.max(at, 0);
    for (let k = 0; k < n; k++) {
      const i = (from + k) % n;
      const name = this.shown[i].name.toLowerCase();
      const number = name.slice(Math.max(name.lastIndexOf('~'), name.lastIndexOf('-'), name.lastIndexOf('_')) + 1);
      if (name.startsWith(this.typed) || number.startsWith(this.typed) ||
        number.replace(/^0+(?=\d)/, '').startsWith(this.typed)) {
        this.moveTo(i);
        return;
      }
    }
  }

  click(event) {
    const sort = event.target.closest('button[data-sort]');
    if (sort) {
      this.sortBy(sort.dataset.sort);
      return;
    }
    const row = event.target.closest('.row');
    if (!row) return;
    const entry = this.entries[Number(row.dataset.index)];
    const action = event.target.closest('button[data-action]');
    if (action) {
      this.hooks.onRowAction(action.dataset.action, entry, action);
      return;
    }
    this.root.focus({preventScroll: true});
    const at = this.posOf[entry.index];
    if (event.shiftKey) this.moveTo(at, 'range');
    else if (event.ctrlKey || event.metaKey) this.moveTo(at, 'toggle');
    else {
      this.moveTo(at, 'only');
      this.hooks.onOpen(entry);
    }
  }

  /** The row in the document for this entry, if it is in view. */
  rowOf(index) { return this.rendered.get(index) || null; }
}
