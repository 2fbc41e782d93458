'use strict';
// The folder noncesieve keeps things in between runs: the sweep's choice of work
// sizes and, when building the prebuilt binaries, the Node distributions and the
// build copies. NONCESIEVE_CACHE_DIR moves it.
const os = require('os');
const path = require('path');

function cacheDir() {
  return process.env.NONCESIEVE_CACHE_DIR ||
    path.join(process.env.XDG_CACHE_HOME || path.join(os.homedir(), '.cache'), 'noncesieve');
}

module.exports = { cacheDir };
