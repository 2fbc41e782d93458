'use strict';
// Loads the CUDA addon. Loading needs no GPU; constructing GpuContextWrapper
// on a machine without a usable CUDA driver ends the process (that is the
// module's contract for GPU failures), so isAvailable() asks first, in a
// child process.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { loadAddon } = require('./load-addon');

// NONCESIEVE_NVSIEVE_ADDON points at another build of the module (the
// emulated one the tests use).
const file = process.env.NONCESIEVE_NVSIEVE_ADDON
  ? path.resolve(process.env.NONCESIEVE_NVSIEVE_ADDON)
  : path.join(__dirname, '..', 'build', 'Release', 'nvsieve.node');

function missingMessage() {
  const clsieve = path.join(path.dirname(file), 'clsieve.node');
  return fs.existsSync(clsieve)
    ? `noncesieve: nvsieve was built without CUDA: no nvcc was found (${file} is absent); ` +
      'install the CUDA toolkit (or put nvcc on PATH / set CUDA_PATH) and run `npm install` ' +
      '(or `node scripts/build.js rebuild`)'
    : `noncesieve: ${file} is not built; run \`npm install\` ` +
      '(or `node scripts/build.js rebuild`) in the noncesieve folder';
}

let addon = null;
function load() {
  if (!addon) addon = loadAddon(file, missingMessage());
  return addon;
}

let available = null;
// True when a CUDA driver and at least one device are usable. Never ends the
// calling process; the answer is cached.
function isAvailable() {
  if (available !== null) return available;
  if (!fs.existsSync(file)) return (available = false);
  const probe = spawnSync(process.execPath, ['-e',
    `const m = require(${JSON.stringify(file)});
     process.stdout.write(String(new m.GpuContextWrapper().get_total_devices()));`],
  { encoding: 'utf8', timeout: 60000 });
  available = probe.status === 0 && Number(probe.stdout) > 0;
  return available;
}

module.exports = {
  get GpuContextWrapper() { return load().GpuContextWrapper; },
  isAvailable,
};
