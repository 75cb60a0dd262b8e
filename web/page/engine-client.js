// The worker's client: requests answered by id (the messages are in
// protocol.js). A worker whose engine cannot be loaded (offline before the
// engine was ever kept, a server gone) is started again a few times, each
// after a longer wait, and then given up with a reason: never in a loop. A
// worker that crashes after it was ready, or that Cancel stops, is replaced
// at once.
import {FINAL, LISTING_EVENTS} from './protocol.js';

/** Waits before each new start of a worker whose engine did not load, in ms. */
export const START_DELAYS = [250, 1000, 4000];

export class Engine {
  constructor() {
    this.nextId = 1;
    this.pending = new Map();  // id -> {message, resolve, reject, onProgress, onPiece}
    this.failures = 0;         // starts in a row that did not load the engine
    this.unavailable = null;   // why the engine cannot be loaded, once given up
    this.onEvent = () => {};
    this.onCrash = () => {};
    this.onUnavailable = () => {};
    this.onReady = () => {};
    this.spawn();
  }

  spawn() {
    this.ready = false;
    this.retrying = null;
    const worker = new Worker('worker.js', {type: 'module'});
    this.worker = worker;
    worker.onmessage = (event) => this.receive(event.data);
    worker.onerror = (event) => {
      event.preventDefault();
      if (this.worker !== worker) return;
      const why = event.message || 'the engine could not be loaded';
      if (this.ready) this.replace(why);
      else this.startFailed(why);
    };
    // Requests asked before a start failed are asked again of the new worker.
    for (const p of this.pending.values()) worker.postMessage(p.message);
  }

  startFailed(why) {
    this.worker.terminate();
    this.worker = null;
    if (this.failures >= START_DELAYS.length) {
      this.unavailable = why;
      const pending = [...this.pending.values()];
      this.pending.clear();
      for (const p of pending) p.reject(Object.assign(new Error(why), {unavailable: true}));
      this.onUnavailable(why);
      return;
    }
    this.retrying = setTimeout(() => this.spawn(), START_DELAYS[this.failures++]);
  }

  // Starts afresh after the engine was given up (the person asked to).
  retry() {
    if (!this.unavailable) return;
    this.unavailable = null;
    this.failures = 0;
    this.spawn();
  }

  // Stops whatever the worker does, fails what was asked of it, and starts a fresh one.
  replace(why, crashed = true) {
    if (this.worker) this.worker.terminate();
    clearTimeout(this.retrying);
    const pending = [...this.pending.values()];
    this.pending.clear();
    this.spawn();
    for (const p of pending) p.reject(Object.assign(new Error(why), {cancelled: !crashed, crashed}));
    if (crashed) this.onCrash(why);
  }

  request(op, fields = {}, onProgress = null, onPiece = null) {
    if (this.unavailable) {
      return Promise.reject(Object.assign(new Error(this.unavailable), {unavailable: true}));
    }
    const id = this.nextId++;
    const message = {op, id, ...fields};
    return new Promise((resolve, reject) => {
      this.pending.set(id, {message, resolve, reject, onProgress, onPiece});
      if (this.worker) this.worker.postMessage(message);
    });
  }

  receive(m) {
    if (m.type === 'ready') {
      this.ready = true;
      this.failures = 0;
      this.onReady();
      return;
    }
    if (m.type === 'unavailable') {
      this.startFailed(m.message);
      return;
    }
    const p = this.pending.get(m.id);
    if (m.type === 'progress') {
      if (p && p.onProgress) p.onProgress(m);
      return;
    }
    if (m.type === 'piece') {
      if (p && p.onPiece) p.onPiece(m.bytes);
      return;
    }
    if (LISTING_EVENTS.has(m.type) || (m.type === 'failed' && !p)) {
      this.onEvent(m);
      return;
    }
    if (m.type === 'crash') {
      this.replace(m.message);
      return;
    }
    if (!p || !FINAL.has(m.type)) return;
    this.pending.delete(m.id);
    if (m.type === 'failed') p.reject(Object.assign(new Error(m.message), {unreadable: !!m.unreadable}));
    else p.resolve(m);
  }
}
