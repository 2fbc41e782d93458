#!/usr/bin/env node
'use strict';
// Prints 1 when clsieve can be built here (the Khronos C++ wrapper, the OpenCL
// C headers and the ICD loader's library, tried by compiling and linking a
// small program), or nothing, after one line that says what to install.
// binding.gyp builds clsieve only when this prints 1.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { noteSkip, clearSkip, selected } = require('./skip-note');

const PROGRAM = `#define CL_HPP_TARGET_OPENCL_VERSION 120
#define CL_HPP_MINIMUM_OPENCL_VERSION 120
#define CL_TARGET_OPENCL_VERSION 120
#include <CL/opencl.hpp>
int main() { cl_uint n = 0; return clGetPlatformIDs(0, nullptr, &n) == CL_SUCCESS ? 0 : 1; }
`;

// What is missing, from the compiler's first complaint, as Debian/Ubuntu packages.
function missingPackages(output) {
  if (/CL\/opencl\.hpp/.test(output)) return ['the Khronos OpenCL C++ headers', 'opencl-clhpp-headers'];
  if (/CL\/cl[^ ]*\.h/.test(output)) return ['the OpenCL C headers', 'opencl-c-headers'];
  if (/-lOpenCL|libOpenCL/.test(output)) return ['the OpenCL ICD loader library', 'ocl-icd-opencl-dev'];
  return ['the OpenCL headers and ICD loader', 'opencl-clhpp-headers ocl-icd-opencl-dev'];
}

function probe() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-opencl-'));
  try {
    fs.writeFileSync(path.join(dir, 'probe.cc'), PROGRAM);
    const cxx = process.env.CXX || 'g++';
    const r = spawnSync(cxx, ['-std=c++17', 'probe.cc', '-o', 'probe', '-lOpenCL'],
      { cwd: dir, encoding: 'utf8' });
    if (r.error) return { ok: false, why: `no C++ compiler (${cxx}: ${r.error.code})`, what: ['a C++ compiler', 'g++'] };
    if (r.status === 0) return { ok: true };
    const output = `${r.stdout}${r.stderr}`;
    const first = output.split('\n').find((l) => /error|cannot find|No such file/.test(l)) || output.trim();
    return { ok: false, why: first.trim(), what: missingPackages(output) };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

if (require.main === module && selected('clsieve')) {
  const result = probe();
  if (result.ok) {
    clearSkip('clsieve');
    process.stdout.write('1');
  } else {
    const [what, packages] = result.what;
    noteSkip('clsieve', `noncesieve: skipping clsieve (OpenCL): ${result.why}; install ${what} ` +
      `(Debian/Ubuntu: apt-get install ${packages}), then run \`npm rebuild noncesieve\`; ` +
      'building nvsieve only');
  }
}

module.exports = { probe };
