'use strict';
// How the command hands out nonces: lanes advance by what a scan covers
// (a fake module of granularity 2 shows the granularity is used), the last
// scan before 2^48 is moved back rather than run past the nonce field, a
// fractional start nonce is truncated by both modules, and the sweep's rule
// for choosing a work size.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const { EMU, pow, job, scan, runChild } = require('./helpers');
const { laneList, initialise } = require('../../lib/cli-worker');
const { searchJob, nextScanStart, LaneRunner } = require('../../lib/search');
const { pickWorkSize } = require('../../lib/sweep');


// A module of granularity 2 that hashes on the host: each scan covers
// work x 2 nonces from its start and reports the lowest winner.
function fakeGran2Module() {
  const starts = [];
  let work = 0;
  const gpu = {
    init_devices(ids, slots, works) { work = works[0]; return 0; },
    get_gran: () => 2,
    set_block: () => 0,
    scan_nonces(callback, header, target, start, device, slot) {
      starts.push({ start, slot });
      const t = pow.targetTop64(target);
      let found = pow.NOT_FOUND;
      for (let n = start; n < start + 2 * work && found === pow.NOT_FOUND; n++) {
        if (pow.hashTop64(header, n) < t) found = n;
      }
      setImmediate(callback, found);
    },
  };
  return { gpu, starts };
}

// The job's lowest hash in [0, count): its nonce, and a target only it beats.
function singleWinner(header, count) {
  let best = 0;
  let bestTop = pow.hashTop64(header, 0);
  for (let n = 1; n < count; n++) {
    const top = pow.hashTop64(header, n);
    if (top < bestTop) { best = n; bestTop = top; }
  }
  const target = Buffer.alloc(32, 0xff);
  target.writeBigUInt64LE(bestTop + 1n, 24);
  return { nonce: best, target };
}

test('lanes on a device of granularity 2 advance by work size x 2', async () => {
  const { gpu, starts } = fakeGran2Module();
  const work = 256;
  const chosen = [{ backend: 'opencl', gpu, index: 0, id: 'opencl:0', work }];
  initialise(chosen, 2);
  const lanes = laneList(chosen, 2);
  assert.deepStrictEqual(lanes.map((l) => [l.slot, l.span]), [[0, 512], [1, 512]]);
  const { header } = job(60, 1);
  const { nonce, target } = singleWinner(header, 8 * work);
  // The winner sits in the second half of some lane's span: found only when
  // the span counts both nonces of each work item.
  const result = await searchJob({ lanes, header, target, start: 0, maxNonces: 8 * work });
  assert.strictEqual(result.nonce, nonce);
  const handed = starts.map((s) => s.start).sort((a, b) => a - b);
  assert.deepStrictEqual(handed.slice(0, 2), [0, 512]);
  handed.forEach((s, i) => assert.strictEqual(s, i * 512));
});

test('the last scan below 2^48 is moved back to end there', async () => {
  const limit = pow.NONCE_LIMIT;
  const cases = [[0, 1024, 0], [limit - 1024, 1024, limit - 1024], [limit - 1000, 1024, limit - 1024],
    [limit - 1, 512, limit - 512], [limit, 512, null]];
  for (const [next, span, start] of cases) assert.strictEqual(nextScanStart(next, span), start, `${next} ${span}`);

  const { gpu, starts } = fakeGran2Module();
  const chosen = [{ backend: 'opencl', gpu, index: 0, id: 'opencl:0', work: 256 }];
  initialise(chosen, 2);
  const none = Buffer.alloc(32);
  const { header } = job(61, 1);
  const result = await searchJob({ lanes: laneList(chosen, 2), header, target: none, start: limit - 1300 });
  assert.deepStrictEqual(starts.map((s) => s.start).sort((a, b) => a - b),
    [limit - 1300, limit - 788, limit - 512]);
  assert.deepStrictEqual([result.nonce, result.scanned, result.end, result.exhausted], [null, 1300, limit, true]);
});

test('a fractional start nonce is truncated toward zero by both modules', async () => {
  const { header } = job(62, 1);
  const { nonce, target } = singleWinner(header, 2048);
  const clsieve = require('../../lib/clsieve');
  const gpu = new clsieve.GpuContextWrapper();
  gpu.init_devices([0], [1], [512], false);
  gpu.set_block(header, target);
  assert.strictEqual(await scan(gpu, header, target, nonce + 0.5, 0, 0), nonce);
  assert.strictEqual(await scan(gpu, header, target, nonce + 0.999, 0, 0), nonce);
  if (!fs.existsSync(EMU)) return;
  const r = runChild(EMU, `const g = new m.GpuContextWrapper();
    g.init_devices([0], [1], [512]);
    g.set_block();
    const header = Buffer.from('${header.toString('hex')}', 'hex');
    const target = Buffer.from('${target.toString('hex')}', 'hex');
    g.scan_nonces((n) => console.log('found', n), header, target, ${nonce} + 0.5, 0, 0);`);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.match(r.stdout, new RegExp(`found ${nonce}\\n`));
});

test('the sweep chooses the smallest work size within 2 % of the best scan of at most 100 ms', () => {
  const row = (work, rate, ms) => ({ work, slots: 2, noncesPerSecond: rate, scanMs: ms });
  const cases = [
    // Within 2 % of the best, the smaller wins.
    [[row(1024, 97, 1), row(2048, 98, 2), row(4096, 100, 4)], 2048],
    [[row(1024, 97.9, 1), row(4096, 100, 4)], 4096],
    // A scan over 100 ms is not a candidate, however fast; 100 ms is.
    [[row(1024, 90, 50), row(2048, 95, 100), row(4096, 200, 100.5)], 2048],
    // When every scan is slow, the rule applies to all of them.
    [[row(1024, 90, 150), row(2048, 100, 300)], 2048],
  ];
  for (const [rows, work] of cases) assert.strictEqual(pickWorkSize(rows).work, work, JSON.stringify(rows));
});

test('the lanes\' rates cover the last five seconds; a job with nothing left to hand out settles at once', async () => {
  const { gpu } = fakeGran2Module();
  const chosen = [{ backend: 'opencl', gpu, index: 0, id: 'opencl:0', work: 256 }];
  initialise(chosen, 2);
  const runner = new LaneRunner(laneList(chosen, 2));
  const { header } = job(63, 1);
  const none = Buffer.alloc(32);
  const result = await runner.search({ header, target: none, maxNonces: 4096 }).promise;
  assert.deepStrictEqual([result.scanned, result.end, result.superseded], [4096, 4096, false]);
  const now = Date.now();
  const rates = runner.rates(now);
  assert.strictEqual(rates.length, 2);
  assert.ok(rates.every((r) => r > 0) && rates[0] + rates[1] >= 4096 / 5, `${rates}`);
  assert.deepStrictEqual(runner.rates(now + 5001), [0, 0]);
  // Past its time already, or past 2^48: settled without a scan.
  const late = await runner.search({ header, target: none, until: Date.now() - 1 }).promise;
  assert.deepStrictEqual([late.scanned, late.end], [0, 0]);
  const ended = await runner.search({ header, target: none, start: pow.NONCE_LIMIT }).promise;
  assert.deepStrictEqual([ended.scanned, ended.exhausted], [0, true]);
  await runner.close();
});
