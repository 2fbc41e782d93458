#!/usr/bin/env node
'use strict';
// Soak: many small scans across every slot, a new job every 1000 scans, every
// reported nonce verified against the job it was queued for. Resident memory
// after the first 1000 scans and at the end should stay within 10 %.
//
//   node bench/soak.js [--scans 100000] [--backend opencl|cuda] [--slots 4] [--work 256]
//
// With --backend cuda set NVSIEVE_LIBCUDA=build/emu-cuda/libcuda.so.1 (the
// emulated driver) to run it without a GPU.
const { openBackends } = require('../lib/devices');
const { scanOnce } = require('../lib/search');
const pow = require('../lib/pow');
const { noncesPerScan, WORK_SIZE_STEP } = require('../lib/work');

const args = process.argv.slice(2);
const opt = (name, fallback) => {
  const at = args.indexOf(`--${name}`);
  return at >= 0 ? args[at + 1] : fallback;
};
const SCANS = Number(opt('scans', 100000));
const SLOTS = Number(opt('slots', 4));
const BACKEND = opt('backend', 'opencl');
const WORK = Number(opt('work', WORK_SIZE_STEP[BACKEND]));
const PER_JOB = 1000;

function makeJob(n) {
  const header = Buffer.alloc(pow.HEADER_BYTES);
  header.writeUInt32LE(n, 0);
  for (let i = 4; i < 280; i++) header[i] = (i * 13 + n) & 0xff;
  const target = Buffer.alloc(pow.TARGET_BYTES, 0xff);
  target.writeBigUInt64LE(1n << 56n, 24);  // one nonce in 256 wins
  return { header, target };
}

async function main() {
  const [found] = openBackends(BACKEND, (line) => console.error(line));
  if (!found) throw new Error(`no ${BACKEND} device`);
  const { gpu } = found;
  gpu.init_devices([0], [SLOTS], [WORK]);
  if (BACKEND === 'cuda') gpu.create_buffers();
  const span = noncesPerScan(BACKEND, WORK, gpu.get_gran(0));

  let done = 0;
  let found_ = 0;
  let bad = 0;
  let rssAfterFirst = 0;
  let next = 0;
  const began = Date.now();
  for (let round = 0; done < SCANS; round++) {
    const { header, target } = makeJob(round);
    gpu.set_block(header, target);
    const perSlot = Math.ceil(Math.min(PER_JOB, SCANS - done) / SLOTS);
    await Promise.all(Array.from({ length: SLOTS }, async (_, slot) => {
      for (let i = 0; i < perSlot; i++) {
        const from = next;
        next += span;
        const nonce = await scanOnce({ gpu, device: 0, slot }, header, target, from);
        done++;
        if (nonce === pow.NOT_FOUND) continue;
        found_++;
        if (nonce < from || nonce >= from + span || !pow.verifyNonce(header, target, nonce)) bad++;
      }
    }));
    if (round === 0) {
      global.gc && global.gc();
      rssAfterFirst = process.memoryUsage().rss;
    }
  }
  global.gc && global.gc();
  const rssEnd = process.memoryUsage().rss;
  const seconds = (Date.now() - began) / 1000;
  const growth = (rssEnd - rssAfterFirst) / rssAfterFirst;
  console.log(`${done} scans (${BACKEND}, ${SLOTS} slots, ${span} nonces each) in ${seconds.toFixed(1)} s, ` +
    `${(done / seconds).toFixed(0)} scans/s`);
  console.log(`found ${found_}, failed verification ${bad}`);
  console.log(`resident memory: ${(rssAfterFirst / 2 ** 20).toFixed(1)} MiB after the first ${PER_JOB}, ` +
    `${(rssEnd / 2 ** 20).toFixed(1)} MiB at the end (${(growth * 100).toFixed(1)} %)`);
  process.exit(bad === 0 && growth <= 0.1 ? 0 : 1);
}

main().catch((err) => { console.error(err.message); process.exit(1); });
