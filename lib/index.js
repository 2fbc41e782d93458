'use strict';
// Each addon loads on first use, so a machine without CUDA can still use clsieve.
const pow = require('./pow');

module.exports = {
  get clsieve() { return require('./clsieve'); },
  get nvsieve() { return require('./nvsieve'); },
  verifyNonce: pow.verifyNonce,
  headerWithNonce: pow.headerWithNonce,
  hashTop64: pow.hashTop64,
  targetTop64: pow.targetTop64,
  NOT_FOUND: pow.NOT_FOUND,
  HEADER_BYTES: pow.HEADER_BYTES,
  TARGET_BYTES: pow.TARGET_BYTES,
  SELFTEST: pow.SELFTEST,
};
