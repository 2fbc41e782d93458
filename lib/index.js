'use strict';
// Each addon loads on first use, so a machine without CUDA can still use clsieve.
const pow = require('./pow');
const work = require('./work');
const { openRig } = require('./rig');

module.exports = {
  get clsieve() { return require('./clsieve'); },
  get nvsieve() { return require('./nvsieve'); },
  openRig,
  verifyNonce: pow.verifyNonce,
  headerWithNonce: pow.headerWithNonce,
  hashTop64: pow.hashTop64,
  targetTop64: pow.targetTop64,
  noncesPerScan: work.noncesPerScan,
  WORK_SIZE_STEP: work.WORK_SIZE_STEP,
  NOT_FOUND: pow.NOT_FOUND,
  NONCE_LIMIT: pow.NONCE_LIMIT,
  HEADER_BYTES: pow.HEADER_BYTES,
  TARGET_BYTES: pow.TARGET_BYTES,
  SELFTEST: pow.SELFTEST,
};
