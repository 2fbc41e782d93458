'use strict';
// Host-side checks of what the GPU modules report, with Node's own BLAKE2s.
const crypto = require('crypto');

const HEADER_BYTES = 286;
const TARGET_BYTES = 32;
// What a scan reports when its range holds no winner (2^53 - 1).
const NOT_FOUND = 9007199254740991;
// Nonces are 48 bits: the header's nonce field is bytes 280-285.
const NONCE_LIMIT = 2 ** 48;

// The built-in self-test job of both modules.
const SELFTEST = Object.freeze({
  header: '00000000000000000b96f5d54a97050077edd3d000bb6e49945c088ff5af7b6a13646d6ec7b352b99e93610702' +
    'd5fae40300000000008c9a0d139b3a3ad8396e85b6c9ad786314c163deab05972f031e7d699a1903eb04000000' +
    '6704002311ce552ccd1fa0f326ebef768a3f2f64e234ab96766d84d611283d4e0700000082e2ce6e37058b2e9a' +
    '4a7f42ade599fb94a2eb0cc8f6f38616b88b5ba8a7d30f7b3f642f157979962f9eceff46213f391d000c62df87' +
    '9ffc6dcdafb4a40000001794d7a434c00486b03d1acfffd08964c60003ec2ef2f36f55d3a8d0102d00d8020000' +
    '0041e57b2980010000000000000000000000000000000000000000000000000000698c00000000000004000000' +
    '38e502624a9705000000000000000000',
  target: '7b3f642f157979962f9eceff46213f391d000c62df879ffc6dcdafb4a4000000',
  // The OpenCL self-test scans from here.
  startNonce: 935033,
});

function bytesOf(view, min, name) {
  if (!ArrayBuffer.isView(view)) throw new TypeError(`${name} must be a Buffer or typed array`);
  if (view.byteLength < min) throw new RangeError(`${name} must hold at least ${min} bytes`);
  return Buffer.from(view.buffer, view.byteOffset, min);
}

// A nonce as a bigint, refused unless it fits the 48-bit nonce field: higher
// bits would have nowhere to go, and dropping them would check another nonce.
function nonceOf(nonce) {
  if (typeof nonce === 'number') {
    if (Number.isInteger(nonce) && nonce >= 0 && nonce < NONCE_LIMIT) return BigInt(nonce);
  } else if (typeof nonce === 'bigint') {
    if (nonce >= 0n && nonce < BigInt(NONCE_LIMIT)) return nonce;
  } else {
    throw new TypeError(`nonce must be a Number or a bigint, not ${typeof nonce}`);
  }
  throw new RangeError(`nonce must be a whole number from 0 to 2^48 - 1 (the 48-bit nonce field), not ${nonce}`);
}

// The header as the kernel hashes it for `nonce`: the low 32 bits replace
// bytes 280-283, bits 32-47 are ORed into bytes 284-285.
function headerWithNonce(header, nonce) {
  const n = nonceOf(nonce);
  const h = Buffer.from(bytesOf(header, HEADER_BYTES, 'header'));
  h.writeUInt32LE(Number(n & 0xffffffffn), 280);
  h[284] |= Number((n >> 32n) & 0xffn);
  h[285] |= Number((n >> 40n) & 0xffn);
  return h;
}

// Hash bytes 24-31 as a little-endian number: the part compared with the target.
function hashTop64(header, nonce) {
  const digest = crypto.createHash('blake2s256').update(headerWithNonce(header, nonce)).digest();
  return digest.readBigUInt64LE(24);
}

function targetTop64(target) {
  return bytesOf(target, TARGET_BYTES, 'target').readBigUInt64LE(24);
}

// True when `nonce` really wins: its hash's top 64 bits are strictly below the target's.
function verifyNonce(header, target, nonce) {
  return hashTop64(header, nonce) < targetTop64(target);
}

module.exports = {
  HEADER_BYTES, TARGET_BYTES, NOT_FOUND, NONCE_LIMIT, SELFTEST,
  headerWithNonce, hashTop64, targetTop64, verifyNonce,
};
