#!/usr/bin/env node
'use strict';
// openRig() measured on one device: how long a job switch takes (from the
// search() call until every lane has a scan of the new job in flight, median
// and worst of many switches, beside the time one scan takes), and what
// search() costs against the loop run in the process that holds the module
// (lib/search.js on the module directly): nonces per second of each, same
// device, work size and slots, medians of several alternating runs.
//
//   node bench/rig.js [--switches 200] [--runs 5] [--nonces N] [--work 65536] [--slots 2]
//                     [--cuda 1]
//
// Device 0 of OpenCL (with no AMD GPU, every OpenCL device: PoCL on a CPU),
// or of CUDA with --cuda 1.
const { openRig } = require('../lib/rig');
const { openBackends } = require('../lib/devices');
const { initialise, laneList } = require('../lib/cli-worker');
const { searchJob } = require('../lib/search');
const { median } = require('../lib/sweep');
const { numericOptions } = require('./options');
const pow = require('../lib/pow');

const args = numericOptions();
const SWITCHES = args.switches || 200;
const RUNS = args.runs || 5;
const WORK = args.work || 65536;
const SLOTS = args.slots || 2;
const BACKEND = args.cuda ? 'cuda' : 'opencl';

const header = (k) => {
  const h = Buffer.from(pow.SELFTEST.header, 'hex');
  h.writeUInt32LE(k, 0);
  return h;
};
const NONE = Buffer.alloc(32); // no nonce wins: every search runs to its end
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function switches(rig, scanMs) {
  const results = [];
  for (let k = 0; k < SWITCHES; k++) {
    results.push(rig.search({ header: header(k), target: NONE }));
    // The next job arrives anywhere within the next two scans.
    await sleep(Math.random() * 2 * scanMs);
  }
  const last = results.pop();
  const all = await Promise.all(results);
  await rig.search({ header: header(0), target: NONE, maxNonces: 1 }); // settles the last one
  await last;
  return all.map((r) => r.switchMs).filter((ms) => ms !== null);
}

// Nonces per second of rig.search over `nonces`, wall clock from the call.
async function rigRate(rig, nonces) {
  const began = process.hrtime.bigint();
  const r = await rig.search({ header: header(1), target: NONE, maxNonces: nonces });
  return r.scanned / (Number(process.hrtime.bigint() - began) / 1e9);
}

// The same through the loop on the module in this process.
async function directRate(nonces) {
  const [found] = openBackends(BACKEND);
  const d = { backend: found.backend, gpu: found.gpu, index: 0, work: WORK, key: null };
  const [gpu] = initialise([d], SLOTS);
  gpu.set_block(header(1), NONE);
  const began = process.hrtime.bigint();
  const r = await searchJob({ lanes: laneList([d], SLOTS), header: header(1), target: NONE, maxNonces: nonces });
  return r.scanned / (Number(process.hrtime.bigint() - began) / 1e9);
}

async function main() {
  process.env.UV_THREADPOOL_SIZE = String(SLOTS + 1);
  const open = () => openRig({ backend: BACKEND, devices: ['0'], workSize: WORK, slots: SLOTS, onLog: () => {} });
  let rig = await open();
  const [d] = rig.devices;
  const warm = await rig.bench(1);
  const rate = warm.scanned / (warm.elapsedMs / 1000);
  const scanMs = d.noncesPerScan * SLOTS / rate * 1000;
  const nonces = args.nonces || Math.round(rate * 3 / d.noncesPerScan) * d.noncesPerScan;
  console.log(`${d.device} ${d.key}, work size ${d.workSize} (${d.noncesPerScan} nonces a scan), ${SLOTS} slots; ` +
    `one scan ${scanMs.toFixed(2)} ms`);

  const ms = await switches(rig, scanMs);
  const sorted = [...ms].sort((a, b) => a - b);
  console.log(`job switch, call to every lane on the new job: median ${median(ms).toFixed(2)} ms, ` +
    `worst ${sorted[sorted.length - 1].toFixed(2)} ms over ${ms.length} switches ` +
    `(${(median(ms) / scanMs).toFixed(2)} and ${(sorted[sorted.length - 1] / scanMs).toFixed(2)} scans)`);

  const viaRig = [];
  const direct = [];
  for (let run = 0; run < RUNS; run++) {
    viaRig.push(await rigRate(rig, nonces));
    await rig.close();
    direct.push(await directRate(nonces));
    rig = await open();
  }
  await rig.close();
  const [a, b] = [median(viaRig), median(direct)];
  console.log(`rig.search ${(a / 1e6).toFixed(2)} M/s, the loop in the module's process ${(b / 1e6).toFixed(2)} M/s ` +
    `(medians of ${RUNS} runs of ${nonces} nonces): search() costs ${((1 - a / b) * 100).toFixed(1)} %`);
  process.exit(0);
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
