#!/usr/bin/env node
'use strict';
// What the binding itself costs a scan: scans per second and the median round
// trip of one scan at a time, for scans that do almost nothing on the device
// (work size 256 on OpenCL; one block of 512 threads of nvsieve on the emulated
// CUDA driver, build/emu-cuda/libcuda.so.1, which scripts/test.sh builds),
// against a bare nan async worker that does nothing, built the same way.
//
//   (the development build, scripts/setup.sh, makes build/Release/bare_worker.node)
//   node bench/binding-cost.js [--scans 20000]
const path = require('path');
const fs = require('fs');
const { execFileSync } = require('child_process');
const { openBackends } = require('../lib/devices');
const { shippedKernelFile } = require('./ocl-source');
const { numericOptions } = require('./options');
const { median } = require('../lib/sweep');

const RELEASE = path.join(__dirname, '..', 'build', 'Release');
const SCANS = numericOptions().scans || 20000;


// One call at a time: the round trip of each, then calls per second.
async function measure(call) {
  for (let i = 0; i < 200; i++) await new Promise(call);  // warm-up
  const trips = [];
  const began = process.hrtime.bigint();
  for (let i = 0; i < SCANS; i++) {
    const t0 = process.hrtime.bigint();
    await new Promise(call);
    trips.push(Number(process.hrtime.bigint() - t0) / 1000);
  }
  const seconds = Number(process.hrtime.bigint() - began) / 1e9;
  return { perSecond: SCANS / seconds, medianMicros: median(trips) };
}

async function main() {
  const bareFile = path.join(RELEASE, 'bare_worker.node');
  if (!fs.existsSync(bareFile)) {
    throw new Error('build the bare worker first: bash scripts/setup.sh');
  }
  const bare = require(bareFile);
  const rows = [['bare nan async worker', await measure((resolve) => bare.run(resolve))]];

  const [ocl] = openBackends('opencl', () => {});
  if (ocl) {
    const header = Buffer.alloc(286);
    const target = Buffer.alloc(32);
    ocl.gpu.init_devices([0], [1], [256]);
    ocl.gpu.set_block(header, target);
    rows.push(['clsieve scan, 256 work items (PoCL)', await measure((resolve) =>
      ocl.gpu.scan_nonces(resolve, header, target, 0, 0, 0))]);
    // The same launch and read from a minimal C++ host: what OpenCL itself costs.
    const host = path.join(RELEASE, 'ocl_host');
    if (fs.existsSync(host)) {
      const env = ocl.widened
        ? { ...process.env, CLSIEVE_PLATFORM_VENDOR: '', CLSIEVE_DEVICE_TYPE: 'all' } : process.env;
      const rates = execFileSync(host, [shippedKernelFile(), '0', '256', '2', '3'],
        { cwd: path.join(__dirname, '..'), env, encoding: 'utf8' }).trim().split('\n').map(Number);
      const perSecond = median(rates) / 256;
      rows.push(['  the same launch from a C++ host (mean)', { perSecond, medianMicros: 1e6 / perSecond }]);
    }
  }

  const driver = path.join(RELEASE, '..', 'emu-cuda', 'libcuda.so.1');
  const nvsieve = path.join(RELEASE, 'nvsieve.node');
  if (fs.existsSync(driver) && fs.existsSync(nvsieve)) {
    // The module opens the driver when the first context is made.
    process.env.NVSIEVE_LIBCUDA = driver;
    const { GpuContextWrapper } = require(nvsieve);
    const gpu = new GpuContextWrapper();
    const header = Buffer.alloc(286);
    const target = Buffer.alloc(32);
    gpu.init_devices([0], [1], [512]);  // the smallest launch: one block of 512 threads
    gpu.set_block();
    rows.push(['nvsieve scan, one block (emulated driver)', await measure((resolve) =>
      gpu.scan_nonces(resolve, header, target, 0, 0, 0))]);
  }

  const floor = rows[0][1].medianMicros;
  console.log(`${SCANS} calls each, one in flight at a time`);
  console.log('path                                       calls/s   median round trip   x bare');
  for (const [name, r] of rows) {
    console.log(`${name.padEnd(40)} ${r.perSecond.toFixed(0).padStart(9)}   ${r.medianMicros.toFixed(1).padStart(10)} us` +
      `   ${(r.medianMicros / floor).toFixed(2).padStart(8)}`);
  }
  process.exit(0);
}

main().catch((err) => { console.error(err.message); process.exit(1); });
