// The saved archive's parts (web/page/parts.js), in node: whatever order of
// new bytes, copied ranges of the file, rewrites and cuts the writer makes,
// the Blob holds the same bytes as writing them into one buffer would, and
// copied ranges are slices of the file, not copies.
import assert from 'node:assert/strict';
import {test} from 'node:test';

import {ArchiveParts} from '../../web/page/parts.js';

const file = new Blob([Uint8Array.from({length: 1000}, (_, i) => (i * 7) & 0xff)]);
const fileBytes = new Uint8Array(await file.arrayBuffer());
const bytes = (n, seed) => Uint8Array.from({length: n}, (_, i) => (seed + i) & 0xff);

// The same operations on a plain array of bytes.
function expected(ops) {
  let out = [];
  for (const [op, a, b] of ops) {
    if (op === 'write') out.push(...a);
    else if (op === 'copy') out.push(...fileBytes.subarray(a, a + b));
    else if (op === 'rewrite') out.splice(a, b.length, ...b);
    else if (op === 'cut') out = out.slice(0, a);
  }
  return Uint8Array.from(out);
}

const cases = [
  {name: 'new bytes only, across blocks', ops: [['write', bytes(10, 1)], ['write', bytes(40, 2)], ['write', bytes(3, 9)]]},
  {name: 'ranges of the file, adjacent ones joined', ops: [['copy', 0, 100], ['copy', 100, 50], ['copy', 500, 20]],
    parts: 2},
  {name: 'a table rewritten after a copy (a patch laid over the block made a Blob)',
    ops: [['write', bytes(12, 0)], ['copy', 10, 300], ['write', bytes(6, 0)], ['write', bytes(30, 5)],
      ['rewrite', 0, bytes(12, 100)], ['rewrite', 312, bytes(6, 200)]]},
  {name: 'a head rewritten while its block still holds it', ops: [['write', bytes(6, 0)], ['write', bytes(5, 1)],
    ['rewrite', 0, bytes(6, 50)]]},
  {name: 'a rewrite that straddles two blocks', ops: [['write', bytes(14, 0)], ['write', bytes(20, 3)],
    ['rewrite', 14, bytes(20, 77)]]},
  {name: 'a rewrite straddling new bytes and a range', ops: [['write', bytes(8, 0)], ['copy', 0, 40],
    ['rewrite', 4, bytes(10, 60)]]},
  {name: 'a cut inside a range, then new bytes', ops: [['write', bytes(4, 0)], ['copy', 200, 100],
    ['rewrite', 0, bytes(4, 9)], ['cut', 54], ['write', bytes(20, 30)]]},
  {name: 'a cut inside new bytes drops a rewrite past it', ops: [['write', bytes(40, 0)], ['rewrite', 30, bytes(5, 90)],
    ['copy', 0, 10], ['cut', 32], ['write', bytes(3, 1)]]},
  {name: 'a cut drops a rewrite wholly past it', ops: [['write', bytes(40, 0)], ['copy', 0, 10],
    ['rewrite', 34, bytes(4, 90)], ['cut', 32], ['write', bytes(10, 1)]]},
];

test('the saved archive\'s parts give the bytes written', async (t) => {
  for (const c of cases) {
    await t.test(c.name, async () => {
      const parts = new ArchiveParts(file, 16);  // 16-byte blocks: many block ends
      for (const [op, a, b] of c.ops) {
        const ok = op === 'write' ? parts.write(a) : op === 'copy' ? parts.copy(a, b) : op === 'rewrite'
          ? parts.rewrite(a, b) : parts.cut(a);
        assert.ok(ok, `${op} refused`);
      }
      const want = expected(c.ops);
      assert.equal(parts.size, want.length);
      const blob = parts.blob();
      assert.deepEqual(new Uint8Array(await blob.arrayBuffer()), want);
      if (c.parts) assert.equal(parts.parts.length, c.parts);
    });
  }
});

test('what lies outside the file or the bytes written is refused', () => {
  const parts = new ArchiveParts(file, 16);
  parts.write(bytes(10, 0));
  assert.equal(parts.copy(990, 20), false, 'a range past the end of the file');
  assert.equal(parts.rewrite(8, bytes(4, 0)), false, 'a rewrite past the bytes written');
  assert.equal(parts.cut(11), false, 'a cut past the bytes written');
  assert.equal(parts.size, 10);
});
