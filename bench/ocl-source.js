'use strict';
// The OpenCL source kernel as clsieve embeds it (the shared prelude, then its
// body), written to build/bench so that a minimal C++ host can compile the
// very text the module runs.
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

const ROOT = path.join(__dirname, '..');

function shippedKernelFile(name = 'kernel.cl') {
  const file = path.join(ROOT, 'build', 'bench', name);
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, execFileSync(process.execPath,
    [path.join(ROOT, 'scripts', 'embed.js'), '--source', path.join(ROOT, 'src', 'ocl_binding', name)]));
  return file;
}

module.exports = { shippedKernelFile };
