'use strict';
// The OpenCL addon.
const path = require('path');
const { loadAddon } = require('./load-addon');

const file = path.join(__dirname, '..', 'build', 'Release', 'clsieve.node');
module.exports = loadAddon(file, `noncesieve: ${file} is not built; run \`npm install\` ` +
  '(or `node scripts/build.js rebuild`) in the noncesieve folder');
