#!/usr/bin/env node
'use strict';
// npm start: the core's self-test on the host, then every device found runs
// its own self-test and together they search the built-in job for a winner.
const path = require('path');
const { spawnSync } = require('child_process');
const pow = require('../lib/pow');
const { openBackends } = require('../lib/devices');
const { searchJob } = require('../lib/search');

const SLOTS = 2;

function main() {
  console.log('== Host self-test (the proof-of-work core)');
  const core = spawnSync(path.join(__dirname, '..', 'build', 'Release', 'core_selftest'),
    { stdio: 'inherit' });
  if (core.status !== 0) process.exit(1);

  const backends = openBackends('auto', (line) => console.log(line));
  if (backends.length === 0) {
    console.log('No GPU or OpenCL device was found. Install an OpenCL platform ' +
      '(on Debian: apt-get install pocl-opencl-icd) or a CUDA driver.');
    process.exit(1);
  }

  const lanes = [];
  for (const { backend, gpu, devices } of backends) {
    console.log(`\n== ${backend === 'cuda' ? 'CUDA (nvsieve)' : 'OpenCL (clsieve)'}`);
    const ids = devices.map((d) => d.index);
    // One launch per scan: about 80 % of the device memory's worth of batches
    // (a few hundred thousand nonces on small devices).
    const work = ids.map((i) => backend === 'cuda'
      ? Math.max(512, gpu.get_batch_size(i) * 512)
      : Math.max(256, Math.min(gpu.get_batch_size(i, 1), 2048) * 256));
    gpu.init_devices(ids, ids.map(() => SLOTS), work);
    if (backend === 'cuda') gpu.create_buffers();
    ids.forEach((i, n) => {
      console.log(`-- self-test of device ${i}`);
      gpu.test(i);
      const span = work[n] * gpu.get_gran(i);
      for (let slot = 0; slot < SLOTS; slot++) lanes.push({ gpu, device: i, slot, span });
    });
  }

  const header = Buffer.from(pow.SELFTEST.header, 'hex');
  const target = Buffer.from(pow.SELFTEST.target, 'hex');
  for (const { gpu } of backends) gpu.set_block(header, target);
  console.log(`\n== Searching the built-in job on ${lanes.length} lanes ` +
    `(target 0x${pow.targetTop64(target).toString(16).padStart(16, '0')})`);
  return searchJob({
    lanes, header, target, start: 0,
    onProgress: ({ scanned, elapsedMs }) => console.log(
      `   ${(scanned / 1e6).toFixed(1)} M nonces in ${(elapsedMs / 1000).toFixed(1)} s ` +
      `(${(scanned / 1e3 / Math.max(elapsedMs, 1)).toFixed(1)} M/s)`),
    onRejected: ({ nonce }) => console.log(`   device reported ${nonce}, which does not verify`),
  }).then(({ nonce, scanned, elapsedMs }) => {
    const hash = pow.hashTop64(header, nonce).toString(16).padStart(16, '0');
    console.log(`Winner: nonce ${nonce} (hash bytes 24-31: 0x${hash}), verified on the host, ` +
      `after ${(scanned / 1e6).toFixed(1)} M nonces in ${(elapsedMs / 1000).toFixed(1)} s`);
    process.exit(0);
  });
}

main();
