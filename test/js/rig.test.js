'use strict';
// openRig(): the mining loop in one object, its devices in a child process.
// On PoCL and on the emulated CUDA platform (when built); every nonce the rig
// reports is checked again with Node's BLAKE2s.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { EMU, POCL_ENV, emuEnv, withEnv, job, winnersIn, pow } = require('./helpers');
const { openRig } = require('../../lib/index');

const noEmu = !fs.existsSync(EMU) && `${EMU} is not built`;
const CACHE = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-rig-'));
process.env.NONCESIEVE_CACHE_DIR = CACHE;
test.after(() => fs.rmSync(CACHE, { recursive: true, force: true }));

const FAKE = path.join(__dirname, 'fixtures', 'fake-nvsieve.js');
const PLATFORMS = [
  { name: 'PoCL', env: POCL_ENV, options: { backend: 'opencl', workSize: 1024 } },
  { name: 'emulated CUDA', env: emuEnv(), options: { backend: 'cuda', workSize: 1024 }, skip: noEmu },
];

const open = (platform, extra = {}) => withEnv(platform.env, () => openRig({ ...platform.options, ...extra }));

// A job whose range [start, start + count) holds exactly one winner: its
// lowest hash there, the target set just above it.
function oneWinner(seed, start, count) {
  const { header } = job(seed, 1);
  let best = start;
  for (let n = start + 1; n < start + count; n++) {
    if (pow.hashTop64(header, n) < pow.hashTop64(header, best)) best = n;
  }
  const target = Buffer.alloc(32, 0xff);
  target.writeBigUInt64LE(pow.hashTop64(header, best) + 1n, 24);
  return { header, target, nonce: best };
}

