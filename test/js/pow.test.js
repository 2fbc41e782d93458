'use strict';
// The host-side checks of require('noncesieve') against Node's BLAKE2s and
// the hand-written header: the nonce field, the strict comparison, and what
// a scan covers.
const test = require('node:test');
const assert = require('node:assert');
const crypto = require('crypto');
const { pow } = require('./helpers');
const lib = require('../../lib/index');

const HEADER = Buffer.from(pow.SELFTEST.header, 'hex');
const top64 = (bytes) => crypto.createHash('blake2s256').update(bytes).digest().readBigUInt64LE(24);

test('headerWithNonce ORs bits 32-47 into bytes 284-285 and keeps what they held', () => {
  const header = Buffer.from(HEADER);
  header[284] = 0x0f;
  header[285] = 0x30;
  header[280] = 0xaa;
  const h = lib.headerWithNonce(header, 0x0102abcdef12);
  assert.deepStrictEqual([...h.subarray(280, 286)], [0x12, 0xef, 0xcd, 0xab, 0x02 | 0x0f, 0x01 | 0x30]);
  assert.deepStrictEqual(h.subarray(0, 280), header.subarray(0, 280));
  // The hash follows the same header, built by hand.
  const byHand = Buffer.from(header);
  byHand.set([0x12, 0xef, 0xcd, 0xab, 0x0f, 0x31], 280);
  assert.strictEqual(lib.hashTop64(header, 0x0102abcdef12n), top64(byHand));
});

test('verifyNonce: a hash equal to the target does not win, one below does', () => {
  const nonce = 77;
  const top = top64(lib.headerWithNonce(HEADER, nonce));
  const target = Buffer.alloc(32, 0xff);
  for (const [limit, wins] of [[top, false], [top + 1n, true], [top - 1n, false]]) {
    target.writeBigUInt64LE(limit, 24);
    assert.strictEqual(lib.verifyNonce(HEADER, target, nonce), wins, `target ${limit}, hash ${top}`);
  }
});

test('nonces outside the 48-bit field are refused, not cut down', () => {
  const target = Buffer.alloc(32, 0xff);
  for (const nonce of [-1, 2 ** 48, 2 ** 48 + 5, 1.5, NaN, Infinity, -1n, 1n << 48n]) {
    for (const call of [() => lib.headerWithNonce(HEADER, nonce), () => lib.hashTop64(HEADER, nonce),
      () => lib.verifyNonce(HEADER, target, nonce)]) {
      assert.throws(call, RangeError, String(nonce));
    }
  }
  assert.throws(() => lib.hashTop64(HEADER, '5'), TypeError);
  // The last nonce of the field is fine.
  assert.deepStrictEqual([...lib.headerWithNonce(HEADER, 2 ** 48 - 1).subarray(280, 286)], [255, 255, 255, 255, 255, 255]);
  assert.strictEqual(lib.NONCE_LIMIT, 2 ** 48);
});

test('noncesPerScan: work x granularity on OpenCL, whole blocks of 512 on CUDA', () => {
  const cases = [
    ['opencl', 256, 1, 256], ['opencl', 768, 1, 768], ['opencl', 1024, 2, 2048],
    ['cuda', 512, 1, 512], ['cuda', 1024, 1, 1024], ['cuda', 768, 1, 512], ['cuda', 511, 1, 0],
    ['cuda', 13107, 1, 12800], ['cuda', 1024, 0, 0],
  ];
  for (const [backend, work, gran, span] of cases) {
    assert.strictEqual(lib.noncesPerScan(backend, work, gran), span, `${backend} ${work} x ${gran}`);
  }
  assert.throws(() => lib.noncesPerScan('metal', 512, 1), TypeError);
  assert.throws(() => lib.noncesPerScan('opencl', 1.5, 1), RangeError);
  assert.deepStrictEqual(lib.WORK_SIZE_STEP, { cuda: 512, opencl: 256 });
});
