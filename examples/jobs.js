'use strict';
// What both examples share: their options and the made-up jobs they mine.
const crypto = require('crypto');
const { parseArgs } = require('util');
const { HEADER_BYTES, TARGET_BYTES } = require('noncesieve');

function options() {
  const { values } = parseArgs({
    options: {
      winners: { type: 'string', default: '8' },       // stop after this many verified winners
      budget: { type: 'string', default: '16777216' }, // ... or after this many nonces
      slots: { type: 'string', default: '2' },         // scans in flight per device
      work: { type: 'string', default: '4096' },       // work items per scan
      odds: { type: 'string', default: '4096' },       // about one nonce in this many wins
    },
  });
  const n = Object.fromEntries(Object.entries(values).map(([k, v]) => [k, Number(v)]));
  for (const [k, v] of Object.entries(n)) {
    if (!Number.isSafeInteger(v) || v < 1) throw new RangeError(`--${k}: a whole number >= 1`);
  }
  return n;
}

// A job as a pool would send it. Here: a made-up header (bytes 280-285, where
// the kernel puts the nonce, left zero) and a target that about one nonce in
// `odds` beats. Only target bytes 24-31 (little-endian) are compared.
function makeJob(id, odds) {
  const header = Buffer.alloc(HEADER_BYTES);
  crypto.createHash('shake256', { outputLength: 280 }).update(`example job ${id}`).digest()
    .copy(header);
  const target = Buffer.alloc(TARGET_BYTES, 0xff);
  target.writeBigUInt64LE((1n << 64n) / BigInt(odds), 24);
  return { id, header, target, next: 0 }; // next: the first nonce not yet handed out
}

module.exports = { options, makeJob };
