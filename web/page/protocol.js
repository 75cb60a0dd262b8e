// Every message between the page and its worker (worker.js). The page sends
// requests; each carries an `id`, and every answer, progress report or
// event about it carries the same id back. The worker also says once that
// its engine is loaded, or that it cannot be.

/**
 * Requests, page to worker.
 * @typedef {{op: 'open', id: number, file: File, offset: number, numbering: 0|1|2, fullScan: boolean}} OpenRequest
 *   Probe and list `file` with the archive's count field at byte `offset`.
 * @typedef {{op: 'extract', id: number, position: number, limit?: number, stream?: boolean}} ExtractRequest
 *   The entry at `position` of the open archive, through the calls' extraction.
 *   `limit`: stop once that many bytes are out (a preview). `stream`: hand the
 *   content out as PieceEvents instead of one Blob.
 * @typedef {{op: 'save', id: number, files: File[], slots: {slot: number, file: number}[], added: number[]}} SaveRequest
 *   The open archive with edits, written through the engine's archive writer (as qordat replace writes one) and
 *   read back as a host reads it. `slots`: a table slot's content replaced by `files[file]`, stored as the slot
 *   was, or the slot emptied (`file` -1); `added`: indexes into `files`, one new slot each after the last, stored
 *   plain. Every other slot, and the bytes before and after the archive, are copied as they are.
 * @typedef {{op: 'stats', id: number}} StatsRequest  The module's heap.
 * @typedef {OpenRequest|ExtractRequest|SaveRequest|StatsRequest} Request
 */

/**
 * One entry of a listing, as the plug-in's record gives it.
 * @typedef {object} ListedEntry
 * @property {string} name      the record's name ("" for a slot whose record cannot be built)
 * @property {number} position  3 x table slot + numbering mode
 * @property {number} stored    stored bytes (the size table's value)
 * @property {number} size      content bytes
 * @property {number} start     file byte where the content lies plain and whole, or -1
 * @property {number} [result]  slot by slot: the lookup's result code (0 when the record was built)
 * @property {number} [slotMissing] slot by slot, no record: stored bytes past the end of the file
 */

/**
 * What the format lets an edit of the listed archive hold (the engine's bounds).
 * @typedef {object} EditLimits
 * @property {number} slots         slots an archive holds at most
 * @property {number} archiveSlots  slots the archive holds, empty ones included (-1: unknown)
 * @property {number} plain         content bytes of a slot stored plain under the archive's heads, at most
 * @property {number} compressed    content bytes of a compressed slot, at most (its stream must fit too)
 */

/**
 * Answers and events, worker to page.
 * @typedef {{type: 'ready'}} ReadyEvent  The engine is loaded: requests are served.
 * @typedef {{type: 'unavailable', message: string}} UnavailableEvent  The engine cannot be loaded.
 * @typedef {{type: 'listed', id: number, entries: ListedEntry[], layout: string, fileSize: number,
 *   bySlot: boolean, limits: EditLimits}} ListedAnswer  `bySlot`: the listing failed for a record, and each slot
 *   was looked up.
 * @typedef {{type: 'refused', id: number, reason: 'empty'|'offset'|'media-name'|'not-archive'|'settings'|'not-listed',
 *   size?: number, result?: number, numbering?: number, fullScan?: boolean}} RefusedAnswer
 * @typedef {{type: 'damage', id: number, first: number,
 *   items: {missing: number|null, storedMissing?: number, compressed: boolean|null, damaged: boolean, lack: string}[]}} DamageEvent
 *   What entries [first, first + items.length) of the listing `id` lack; more follow.
 * @typedef {{type: 'checked', id: number}} CheckedEvent  Every entry of listing `id` is checked.
 * @typedef {{type: 'entry', id: number, name: string, blob?: Blob, size: number, cut: boolean}} EntryAnswer
 *   The extracted entry (no blob when streamed); `cut` when the limit stopped it.
 * @typedef {{type: 'piece', id: number, bytes: Uint8Array}} PieceEvent  The next bytes of a streamed entry.
 * @typedef {{type: 'archive', id: number, name: string, blob: Blob, size: number}} ArchiveAnswer
 *   The saved archive under the open one's name: slices of its File and the new bytes.
 * @typedef {{type: 'progress', id: number, bytes?: number}} ProgressEvent  Bytes read or written so far.
 * @typedef {{type: 'stats', id: number, heap: number, heapPeak: number}} StatsAnswer
 * @typedef {{type: 'failed', id: number, message: string, unreadable?: boolean}} FailedAnswer
 *   The request failed; `unreadable`: the file can no longer be read.
 * @typedef {{type: 'crash', id: number, message: string}} CrashEvent
 *   The module trapped or aborted: the worker is unusable and is replaced.
 * @typedef {ReadyEvent|UnavailableEvent|ListedAnswer|RefusedAnswer|DamageEvent|CheckedEvent|EntryAnswer|
 *   PieceEvent|ArchiveAnswer|ProgressEvent|StatsAnswer|FailedAnswer|CrashEvent} Answer
 */

/** The answers that end a request. */
export const FINAL = new Set(['listed', 'refused', 'entry', 'archive', 'stats', 'failed']);
/** Events about a listing that come after its answer. */
export const LISTING_EVENTS = new Set(['damage', 'checked']);
/** Result codes of the archive calls, in a few words. */
export const RESULT_TEXT = {1: 'unsupported input', 2: 'not this format in these settings',
  3: 'a record could not be built', 4: 'out of memory', 5: 'out of memory', 6: 'the file could not be opened'};
