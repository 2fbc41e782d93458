#!/usr/bin/env node
'use strict';
// Nonces per second of clsieve through its public API, per device, beside two
// references run in the same invocation: the same kernel launched back to
// back by a minimal C++ host (the binding's ceiling) and the host reference
// on all cores. Medians of several runs.
//
//   node bench/clsieve-throughput.js [--seconds 3] [--runs 5] [--work 1048576] [--slots 2]
//
// Devices are found as clsieve finds them; with no AMD GPU every OpenCL
// device is used (PoCL on a CPU, for instance).
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { shippedKernelFile } = require('./ocl-source');
const { openBackends } = require('../lib/devices');
const { keepBusy } = require('../lib/search');
const pow = require('../lib/pow');
const { noncesPerScan } = require('../lib/work');
const { numericOptions } = require('./options');
const { median } = require('../lib/sweep');

const ROOT = path.join(__dirname, '..');
const args = numericOptions();
const SECONDS = args.seconds || 3;
const RUNS = args.runs || 5;
const WORK = args.work || 1 << 20;
const SLOTS = args.slots || 2;

const mega = (x) => (x / 1e6).toFixed(1).padStart(7);

// A native helper of the development build (scripts/setup.sh).
function native(name) {
  const file = path.join(ROOT, 'build', 'Release', name);
  if (!fs.existsSync(file)) throw new Error(`${file} is not built: run bash scripts/setup.sh`);
  return file;
}

async function apiRate(gpu, device) {
  const header = Buffer.from(pow.SELFTEST.header, 'hex');
  const target = Buffer.from(pow.SELFTEST.target, 'hex');
  gpu.set_block(header, target);
  const span = noncesPerScan('opencl', WORK, gpu.get_gran(device));
  const lanes = Array.from({ length: SLOTS }, (_, slot) => ({ gpu, device, slot, span }));
  const rates = [];
  let next = 0;
  for (let run = 0; run < RUNS; run++) {
    const r = await keepBusy({ lanes, header, target, seconds: SECONDS, start: next });
    next = r.next;
    rates.push(r.counts.reduce((a, b) => a + b, 0) / (r.elapsedMs / 1000));
  }
  return median(rates);
}

async function main() {
  const backends = openBackends('opencl', (line) => console.error(line));
  if (backends.length === 0) throw new Error('no OpenCL device found');
  const { gpu, devices, widened } = backends[0];
  const ids = devices.map((d) => d.index);
  gpu.init_devices(ids, ids.map(() => SLOTS), ids.map(() => WORK));

  const host = native('ocl_host');
  const reference = native('reference_cpu');
  const kernelFile = shippedKernelFile();
  // The host helper finds devices the way the module did.
  const env = widened
    ? { ...process.env, CLSIEVE_PLATFORM_VENDOR: '', CLSIEVE_DEVICE_TYPE: 'all' }
    : process.env;

  console.log(`clsieve throughput: work size ${WORK}, ${SLOTS} slots, ${SECONDS} s x ${RUNS} runs (median)`);
  console.log('device                                 API M/s   host M/s   API/host');
  for (const id of ids) {
    const api = await apiRate(gpu, id);
    const hostRates = execFileSync(host, [kernelFile, String(id), String(WORK),
      String(SECONDS), String(RUNS)], { cwd: ROOT, env, encoding: 'utf8' }).trim().split('\n').map(Number);
    const hostRate = median(hostRates);
    const name = gpu.get_key(id).slice(0, 36).padEnd(36);
    console.log(`${name} ${mega(api)}   ${mega(hostRate)}   ${(api / hostRate).toFixed(2).padStart(8)}`);
  }
  const cpu = median(execFileSync(reference, [String(SECONDS), String(RUNS)], { encoding: 'utf8' })
    .trim().split('\n').map(Number));
  console.log(`host reference, C++ on all cores:      ${mega(cpu)}`);
  process.exit(0);
}

main().catch((err) => { console.error(err.message); process.exit(1); });
