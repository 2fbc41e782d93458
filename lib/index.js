'use strict';
// Each addon loads on first use, so a machine without CUDA can still use clsieve.
module.exports = {
  get clsieve() { return require('./clsieve'); },
  get nvsieve() { return require('./nvsieve'); },
};
