'use strict';
// Loads the OpenCL addon; a missing build gets a message that says how to fix it.
const fs = require('fs');
const path = require('path');

const file = path.join(__dirname, '..', 'build', 'Release', 'clsieve.node');
if (!fs.existsSync(file)) {
  throw new Error(`noncesieve: ${file} is not built; run \`npm install\` ` +
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
