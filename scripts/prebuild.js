#!/usr/bin/env node
'use strict';
// npm run prebuild: stripped clsieve.node and nvsieve.node for linux-x64 and
// every Node line of scripts/node-dists.js, each built against that line's own
// headers by prebuildify, into prebuilt/<addon>/prebuilds/linux-x64/
// <addon>.abi<N>.glibc.node, where lib/load-addon.js (through node-gyp-build)
// finds them. Each line builds in its own copy of the sources in the cache
// (scripts/node-dists.js), so the development build in build/ is left alone.
// The device code does not depend on Node's headers: nvcc compiles it once
// (scripts/nvcc.sh's object cache) and the other lines reuse the object.
// A line whose inputs have not changed since its last build is kept.
//   node scripts/prebuild.js [--lines 20,22]
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { spawnSync, execFileSync } = require('child_process');
const { LINES, cacheDir, distribution } = require('./node-dists');

const ROOT = path.join(__dirname, '..');
// NONCESIEVE_NO_CUDA=1 prebuilds clsieve only, on a machine without the CUDA toolkit.
const CUDA_OFF = require('./find-cuda').cudaDisabled();
const ADDONS = CUDA_OFF ? ['clsieve', 'gpuhealth'] : ['clsieve', 'nvsieve', 'gpuhealth'];
// What a source build reads, relative to ROOT: what the package ships of
// scripts/ (the installed package builds with the same), and nan.
const BUILD_INPUTS = ['binding.gyp', 'package.json', 'src', 'node_modules/nan',
  ...require('../package.json').files.filter((f) => f.startsWith('scripts/'))];

const log = (line) => console.error(`prebuild: ${line}`);

function filesUnder(rel) {
  const abs = path.join(ROOT, rel);
  if (!fs.statSync(abs).isDirectory()) return [rel];
  return fs.readdirSync(abs).sort().flatMap((e) => filesUnder(path.join(rel, e)));
}

// One hash of everything that goes into a line's binaries.
function inputsHash(dist) {
  const h = crypto.createHash('sha256');
  for (const rel of BUILD_INPUTS.flatMap(filesUnder)) {
    h.update(`${rel}\0`).update(fs.readFileSync(path.join(ROOT, rel))).update('\0');
  }
  h.update(dist.version);
  const nvcc = require('./find-cuda').cudaRoot();
  if (nvcc) h.update(execFileSync(path.join(nvcc, 'bin', 'nvcc'), ['--version'], { encoding: 'utf8' }));
  h.update(process.env.NVSIEVE_ARCHS || '');
  return h.digest('hex');
}

function outFile(addon, abi) {
  return path.join(ROOT, 'prebuilt', addon, 'prebuilds', `${process.platform}-${process.arch}`,
    `${addon}.abi${abi}.glibc.node`);
}

// Where one line builds, per checkout.
function workDir(abi) {
  const checkout = crypto.createHash('sha256').update(ROOT).digest('hex').slice(0, 12);
  return path.join(cacheDir(), 'prebuild', checkout, `abi${abi}`);
}

function stampFile(abi) {
  return `${workDir(abi)}.inputs`;
}

// A fresh copy of the build inputs: same relative layout as the checkout, so
// the binaries match a stripped build/Release byte for byte.
function workTree(abi) {
  const dir = workDir(abi);
  fs.rmSync(dir, { recursive: true, force: true });
  for (const rel of BUILD_INPUTS) {
    fs.cpSync(path.join(ROOT, rel), path.join(dir, rel), { recursive: true });
  }
  return dir;
}

function prebuildify(addon, dist, work) {
  const bin = require.resolve('prebuildify/bin.js');
  const r = spawnSync(process.execPath, [bin, '--napi=false', '--strip', '--tag-libc',
    `--target=${dist.version}`, `--name=${addon}`, `--out=${path.join(ROOT, 'prebuilt', addon)}`,
    `--cwd=${work}`, `--node-gyp=${path.join(work, 'scripts', 'build.js')}`], {
    cwd: work,
    encoding: 'utf8',
    maxBuffer: 64 * 1024 * 1024,
    env: {
      ...process.env,
      npm_config_nodedir: dist.nodedir,
      NONCESIEVE_ADDONS: addon,
      NONCESIEVE_NVCC_CACHE: path.join(cacheDir(), 'nvcc'),
    },
  });
  // node-gyp's own chatter only when it failed; a probe's skip line always.
  const output = `${r.stdout || ''}${r.stderr || ''}`;
  for (const line of output.split('\n')) if (/^noncesieve: /.test(line)) log(line);
  const skipped = new RegExp(`^noncesieve: skipping ${addon} `, 'm').test(output);
  if (skipped) {
    throw new Error(`${addon} cannot be built here (the line above says why)` +
      (addon === 'nvsieve' ? '; NONCESIEVE_NO_CUDA=1 prebuilds clsieve only' : ''));
  }
  // The package's nvsieve always carries the portable PTX that older GPUs and drivers run.
  if (addon === 'nvsieve' && /^noncesieve: nvsieve is built without its portable PTX/m.test(output)) {
    throw new Error('the prebuilt nvsieve must carry the portable PTX: install clang (Debian/Ubuntu: ' +
      'apt-get install clang-14)');
  }
  if (r.status !== 0) {
    process.stderr.write(output.split('\n').slice(-40).join('\n'));
    throw new Error(`prebuildify of ${addon} for Node ${dist.version} failed`);
  }
}

function main() {
  const wanted = process.argv.includes('--lines')
    ? process.argv[process.argv.indexOf('--lines') + 1].split(',').map(Number) : LINES.map((l) => l.line);
  for (const spec of LINES.filter((l) => wanted.includes(l.line))) {
    const dist = distribution(spec, log);
    if (CUDA_OFF) fs.rmSync(outFile('nvsieve', spec.abi), { force: true });
    const hash = inputsHash(dist);
    const done = fs.existsSync(stampFile(spec.abi)) &&
      fs.readFileSync(stampFile(spec.abi), 'utf8') === hash &&
      ADDONS.every((a) => fs.existsSync(outFile(a, spec.abi)));
    if (done) {
      log(`Node ${dist.version} (ABI ${spec.abi}): up to date`);
      continue;
    }
    const began = Date.now();
    fs.rmSync(stampFile(spec.abi), { force: true });
    const work = workTree(spec.abi);
    for (const addon of ADDONS) {
      fs.rmSync(outFile(addon, spec.abi), { force: true });
      prebuildify(addon, dist, work);
      if (!fs.existsSync(outFile(addon, spec.abi))) throw new Error(`${outFile(addon, spec.abi)} was not written`);
    }
    fs.writeFileSync(stampFile(spec.abi), hash);
    log(`Node ${dist.version} (ABI ${spec.abi}): built in ${((Date.now() - began) / 1000).toFixed(0)} s`);
  }
}

try {
  main();
} catch (err) {
  log(err.message);
  process.exit(1);
}