for (const platform of PLATFORMS) {
  test(`${platform.name}: a search finds and verifies the one winner of its range`, { skip: platform.skip }, async () => {
    const rig = await open(platform);
    try {
      assert.deepStrictEqual(rig.devices.map((d) => [d.backend, d.workSize, d.slots, d.noncesPerScan]),
        [[platform.options.backend, 1024, 2, 1024]]);
      assert.ok(rig.devices[0].name && rig.devices[0].key && rig.devices[0].kernel, JSON.stringify(rig.devices));
      const start = 2 ** 32 - 3000; // across the nonce's high word
      const { header, target, nonce } = oneWinner(70, start, 8 * 1024);
      assert.deepStrictEqual(winnersIn(header, target, start, 8 * 1024), [nonce]);
      const found = [];
      rig.on('found', (f) => found.push(f));
      const progress = [];
      const result = await rig.search({ header, target, start, maxNonces: 8 * 1024,
        onProgress: (p) => progress.push(p) });
      assert.strictEqual(result.nonce, nonce);
      assert.strictEqual(result.hashTop64, pow.hashTop64(header, nonce));
      assert.deepStrictEqual([result.superseded, result.exhausted, result.rejected], [false, false, 0]);
      assert.ok(result.end > nonce && result.end <= start + 8 * 1024 && result.scanned <= result.end - start);
      assert.strictEqual(found[0].nonce, nonce);
      assert.ok(found[0].range[0] <= nonce && nonce < found[0].range[1], `${found[0].range}`);
      assert.strictEqual(found[0].hashTop64, result.hashTop64);
      // Without a winner: every nonce up to maxNonces scanned, none skipped.
      const none = await rig.search({ header, target: Buffer.alloc(32), start: 5, maxNonces: 10000 });
      assert.deepStrictEqual([none.nonce, none.scanned, none.end], [null, 10240, 10245]);
      assert.strictEqual(none.devices[0].scanned, 10240);
      const [rate] = await rig.rates();
      assert.ok(rate.rate > 0 && rate.device === rig.devices[0].device, JSON.stringify(rate));
      const [health] = await rig.health();
      for (const figure of ['temperature', 'power', 'fan', 'coreClock', 'memoryClock']) {
        assert.strictEqual(health[figure], null, figure);
      }
      if (platform.options.backend === 'cuda') assert.match(health.why, /NVML/);
      else assert.strictEqual(health.why, null);
    } finally {
      await rig.close();
    }
    // A closed rig refuses everything with a clear Error.
    for (const call of [() => rig.search({ header: Buffer.alloc(286), target: Buffer.alloc(32) }),
      () => rig.rates(), () => rig.health(), () => rig.close()]) {
      await assert.rejects(call(), (err) => err.code === 'NONCESIEVE_RIG_CLOSED' && /the rig is closed/.test(err.message));
    }
  });

  test(`${platform.name}: a new job supersedes the running one, and no old winner is reported for it`,
    { skip: platform.skip }, async () => {
      const rig = await open(platform, { workSize: 4096 });
      try {
        // About one winner in 50 scans: most jobs are superseded before a
        // winner, and the old job's scans in flight at a switch may hold one.
        const jobs = Array.from({ length: 200 }, (_, k) => job(200 + k, 200000));
        let current = -1;
        const reported = [];
        rig.on('found', (f) => reported.push({ job: current, nonce: f.nonce }));
        const results = [];
        for (let k = 0; k < jobs.length; k++) {
          current = k;
          results.push(rig.search({ ...jobs[k], start: k * 1000 }));
          // Some switches at once, most while scans are in flight.
          await new Promise((resolve) => setTimeout(resolve, k % 4 === 0 ? 0 : 3));
        }
        const settled = await Promise.all(results);
        assert.strictEqual(settled.slice(0, -1).filter((r) => r.superseded).length > 100, true,
          JSON.stringify(settled.map((r) => r.superseded)));
        assert.strictEqual(settled[settled.length - 1].superseded, false);
        settled.forEach((r, k) => {
          if (r.nonce !== null) {
            assert.ok(pow.verifyNonce(jobs[k].header, jobs[k].target, r.nonce), `job ${k}: ${r.nonce}`);
            assert.ok(r.nonce >= k * 1000 && r.nonce < r.end, `job ${k}: ${r.nonce} outside [${k * 1000}, ${r.end})`);
          }
        });
        assert.ok(settled[settled.length - 1].nonce !== null);
        assert.ok(reported.length > 0);
        for (const { job: k, nonce } of reported) {
          assert.ok(pow.verifyNonce(jobs[k].header, jobs[k].target, nonce), `job ${k} got ${nonce}, not its own`);
        }
      } finally {
        await rig.close();
      }
    });

  test(`${platform.name}: an AbortSignal stops a search the Node way`, { skip: platform.skip }, async () => {
    const rig = await open(platform);
    try {
      const { header } = job(80, 1);
      const ac = new AbortController();
      const progress = [];
      const heard = [];
      rig.on('progress', (p) => heard.push(p));
      const running = rig.search({ header, target: Buffer.alloc(32), signal: ac.signal,
        onProgress: (p) => progress.push(p) });
      setTimeout(() => ac.abort(), 700);
      await assert.rejects(running, { name: 'AbortError' });
      // Progress on the way, to the callback and as events: nonces and rate per device.
      assert.ok(progress.length >= 2 && heard.length === progress.length, `${progress.length} ${heard.length}`);
      assert.ok(progress[1].scanned > progress[0].scanned && progress[1].end >= progress[1].scanned);
      assert.deepStrictEqual(progress[1].devices.map((d) => [d.device, d.scanned]),
        [[rig.devices[0].device, progress[1].scanned]]);
      assert.ok(progress[1].devices[0].rate > 0);
      await assert.rejects(rig.search({ header, target: Buffer.alloc(32), signal: AbortSignal.abort() }),
        { name: 'AbortError' });
      // The rig goes on with the next job.
      const { target, nonce } = oneWinner(80, 0, 4096);
      assert.strictEqual((await rig.search({ header, target, maxNonces: 4096 })).nonce, nonce);
    } finally {
      await rig.close();
    }
  });
}

