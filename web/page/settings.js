// The plug-in's two settings, kept between visits as the plug-in keeps its
// own, and the byte where the archive begins (not kept: it belongs to one file).
const $ = (selector) => document.querySelector(selector);

export const NUMBERINGS = ['dummies', 'kept', 'packed'];
export const NUMBERING_TEXT = {dummies: 'empty slots listed as dummies', kept: 'empty slots left out, numbers kept',
  packed: 'empty slots left out, numbered without gaps'};

export function load() {
  let numbering = 'dummies';
  let fullScan = false;
  try {
    numbering = localStorage.getItem('morquent.numbering') || numbering;
    fullScan = localStorage.getItem('morquent.fullScan') === '1';
  } catch { /* storage refused: defaults */ }
  if (!NUMBERINGS.includes(numbering)) numbering = 'dummies';
  $('#numbering').value = numbering;
  $('#full-scan').checked = fullScan;
}

export function save() {
  try {
    localStorage.setItem('morquent.numbering', $('#numbering').value);
    localStorage.setItem('morquent.fullScan', $('#full-scan').checked ? '1' : '0');
  } catch { /* not kept */ }
}

export const numbering = () => NUMBERINGS.indexOf($('#numbering').value);
export const fullScan = () => $('#full-scan').checked;

/**
 * The offset as typed: decimal, or hexadecimal after 0x ("0x8b50"), with
 * spaces, commas and underscores between digits allowed. A whole number of 0
 * or more, or null when the text is none.
 * @param {string} text
 * @returns {number|null}
 */
export function parseOffset(text) {
  const t = String(text).trim().replace(/[\s,_]/g, '').toLowerCase();
  if (t === '') return 0;
  let value;
  if (/^0x[0-9a-f]+$/.test(t)) value = Number(BigInt(t));
  else if (/^[0-9]+$/.test(t)) value = Number(t);
  else return null;
  return Number.isSafeInteger(value) ? value : null;
}

export const offsetText = () => $('#offset').value;
export function resetOffset() { $('#offset').value = '0'; }
