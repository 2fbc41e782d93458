'use strict';
// The OpenCL addon, loaded on the first read of GpuContextWrapper, so that a
// machine without OpenCL can still require the package and use nvsieve.
const { loadAddon } = require('./load-addon');

let addon = null;
module.exports = {
  get GpuContextWrapper() {
    if (!addon) addon = loadAddon('clsieve');
    return addon.GpuContextWrapper;
  },
};
