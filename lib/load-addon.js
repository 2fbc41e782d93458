'use strict';
// Finds and loads one of the two addons: a local source build first
// (build/Release), then the prebuilt binary the package carries for this
// platform and Node ABI (prebuilt/<name>/prebuilds/<platform>-<arch>/), else an
// error that says what to install and the one command to run. Nothing here
// ends the process: a missing or broken addon is an Error with its reason.
const fs = require('fs');
const path = require('path');

const ROOT = path.join(__dirname, '..');
const REBUILD = '`npm rebuild noncesieve`';
// The oldest glibc the prebuilt modules load on (scripts/symbol-floor.js checks them).
const GLIBC_FLOOR = '2.28';
const TOOLS = 'a C++ compiler, make and Python 3 (Debian/Ubuntu: apt-get install g++ make python3)';

// What a source build of each addon needs beyond TOOLS.
const BUILD_NEEDS = {
  clsieve: 'the OpenCL ICD loader and headers (Debian/Ubuntu: apt-get install ocl-icd-opencl-dev ' +
    'opencl-clhpp-headers)',
  nvsieve: 'the CUDA toolkit (nvcc on PATH, in /usr/local/cuda or under $CUDA_PATH)',
  gpuhealth: 'nothing more (it opens NVML, installed with the NVIDIA driver, at run time)',
};

function localBuild(name) {
  return path.join(ROOT, 'build', 'Release', `${name}.node`);
}

// The line a source build wrote when it skipped the addon (see scripts/probe.js).
function skipNote(name) {
  try {
    return fs.readFileSync(path.join(ROOT, 'build', `${name}.skipped`), 'utf8').trim();
  } catch (_) {
    return null;
  }
}

// The file to load: the local build, else the prebuilt binary that fits, else null.
function locate(name) {
  const local = localBuild(name);
  if (fs.existsSync(local)) return local;
  try {
    return require('node-gyp-build').path(path.join(ROOT, 'prebuilt', name));
  } catch (_) {
    return null;
  }
}

function glibcVersion() {
  try {
    return process.report.getReport().header.glibcVersionRuntime || null;
  } catch (_) {
    return null;
  }
}

// Why `name` is not there, in words, with what to install and what to run.
function missingMessage(name) {
  const abi = `${process.platform}-${process.arch}, Node ${process.versions.node} (ABI ${process.versions.modules})`;
  const skipped = skipNote(name);
  const why = skipped ? `; the source build skipped it: ${skipped.replace(/^noncesieve: /, '')}` : '';
  return `noncesieve: ${name} is not installed: the package has no prebuilt ${name} for ${abi}${why}. ` +
    `To build it from source install ${TOOLS} and ${BUILD_NEEDS[name]}, then run ${REBUILD}.`;
}

// What to do about an addon file that exists but does not load.
function loadFailureHint(name, message) {
  const glibc = /GLIBC_([0-9.]+)' not found/.exec(message);
  if (glibc) {
    const found = glibcVersion();
    return `it needs glibc ${glibc[1]} or newer (the prebuilt modules run on glibc ${GLIBC_FLOOR} and later) and this system has ` +
      `${found ? `glibc ${found}` : 'an older one'}; build it from source instead: install ${TOOLS} ` +
      `and ${BUILD_NEEDS[name]}, then run \`npm rebuild noncesieve --build-from-source\``;
  }
  if (/libOpenCL\.so/.test(message)) {
    return 'the OpenCL ICD loader is not installed (Debian/Ubuntu: apt-get install ocl-icd-libopencl1; ' +
      'and the OpenCL platform of your GPU)';
  }
  if (/GLIBCXX_|CXXABI_/.test(message)) {
    return 'the C++ runtime (libstdc++) of this system is older than the one it was built with; ' +
      `build it from source: \`npm rebuild noncesieve --build-from-source\``;
  }
  return `it was built for another Node.js or system; run ${REBUILD}`;
}

// Loads `name` (clsieve or nvsieve) from `file` (default: the one locate finds).
function loadAddon(name, file = locate(name)) {
  if (!file || !fs.existsSync(file)) throw new Error(missingMessage(name));
  try {
    return require(file);
  } catch (err) {
    const detail = String(err.message).split('\n')[0];
    err.message = `noncesieve: cannot load ${name} (${file}): ${detail}; ${loadFailureHint(name, detail)}`;
    throw err;
  }
}

module.exports = { loadAddon, locate, missingMessage, loadFailureHint };