test('a GPU failure mid-search: an event and a rejected search, and a new rig works', { skip: noEmu }, async () => {
  const failing = { ...PLATFORMS[1], env: emuEnv({ failingScan: 20 }) };
  const rig = await open(failing);
  const events = [];
  rig.on('device-failure', (f) => events.push(['device-failure', f]));
  rig.on('close', () => events.push(['close']));
  const { header } = job(90, 1);
  await assert.rejects(rig.search({ header, target: Buffer.alloc(32) }), (err) => {
    assert.match(err.message, /^GPU#0: Cuda error in func 'cuda_scan_nonces' at line \d+ : .+\.$/);
    assert.strictEqual(err.code, 'NONCESIEVE_DEVICE_FAILURE');
    return true;
  });
  assert.deepStrictEqual(events.map((e) => e[0]), ['device-failure', 'close']);
  assert.strictEqual(events[0][1].status, 1);
  assert.match(events[0][1].message, /Cuda error in func 'cuda_scan_nonces'/);
  await assert.rejects(rig.rates(), { code: 'NONCESIEVE_RIG_CLOSED' });
  // A device process ended by a signal.
  const killed = await open(PLATFORMS[0]);
  const failures = [];
  killed.on('device-failure', (f) => failures.push(f));
  const running = killed.search({ header, target: Buffer.alloc(32) });
  setTimeout(() => killed.process.child.kill('SIGKILL'), 100);
  await assert.rejects(running, { code: 'NONCESIEVE_DEVICE_FAILURE', message: 'the device process ended with signal SIGKILL' });
  assert.deepStrictEqual(failures, [{ message: 'the device process ended with signal SIGKILL', status: null, signal: 'SIGKILL' }]);
  const again = await open(PLATFORMS[1]);
  try {
    const { target, nonce } = oneWinner(90, 0, 4096);
    assert.strictEqual((await again.search({ header, target, maxNonces: 4096 })).nonce, nonce);
  } finally {
    await again.close();
  }
});

test('a device that reports nonces that do not win, or lie outside its range, is rejected and the search goes on', async () => {
  const { header, target, nonce } = oneWinner(95, 0, 8 * 512);
  const cases = [
    // Every second scan reports its start: rejected, and the sound scans find the winner.
    { fault: 'alternate', winner: nonce },
    // A real winner, reported by the scan before its own: outside that scan's range.
    { fault: 'outside', winner: null },
  ];
  for (const c of cases) {
    const rig = await withEnv({ NONCESIEVE_NVSIEVE_ADDON: FAKE, FAKE_FAULT: c.fault },
      () => openRig({ backend: 'cuda', workSize: 512, slots: 1, onLog: () => {} }));
    try {
      const rejected = [];
      rig.on('rejected', (r) => rejected.push(r));
      const result = await rig.search({ header, target, maxNonces: 8 * 512 });
      assert.strictEqual(result.nonce, c.winner, c.fault);
      assert.ok(rejected.length > 0 && result.rejected === rejected.length, c.fault);
      for (const r of rejected) {
        assert.strictEqual(r.device, 'cuda:0');
        assert.strictEqual(r.range[1] - r.range[0], 512);
        const inside = r.nonce >= r.range[0] && r.nonce < r.range[1];
        assert.ok(!inside || !pow.verifyNonce(header, target, r.nonce), `${c.fault}: ${JSON.stringify(r)}`);
      }
    } finally {
      await rig.close();
    }
  }
});

test('bad options: a TypeError or RangeError naming the option, before anything starts', async () => {
  const header = Buffer.alloc(286);
  const target = Buffer.alloc(32);
  const openCases = [
    [{ backend: 'metal' }, RangeError, /backend/],
    [{ backend: 1 }, TypeError, /backend/],
    [{ slots: 0 }, RangeError, /slots/],
    [{ slots: 65 }, RangeError, /slots/],
    [{ slots: 1.5 }, RangeError, /slots/],
    [{ workSize: -256 }, RangeError, /workSize/],
    [{ backend: 'cuda', workSize: 768 }, RangeError, /workSize: a CUDA work size must be a positive multiple of 512/],
    [{ kernel: 'fast' }, RangeError, /kernel/],
    [{ devices: 'opencl:0' }, TypeError, /devices/],
    [{ devices: ['gpu0'] }, RangeError, /devices/],
    [{ colour: true }, TypeError, /unknown option "colour"/],
    [null, TypeError, /options/],
  ];
  for (const [options, type, message] of openCases) {
    await assert.rejects(openRig(options), (err) => err instanceof type && message.test(err.message),
      JSON.stringify(options));
  }
  // Found out in the device process, before any scan.
  await withEnv(POCL_ENV, async () => {
    await assert.rejects(openRig({ backend: 'opencl', devices: ['opencl:7'] }),
      (err) => err instanceof RangeError && /^openRig: devices: no device opencl:7/.test(err.message));
    await assert.rejects(openRig({ backend: 'auto', devices: ['opencl:0'], workSize: 1000 }),
      (err) => err instanceof RangeError && /^openRig: workSize: opencl:0: an OpenCL work size/.test(err.message));
  });
  const rig = await open(PLATFORMS[0]);
  try {
    const searchCases = [
      [{ header: header.subarray(1), target }, RangeError, /header must be 286 bytes/],
      [{ header: 'ab', target }, TypeError, /header/],
      [{ header, target: Buffer.alloc(33) }, RangeError, /target must be 32 bytes/],
      [{ header, target, start: -1 }, RangeError, /start/],
      [{ header, target, start: 0.5 }, RangeError, /start/],
      [{ header, target, start: 2 ** 48 }, RangeError, /start/],
      [{ header, target, start: '0' }, TypeError, /start/],
      [{ header, target, maxNonces: 0 }, RangeError, /maxNonces/],
      [{ header, target, maxNonces: 2.5 }, RangeError, /maxNonces/],
      [{ header, target, signal: {} }, TypeError, /signal/],
      [{ header, target, onProgress: 1 }, TypeError, /onProgress/],
      [{ header, target, nonce: 1 }, TypeError, /unknown option "nonce"/],
    ];
    for (const [job, type, message] of searchCases) {
      await assert.rejects(rig.search(job), (err) => err instanceof type && message.test(err.message),
        Object.keys(job).join());
    }
    // None of them reached the devices: the rig still searches.
    const { header: h, target: t, nonce } = oneWinner(99, 2 ** 48 - 2048, 2048);
    const last = await rig.search({ header: h, target: t, start: 2 ** 48 - 2048 });
    assert.strictEqual(last.nonce, nonce);
  } finally {
    await rig.close();
  }
});

test('the kernel option, NVSIEVE_KERNEL, and the kernel bench --sweep chose', { skip: noEmu }, async () => {
  const cache = fs.mkdtempSync(path.join(CACHE, 'kernel-'));
  fs.writeFileSync(path.join(cache, 'work-sizes.json'), JSON.stringify({ 'cuda:Emulated_GPU_': { kernel: 'balanced' } }));
  const cases = [
    [{}, {}, 'default'],
    [{ NONCESIEVE_CACHE_DIR: cache }, {}, 'balanced'],
    [{ NONCESIEVE_CACHE_DIR: cache, NVSIEVE_KERNEL: 'default' }, {}, 'default'],
    [{ NVSIEVE_KERNEL: 'balanced' }, {}, 'balanced'],
    [{ NVSIEVE_KERNEL: 'balanced' }, { kernel: 'default' }, 'default'],
    [{ NONCESIEVE_CACHE_DIR: cache }, { kernel: 'default' }, 'default'],
  ];
  const { header, target, nonce } = oneWinner(97, 0, 2048);
  for (const [env, options, kernel] of cases) {
    const rig = await withEnv({ NVSIEVE_KERNEL: undefined, ...env }, () => open(PLATFORMS[1], options));
    try {
      assert.strictEqual(rig.devices[0].kernel, kernel, JSON.stringify([env, options]));
      assert.strictEqual((await rig.search({ header, target, maxNonces: 2048 })).nonce, nonce);
    } finally {
      await rig.close();
    }
  }
});
