'use strict';
// Loads the CUDA addon. It is only built when nvcc was found, so say so when it is absent.
const fs = require('fs');
const path = require('path');

const file = path.join(__dirname, '..', 'build', 'Release', 'nvsieve.node');
if (!fs.existsSync(file)) {
  const clsieve = path.join(path.dirname(file), 'clsieve.node');
  throw new Error(fs.existsSync(clsieve)
    ? `noncesieve: nvsieve was built without CUDA: no nvcc was found (${file} is absent); ` +
      'install the CUDA toolkit (or put nvcc on PATH / set CUDA_PATH) and run `npm install` ' +
      '(or `node scripts/build.js rebuild`)'
    : `noncesieve: ${file} is not built; run \`npm install\` ` +
      '(or `node scripts/build.js rebuild`) in the noncesieve folder');
}
let addon;
try {
  addon = require(file);
} catch (err) {
  err.message = `noncesieve: cannot load ${file}: ${err.message}; ` +
    'rebuild it with `node scripts/build.js rebuild`';
  throw err;
}
module.exports = addon;
