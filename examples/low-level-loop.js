#!/usr/bin/env node
'use strict';
// A complete mining loop on the modules themselves, to copy from (openRig
// does all of this in one call: examples/mining-loop.js):
//
//   node examples/low-level-loop.js [--winners 8] [--budget 16777216] [--slots 2]
//                                [--work 4096] [--odds 4096]
//
// It uses CUDA when nvsieve finds a usable device and OpenCL otherwise (set
// CLSIEVE_PLATFORM_VENDOR / CLSIEVE_DEVICE_TYPE to pick OpenCL devices; for
// PoCL on a CPU: "The pocl project" and "cpu"). Every slot of every device
// keeps one scan in flight, each scan taking the next range of nonces; half
// way a second job arrives; every nonce a device reports is checked on the
// host before it counts. It stops after --winners verified winners or once
// --budget nonces have been handed out.
//
// Exit status: 0 when every reported nonce verified, 1 when one did not,
// 2 when it cannot run (a bad option, no device).
const {
  clsieve, nvsieve, verifyNonce, targetTop64, noncesPerScan, NOT_FOUND, NONCE_LIMIT, WORK_SIZE_STEP,
} = require('noncesieve');
const { options, makeJob } = require('./jobs');

// CUDA when usable: isAvailable() asks in a child process, because
// constructing nvsieve's context without a driver ends the process.
function openBackend() {
  if (nvsieve.isAvailable()) {
    const gpu = new nvsieve.GpuContextWrapper();
    // A device the module has no image for reports granularity 0: skip it.
    const ids = [...Array(gpu.get_total_devices()).keys()].filter((i) => gpu.get_gran(i) > 0);
    return { name: 'CUDA (nvsieve)', backend: 'cuda', gpu, ids };
  }
  const gpu = new clsieve.GpuContextWrapper(); // reads the CLSIEVE_* variables now
  const ids = [...Array(gpu.get_total_devices()).keys()];
  return { name: 'OpenCL (clsieve)', backend: 'opencl', gpu, ids };
}

async function main() {
  let opt;
  try {
    opt = options();
  } catch (err) {
    console.error(err.message);
    return 2;
  }
  const { name, backend, gpu, ids } = openBackend();
  if (ids.length === 0) {
    console.log('No device found. For OpenCL on a CPU (PoCL): ' +
      'CLSIEVE_PLATFORM_VENDOR="The pocl project" CLSIEVE_DEVICE_TYPE=cpu');
    return 2;
  }
  // Work sizes in whole blocks of 512 threads on CUDA, work-groups of 256 on OpenCL.
  const work = Math.ceil(opt.work / WORK_SIZE_STEP[backend]) * WORK_SIZE_STEP[backend];
  console.log(`Using ${name}: devices ${ids.join(', ')}, ${opt.slots} slots each, ` +
    `${work} work items a scan`);
  gpu.init_devices(ids, ids.map(() => opt.slots), ids.map(() => work));

  // A lane is one slot of one device; each of its scans covers noncesPerScan
  // nonces. (libuv runs 4 scans at once unless UV_THREADPOOL_SIZE says more.)
  const lanes = ids.flatMap((device) => Array.from({ length: opt.slots },
    (_, slot) => ({ device, slot, span: noncesPerScan(backend, work, gpu.get_gran(device)) })));

  let job = makeJob(1, opt.odds); // the job new scans are queued for
  gpu.set_block(job.header, job.target);
  const top = targetTop64(job.target).toString(16).padStart(16, '0');
  console.log(`Job ${job.id}: target 0x${top}... (about 1 nonce in ${opt.odds} wins)`);

  const winners = [];
  let rejected = 0;
  let handedOut = 0;
  const done = () => winners.length >= opt.winners || handedOut >= opt.budget;

  // A new job. Both modules remember which job each scan was queued for:
  // scans already queued still search the old job's block, later ones the
  // new job's, so there is nothing to wait for.
  function switchJob(next) {
    gpu.set_block(next.header, next.target); // nvsieve ignores the arguments
    job = next;
    console.log(`Job ${job.id} arrived: new header, same target; scanning it from nonce 0`);
  }

  // Check a reported nonce against the job its scan was queued for, which
  // is not the current job when the scan was queued before a switch.
  function report(lane, queuedFor, nonce) {
    const late = queuedFor !== job ? ` (queued before job ${job.id} arrived)` : '';
    if (!verifyNonce(queuedFor.header, queuedFor.target, nonce)) {
      rejected++;
      console.log(`REJECTED nonce ${nonce} for job ${queuedFor.id} from device ${lane.device} ` +
        `slot ${lane.slot}${late}: its hash is not below the target`);
      return;
    }
    winners.push({ job: queuedFor.id, nonce });
    console.log(`verified winner ${winners.length}: job ${queuedFor.id} nonce ${nonce} ` +
      `(device ${lane.device} slot ${lane.slot})${late}`);
    // The second job arrives once half the winners are in.
    if (queuedFor.id === 1 && winners.length === Math.ceil(opt.winners / 2) && !done()) {
      switchJob(makeJob(2, opt.odds));
    }
  }

  async function run(lane) {
    while (!done()) {
      const mine = job;
      // Nonces are 48 bits: a job runs out at 2^48 (a pool sends a new one long before).
      if (mine.next + lane.span > NONCE_LIMIT) break;
      const start = mine.next;
      mine.next += lane.span;
      handedOut += lane.span;
      // Pass the job's own header and target: a module writes them to the
      // device when the slot does not hold this job's block.
      const nonce = await new Promise((resolve) =>
        gpu.scan_nonces(resolve, mine.header, mine.target, start, lane.device, lane.slot));
      if (nonce !== NOT_FOUND) report(lane, mine, nonce);
    }
  }

  const began = Date.now();
  await Promise.all(lanes.map(run)); // each lane ends after its last scan has come back
  const seconds = (Date.now() - began) / 1000;
  const perJob = [1, 2].map((id) => winners.filter((w) => w.job === id).length);
  const why = winners.length >= opt.winners ? 'with enough winners' : 'at the nonce budget';
  console.log(`Stopped ${why}: ${winners.length} verified winners ` +
    `(job 1: ${perJob[0]}, job 2: ${perJob[1]}), ${rejected} rejected, ` +
    `${handedOut} nonces in ${seconds.toFixed(2)} s`);
  return rejected > 0 ? 1 : 0;
}

if (require.main === module) {
  main().then((status) => { process.exitCode = status; }, (err) => {
    console.error(err);
    process.exitCode = 1;
  });
}
