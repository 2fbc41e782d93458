'use strict';
// Choosing a work size by measuring: every slot of a device kept busy over a
// growing range of work sizes. The choice is the smallest work size whose rate
// is within 2 % of the best of those whose scan takes at most 100 ms, so that a
// new job reaches the GPU quickly. Choices are cached per device key and slot
// count, so that only the first search on a device pays for a short sweep.
const fs = require('fs');
const path = require('path');
const pow = require('./pow');
const { cacheDir } = require('./cache-dir');
const { noncesPerScan, WORK_SIZE_STEP } = require('./work');
const { keepBusy, scanOnce } = require('./search');

const MAX_SCAN_MS = 100;
const WITHIN = 0.02;
// init_devices takes work sizes as 32-bit signed integers.
const MAX_WORK = 2 ** 30;

function cacheFile() {
  return path.join(cacheDir(), 'work-sizes.json');
}

// nvsieve's search kernels, the default first.
const KERNELS = ['default', 'balanced'];

// One entry per kind of device: two cards of one model share their choice.
// On CUDA, each kernel but the default has entries of its own.
function cacheKey(d) {
  const kernel = process.env.NVSIEVE_KERNEL;
  const other = d.backend === 'cuda' && kernel && kernel !== KERNELS[0] ? `:${kernel}` : '';
  return `${d.backend}:${d.key}${other}`;
}

function readCache() {
  try {
    const cache = JSON.parse(fs.readFileSync(cacheFile(), 'utf8'));
    return cache && typeof cache === 'object' ? cache : {};
  } catch {
    return {};
  }
}

// The cached choice for this device and slot count, when it is still one the
// device's backend accepts.
function cachedChoice(d, slots) {
  const entry = (readCache()[cacheKey(d)] || {})[slots];
  const step = WORK_SIZE_STEP[d.backend];
  if (!entry || !Number.isSafeInteger(entry.work) || entry.work <= 0 || entry.work % step !== 0) return null;
  return entry;
}

// Records choices of work size.
function storeChoices(d, choices) {
  writeCache((cache) => {
    const entry = cache[cacheKey(d)] || {};
    for (const c of choices) entry[c.slots] = c;
    cache[cacheKey(d)] = entry;
  });
}

// Changes the cache with `change(cache)`; a cache that cannot be written
// only costs a sweep later.
function writeCache(change) {
  const cache = readCache();
  change(cache);
  const file = cacheFile();
  try {
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(`${file}.${process.pid}`, JSON.stringify(cache, null, 1));
    fs.renameSync(`${file}.${process.pid}`, file);
  } catch {
    // Nothing to do: the next run measures again.
  }
}

// The faster kernel that a sweep found for CUDA devices of this key, or null.
function cachedKernel(key) {
  const kernel = (readCache()[`cuda:${key}`] || {}).kernel;
  return KERNELS.includes(kernel) ? kernel : null;
}

function storeKernel(key, kernel) {
  writeCache((cache) => {
    cache[`cuda:${key}`] = { ...cache[`cuda:${key}`], kernel };
  });
}

/**
 * The choice among measured rows [{ work, slots, noncesPerSecond, scanMs }]:
 * of the rows whose scan takes at most 100 ms (all rows when none does), the
 * smallest work size whose rate is within 2 % of their best.
 */
function pickWorkSize(rows) {
  const quick = rows.filter((r) => r.scanMs <= MAX_SCAN_MS);
  const pool = quick.length ? quick : rows;
  const best = Math.max(...pool.map((r) => r.noncesPerSecond));
  return pool.filter((r) => r.noncesPerSecond >= best * (1 - WITHIN))
    .reduce((a, b) => (b.work < a.work ? b : a));
}

// The first work size tried: a few work-groups per compute unit on OpenCL
// (the key ends in -<GiB>gb-<compute units>-<MHz>), 16 blocks on CUDA.
function firstWork(d) {
  if (d.backend === 'cuda') return 16 * 512;
  const units = Number((/-\d+gb-(\d+)-\d+$/.exec(d.key) || [])[1]) || 1;
  return 256 * 4 * units;
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

// Rate and median scan time of one device at one work size and slot count.
async function measure(d, work, slots, seconds) {
  d.gpu.init_devices([d.index], [slots], [work], true);
  if (d.backend === 'cuda') d.gpu.create_buffers();
  const span = noncesPerScan(d.backend, work, d.gpu.get_gran(d.index));
  const header = Buffer.from(pow.SELFTEST.header, 'hex');
  const target = Buffer.from(pow.SELFTEST.target, 'hex');
  d.gpu.set_block(header, target);
  const lanes = Array.from({ length: slots }, (_, slot) => ({ gpu: d.gpu, device: d.index, slot, span }));
  // The first scans upload the block and warm the device up.
  await Promise.all(lanes.map((lane) => scanOnce(lane, header, target, 0)));
  const r = await keepBusy({ lanes, header, target, seconds });
  const nonces = r.counts.reduce((a, b) => a + b, 0);
  return { work, slots, noncesPerScan: span, noncesPerSecond: nonces / (r.elapsedMs / 1000),
    scanMs: median(r.scanMs) };
}

/**
 * Measures device `d` ({ backend, gpu, index, key }) for each slot count,
 * doubling the work size (quadrupling when `quick`) from a size fitted to the
 * device until a scan takes over 100 ms or the rate stops growing. Returns
 * { rows, choices, choice }: a choice per slot count, `choice` the first's.
 */
async function sweepDevice(d, { slots = [2], seconds, quick = false, onRow = () => {} } = {}) {
  const perPoint = seconds || (quick ? 0.3 : 0.5);
  const factor = quick ? 4 : 2;
  const rows = [];
  const choices = [];
  for (const s of slots) {
    const mine = [];
    let flat = 0;
    for (let work = firstWork(d); work <= MAX_WORK; work *= factor) {
      const row = await measure(d, work, s, perPoint);
      const before = Math.max(0, ...mine.map((r) => r.noncesPerSecond));
      mine.push(row);
      onRow(row);
      flat = row.noncesPerSecond > before * (1 + WITHIN) ? 0 : flat + 1;
      if (row.scanMs > MAX_SCAN_MS || flat >= 2) break;
    }
    rows.push(...mine);
    const pick = pickWorkSize(mine);
    choices.push({ slots: s, work: pick.work, noncesPerSecond: pick.noncesPerSecond, scanMs: pick.scanMs });
  }
  return { rows, choices, choice: choices[0] };
}

module.exports = {
  sweepDevice, pickWorkSize, cachedChoice, storeChoices, cachedKernel, storeKernel, cacheFile, median,
  KERNELS, MAX_SCAN_MS, WITHIN,
};
