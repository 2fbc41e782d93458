#!/usr/bin/env node
'use strict';
// A mining loop on openRig(), to copy from:
//
//   node examples/mining-loop.js [--winners 8] [--budget 16777216] [--slots 2]
//                                [--work 4096] [--odds 4096]
//
// The rig opens every usable device (CUDA when nvsieve finds one, else
// OpenCL; for PoCL on a CPU set CLSIEVE_PLATFORM_VENDOR="The pocl project"
// CLSIEVE_DEVICE_TYPE=cpu) in a device process of its own, keeps every slot
// busy, verifies every nonce on the host, and survives a GPU failure. Half
// way a second job arrives, as a pool would send it, and supersedes the
// first. It stops after --winners verified winners or once --budget nonces
// have been handed out. (examples/low-level-loop.js does the same on the
// modules themselves.)
//
// Exit status: 0 when it stopped as asked, 1 when a device failed or
// reported a nonce that did not win, 2 when it cannot run (a bad option, no device).
const { openRig, targetTop64 } = require('noncesieve');
const { options, makeJob } = require('./jobs');

async function main() {
  let opt;
  try {
    opt = options();
  } catch (err) {
    console.error(err.message);
    return 2;
  }
  let rig;
  try {
    // A work size both backends accept: whole multiples of 512.
    rig = await openRig({ slots: opt.slots, workSize: Math.ceil(opt.work / 512) * 512 });
  } catch (err) {
    console.log(`${err.message}. For OpenCL on a CPU (PoCL): ` +
      'CLSIEVE_PLATFORM_VENDOR="The pocl project" CLSIEVE_DEVICE_TYPE=cpu');
    return 2;
  }
  const backend = rig.devices[0].backend === 'cuda' ? 'CUDA (nvsieve)' : 'OpenCL (clsieve)';
  console.log(`Using ${backend}: devices ${rig.devices.map((d) => d.device).join(', ')}, ${opt.slots} slots each, ` +
    `${rig.devices[0].workSize} work items a scan`);

  const winners = [];
  let rejected = 0;
  let handedOut = 0;
  let failed = false;
  rig.on('rejected', (r) => {
    rejected++;
    console.log(`REJECTED nonce ${r.nonce} from ${r.device} for [${r.range[0]}, ${r.range[1]}): not a winner there`);
  });
  rig.on('device-failure', (f) => {
    failed = true;
    console.log(`device failure: ${f.message}`);
  });
  const enough = () => winners.length >= opt.winners || handedOut >= opt.budget;
  let current = null; // the newest job: an older one searches no further
  let stopped;
  const finished = new Promise((resolve) => { stopped = resolve; });

  // One job, searched from where it left off after each winner, until a
  // newer job supersedes it, the budget is spent or enough winners are in.
  async function mine(job) {
    console.log(`Job ${job.id}: target 0x${targetTop64(job.target).toString(16).padStart(16, '0')}... ` +
      `(about 1 nonce in ${opt.odds} wins)`);
    current = job;
    while (current === job) {
      const r = await rig.search({ header: job.header, target: job.target, start: job.next,
        maxNonces: opt.budget - handedOut });
      handedOut += r.end - job.next;
      job.next = r.end;
      if (r.superseded) {
        console.log(`Job ${job.id} superseded at nonce ${r.end}`);
        return;
      }
      if (r.nonce !== null) {
        winners.push({ job: job.id, nonce: r.nonce });
        console.log(`verified winner ${winners.length}: job ${job.id} nonce ${r.nonce} ` +
          `(hash bytes 24-31 0x${r.hashTop64.toString(16).padStart(16, '0')})`);
        // The pool sends job 2 once half the winners are in; job 1 goes on until it arrives.
        if (job.id === 1 && winners.length === Math.ceil(opt.winners / 2) && !enough()) {
          setImmediate(() => mine(makeJob(2, opt.odds)).then(stopped, stopped));
        }
      }
      if (r.nonce === null || enough()) return stopped();
    }
    console.log(`Job ${job.id} left at nonce ${job.next}: job ${current.id} arrived`);
  }

  const began = Date.now();
  mine(makeJob(1, opt.odds)).catch((err) => {
    console.log(`search failed: ${err.message}`);
    failed = true;
    stopped();
  });
  await finished;
  const seconds = (Date.now() - began) / 1000;
  const rates = failed ? [] : await rig.rates();
  const health = failed ? [] : await rig.health();
  for (const [n, d] of rig.devices.entries()) {
    if (!rates[n]) continue;
    const h = health[n];
    const sensors = h.temperature === null ? 'no sensors' : `${h.temperature} °C, ${h.power ?? '?'} W`;
    console.log(`${d.device}: ${(rates[n].rate / 1e6).toFixed(2)} M nonces/s, ${sensors}`);
  }
  if (!failed) await rig.close();
  const perJob = [1, 2].map((id) => winners.filter((w) => w.job === id).length);
  const why = winners.length >= opt.winners ? 'with enough winners' : 'at the nonce budget';
  console.log(`Stopped ${why}: ${winners.length} verified winners ` +
    `(job 1: ${perJob[0]}, job 2: ${perJob[1]}), ${rejected} rejected, ` +
    `${handedOut} nonces in ${seconds.toFixed(2)} s`);
  return failed || rejected > 0 ? 1 : 0;
}

if (require.main === module) {
  main().then((status) => { process.exitCode = status; }, (err) => {
    console.error(err);
    process.exitCode = 1;
  });
}
