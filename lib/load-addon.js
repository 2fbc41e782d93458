'use strict';
// Loads a built addon; a missing or broken build gets a message that says how
// to fix it.
const fs = require('fs');

function loadAddon(file, missingMessage) {
  if (!fs.existsSync(file)) throw new Error(missingMessage);
  try {
    return require(file);
  } catch (err) {
    err.message = `noncesieve: cannot load ${file}: ${err.message}; ` +
      'rebuild it with `node scripts/build.js rebuild`';
    throw err;
  }
}

module.exports = { loadAddon };
