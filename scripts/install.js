#!/usr/bin/env node
'use strict';
// npm's install step. The package carries prebuilt binaries (prebuilt/); when
// both load here nothing is built, so no compiler, Python, CUDA toolkit or
// OpenCL headers are needed. A source build (scripts/build.js) runs when one
// of them does not fit this machine, with --build-from-source, and always in
// a development checkout, so development never runs stale binaries. The
// install itself never fails: an addon that cannot be had is explained again
// when it is required (lib/load-addon.js).
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

const ROOT = path.join(__dirname, '..');
const ADDONS = ['clsieve', 'nvsieve', 'gpuhealth'];

function prebuiltFile(name) {
  try {
    return require('node-gyp-build').path(path.join(ROOT, 'prebuilt', name));
  } catch (_) {
    return null;
  }
}

// Loading needs no GPU: nvsieve opens the driver only when constructed.
function loadError(file) {
  const r = spawnSync(process.execPath, ['-e', 'require(process.argv[1])', file], { encoding: 'utf8' });
  if (r.status === 0) return null;
  return ((r.stderr || '').split('\n').find((l) => /Error/.test(l)) || `status ${r.status}`).trim();
}

function reasonsToBuild() {
  if (process.env.npm_config_build_from_source === 'true') return ['--build-from-source was given'];
  if (fs.existsSync(path.join(ROOT, 'test', 'emu_cuda'))) return ['this is a development checkout'];
  const reasons = [];
  for (const name of ADDONS) {
    const file = prebuiltFile(name);
    if (!file) {
      reasons.push(`no prebuilt ${name} for ${process.platform}-${process.arch} and Node ABI ${process.versions.modules}`);
      continue;
    }
    const error = loadError(file);
    if (error) reasons.push(`the prebuilt ${name} does not load here (${error})`);
  }
  return reasons;
}

const reasons = reasonsToBuild();
if (reasons.length === 0) process.exit(0);
console.error(`noncesieve: building from source: ${reasons.join('; ')}`);
const build = (env = {}) => spawnSync(process.execPath, [path.join(__dirname, 'build.js'), 'rebuild'],
  { cwd: ROOT, stdio: 'inherit', env: { ...process.env, ...env } });
let r = build();
if (r.status !== 0 && fs.existsSync(path.join(ROOT, 'build', 'nvsieve.skipped')) === false &&
    !process.env.NONCESIEVE_ADDONS) {
  // The CUDA compile is what fails most often (a toolkit and host compiler that
  // do not match): keep clsieve by building it alone.
  const line = 'noncesieve: skipping nvsieve (CUDA): its build failed (see the output above); fix the ' +
    'CUDA toolkit or set CUDA_PATH to another, then run `npm rebuild noncesieve` ' +
    '(NONCESIEVE_NO_CUDA=1 leaves nvsieve out on purpose); building clsieve only';
  r = build({ NONCESIEVE_ADDONS: 'clsieve' });
  require('./skip-note').noteSkip('nvsieve', line);
}
if (r.status !== 0) {
  console.error('noncesieve: the source build failed; the addons that are not there say why when ' +
    'required. A source build needs a C++ compiler, make and Python 3 (Debian/Ubuntu: apt-get install ' +
    'g++ make python3); then run `npm rebuild noncesieve`.');
  // A development checkout must see its build fail.
  if (fs.existsSync(path.join(ROOT, 'test', 'emu_cuda'))) process.exit(r.status || 1);
}
