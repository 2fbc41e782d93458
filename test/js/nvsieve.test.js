'use strict';
// nvsieve on the emulated CUDA platform (the same objects as the release
// module, linked against a stand-in for the CUDA runtime whose launches run
// the kernel's arithmetic on the CPU), and the release module itself. With
// NVSIEVE_TEST_REAL=1 the scan tests run on the release module and a real
// GPU instead (scripts/gpu-check.sh), and the tests that need the emulated
// devices or its failure injection are skipped.
const test = require('node:test');
const assert = require('node:assert');
const path = require('path');
const { winnersIn, job, scan, runChild, pow, ROOT, EMU } = require('./helpers');

const { cudaRoot, cudartStatic } = require('../../scripts/find-cuda');
const RELEASE = path.join(ROOT, 'build', 'Release', 'nvsieve.node');
const GiB = 1073741824;
const DEVICES = JSON.stringify([
  { name: 'Emulated GPU', totalGlobalMem: 8 * GiB, major: 8, minor: 6 },
  { name: 'Small Three Words', totalGlobalMem: 4 * GiB, major: 7, minor: 5 },
  { name: 'Old One', totalGlobalMem: 2 * GiB, major: 7, minor: 0 },
]);
const REAL = process.env.NVSIEVE_TEST_REAL === '1';
// Without a CUDA toolkit nvsieve is not built at all; with one, both builds
// must be there.
if (!REAL && !(cudaRoot() && cudartStatic(cudaRoot()))) {
  test('nvsieve', { skip: 'no CUDA toolkit here, so nvsieve was not built' }, () => {});
  return;
}
const EMULATED_ONLY = { skip: REAL && 'needs the emulated CUDA platform' };
process.env.NVSIEVE_EMU_DEVICES = DEVICES;
const { GpuContextWrapper } = require(REAL ? RELEASE : EMU);

const METHODS = ['get_total_devices', 'get_batch_size', 'get_gran', 'init_devices',
  'scan_nonces', 'set_block', 'benchmark', 'update', 'get_key', 'create_buffers',
  'create_benchmark_buffers', 'reset_device', 'test'];

// A child process with the emulated module bound to `m`.
function emuChild(code, env = {}) {
  return runChild(EMU, code, { NVSIEVE_EMU_DEVICES: DEVICES, ...env });
}

test('both builds export GpuContextWrapper with thirteen methods in order', () => {
  for (const file of REAL ? [RELEASE] : [EMU, RELEASE]) {
    const m = require(file);
    assert.deepStrictEqual(Object.keys(m), ['GpuContextWrapper']);
    assert.deepStrictEqual(Object.getOwnPropertyNames(m.GpuContextWrapper.prototype)
      .filter((n) => n !== 'constructor'), METHODS);
  }
  assert.ok(GpuContextWrapper() instanceof GpuContextWrapper);
  assert.throws(() => GpuContextWrapper.prototype.get_total_devices.call({}), TypeError);
});

test('the release module without a driver: constructing ends the process, isAvailable says no',
  { skip: REAL && 'a driver is present' }, () => {
  const r = runChild(RELEASE, 'new m.GpuContextWrapper(); console.log("constructed");');
  assert.strictEqual(r.status, 1);
  assert.strictEqual(r.stdout, '');
  assert.match(r.stderr, /^Cuda error in func 'cuda_set_flags' at line 278 : .+\.\n$/);
  const probe = runChild(path.join(ROOT, 'lib', 'nvsieve.js'),
    'console.log(m.isAvailable(), typeof m.GpuContextWrapper);', { NONCESIEVE_NVSIEVE_ADDON: '' });
  assert.strictEqual(probe.status, 0, probe.stderr);
  assert.strictEqual(probe.stdout, 'false function\n');
});

test('queries answer per ordinal before init_devices', EMULATED_ONLY, () => {
  const g = new GpuContextWrapper();
  assert.strictEqual(g.get_total_devices(), 3);
  assert.deepStrictEqual([0, 1, 2].map((i) => g.get_batch_size(i)), [13107, 6553, 0]);
  assert.deepStrictEqual([0, 1, 2].map((i) => g.get_gran(i)), [1, 1, 0]);
  assert.deepStrictEqual([0, 1, 2].map((i) => g.get_key(i)),
    ['Emulated_GPU_', 'Small_Three_Words_', 'Old_One_']);
});

test('init_devices prints every GPU line before touching any device', EMULATED_ONLY, () => {
  const header = 'Detected 3 total devices\nActive devices:\n';
  const ok = 'All Devices have been initialized successfully\n';
  const cases = [
    ['[2, 0], [1, 1], [13312, 1024]', header +
      '    GPU#2, Name: Old One, Cuda threads: 13312  \n' +
      '    GPU#0, Name: Emulated GPU, Cuda threads: 1024  \n' + ok],
    ['[], [], []', header + ok],
    ['"no", 1, 2', header + ok],
  ];
  for (const [args, stdout] of cases) {
    const r = emuChild(`console.log('returned', new m.GpuContextWrapper().init_devices(${args}));`);
    assert.strictEqual(r.status, 0, r.stderr);
    assert.strictEqual(r.stdout, stdout + 'returned 0\n', args);
  }
  // The same ordinal initialised again gets a new record: its slots, and
  // set_block reaches it.
  const again = emuChild(`const { header, target } = require('./test/js/helpers').job(33, 8);
    const g = new m.GpuContextWrapper();
    g.init_devices([0], [1], [1024]);
    g.init_devices([0], [3], [1024]);
    g.set_block();
    g.scan_nonces((n) => console.log('found', n), header, target, 0, 0, 2);`);
  assert.strictEqual(again.status, 0, again.stderr);
  const found = Number(/found (\d+)/.exec(again.stdout)[1]);
  const j = job(33, 8);
  assert.ok(pow.verifyNonce(j.header, j.target, found));
  assert.strictEqual(again.stdout.match(/All Devices have been initialized successfully/g).length, 2);

  // A failure while initialising comes after both GPU lines.
  const r = emuChild('new m.GpuContextWrapper().init_devices([2, 0], [1, 1], [512, 512]);',
    { NVSIEVE_EMU_FAIL: 'cudaMalloc' });
  assert.strictEqual(r.status, 1);
  assert.match(r.stdout, /GPU#2.*\n.*GPU#0.*\n$/);
  assert.match(r.stderr, /^GPU#2: Cuda error in func 'cuda_init_device' at line 114 : /);
});

// One context for the scan tests: device 0 with eight slots.
const gpu = new GpuContextWrapper();
gpu.init_devices([0], [8], [4096]);
gpu.create_buffers();

test('scans: verified winners inside the range, not-found otherwise, re-armed after a find', async () => {
  const { header, target } = job(21, 900);
  gpu.set_block();
  let found = 0;
  for (let i = 0; i < 60; i++) {
    const start = 3e6 + i * 4096;
    const got = await scan(gpu, header, target, start, 0, i % 8);
    const expected = winnersIn(header, target, start, 4096);
    if (expected.length === 0) assert.strictEqual(got, pow.NOT_FOUND, `${start}`);
    else assert.ok(expected.includes(got), `${start}: ${got}`), found++;
  }
  assert.ok(found > 20);
  // A find, then a range without a winner on the same slot.
  const hard = job(22, 1e15);
  gpu.set_block();
  assert.strictEqual(await scan(gpu, hard.header, hard.target, 0, 0, 3), pow.NOT_FOUND);
});

test('a scan covers exactly its work size: 12800 threads test 12800 nonces', async () => {
  const { header } = job(23, 2);
  // The lowest hash of a window is the only nonce below target = hash + 1;
  // take a window where it lies at least 12800 nonces in.
  let base = 7e6;
  let best;
  for (;; base += 16384) {
    best = base;
    for (let n = base; n < base + 16384; n++) {
      if (pow.hashTop64(header, n) < pow.hashTop64(header, best)) best = n;
    }
    if (best - 12800 >= base) break;
  }
  const target = Buffer.alloc(32, 0);
  target.writeBigUInt64LE(pow.hashTop64(header, best) + 1n, 24);
  const wide = new GpuContextWrapper();
  wide.init_devices([0], [1], [12800]);
  wide.set_block();
  assert.strictEqual(await scan(wide, header, target, best - 12799, 0, 0), best);
  assert.strictEqual(await scan(wide, header, target, best - 12800, 0, 0), pow.NOT_FOUND);
  assert.strictEqual(await scan(wide, header, target, best + 1, 0, 0), pow.NOT_FOUND);
});

test('the first scan after set_block uploads the header and target it carries', async () => {
  const a = job(25, 8);
  const b = job(26, 8);
  gpu.set_block();
  const first = await scan(gpu, a.header, a.target, 100, 0, 0);
  assert.ok(pow.verifyNonce(a.header, a.target, first));
  // Without set_block the device keeps job a's block, whatever a scan carries.
  const second = await scan(gpu, b.header, b.target, 5000, 0, 0);
  assert.ok(pow.verifyNonce(a.header, a.target, second));
  gpu.set_block('ignored', 42);
  const third = await scan(gpu, b.header, b.target, 9000, 0, 0);
  assert.ok(pow.verifyNonce(b.header, b.target, third));
});

test('a scan reads only its own copy of the header and target', async () => {
  const j = job(93, 8);
  for (let round = 0; round < 4; round++) {
    gpu.set_block();  // each scan uploads the block it carries
    const ab = new ArrayBuffer(286, { maxByteLength: 286 });
    const h = new Uint8Array(ab);
    h.set(j.header);
    const t = new Uint8Array(j.target);
    const pending = scan(gpu, h, t, round * 4096, 0, 5);
    // Shrunk, detached and overwritten before the scan has run.
    ab.resize(0);
    structuredClone(t.buffer, { transfer: [t.buffer] });
    j.header.copy(Buffer.alloc(286));
    const n = await pending;
    assert.ok(pow.verifyNonce(j.header, j.target, n), `round ${round}: ${n}`);
  }
});

test('slots starting together after set_block all run on the new block', async () => {
  for (let round = 0; round < 8; round++) {
    const before = job(30 + round, 8);
    const after = job(60 + round, 8);
    // Four scans of one job queued, then a new job and four more, all in flight.
    gpu.set_block();
    const old = [0, 1, 2, 3].map((s) => scan(gpu, before.header, before.target, s * 4096, 0, s));
    gpu.set_block();
    const fresh = [4, 5, 6, 7].map((s) => scan(gpu, after.header, after.target, s * 4096, 0, s));
    (await Promise.all(fresh)).forEach((n, i) =>
      assert.ok(pow.verifyNonce(after.header, after.target, n), `round ${round} new slot ${i + 4}`));
    (await Promise.all(old)).forEach((n, i) =>
      assert.ok(pow.verifyNonce(before.header, before.target, n), `round ${round} old slot ${i}`));
  }
});

test('the self-test runs on its own block and leaves the job\'s in place', async () => {
  const j = job(32, 8);
  gpu.set_block();
  // Before the job's first scan, and after it.
  for (let i = 0; i < 2; i++) {
    runTest(gpu);
    const n = await scan(gpu, j.header, j.target, i * 4096, 0, 2);
    assert.ok(pow.verifyNonce(j.header, j.target, n), `${n}`);
  }
});

// test() prints to standard output; keep the test runner's stream clean.
function runTest(g) {
  const write = process.stdout.write;
  process.stdout.write = () => true;
  try { g.test(0); } finally { process.stdout.write = write; }
}

test('reset_device leaves a device that scans again; create_benchmark_buffers too', async () => {
  const g = new GpuContextWrapper();
  g.init_devices([0], [2], [2048]);
  const j = job(27, 8);
  g.set_block();
  assert.ok(pow.verifyNonce(j.header, j.target, await scan(g, j.header, j.target, 0, 0, 1)));
  g.reset_device(0);
  for (const slot of [0, 1]) {
    assert.ok(pow.verifyNonce(j.header, j.target, await scan(g, j.header, j.target, 4096, 0, slot)));
  }
  g.create_benchmark_buffers();
  assert.ok(pow.verifyNonce(j.header, j.target, await scan(g, j.header, j.target, 8192, 0, 0)));
  assert.strictEqual(g.benchmark(0, 1, 2, 3), 0);
  assert.strictEqual(g.update(0, 7, 8), undefined);
});

test('reset_device and create_benchmark_buffers wait for scans in flight and refresh other records', EMULATED_ONLY, () => {
  // Two wrappers on GPU 0, and an older record of it in the first: the
  // second resets the GPU and remakes slot 0 while the others scan.
  const r = emuChild(`const pow = require('./lib/pow');
    const { header, target } = require('./test/js/helpers').job(34, 8);
    const a = new m.GpuContextWrapper();
    a.init_devices([0], [4], [4096]);
    const b = new m.GpuContextWrapper();
    b.init_devices([0], [1], [512]);
    a.set_block();
    let verified = 0;
    const round = (g, slots, then) => {
      let left = slots;
      for (let s = 0; s < slots; s++) g.scan_nonces((n) => {
        if (pow.verifyNonce(header, target, n)) verified++;
        if (--left === 0) then();
      }, header, target, s * 4096, 0, s);
    };
    round(a, 4, () => round(a, 2, () => round(b, 1, () => console.log('verified', verified))));
    b.reset_device(0);
    b.create_benchmark_buffers();
    a.create_benchmark_buffers();
    a.init_devices([0], [2], [4096]);  // the first record's scans are still in flight
    b.reset_device(0);`);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.match(r.stdout, /verified 7\n$/);
});

test('test(): digest, time, result and expected result', () => {
  const work = 12800;
  const r = (REAL ? (code) => runChild(RELEASE, code) : emuChild)(`const g = new m.GpuContextWrapper();
    g.init_devices([0], [1], [${work}]);
    console.log('returned', g.test(0));`);
  assert.strictEqual(r.status, 0, r.stderr);
  const lines = r.stdout.split('\n').slice(-6);
  assert.strictEqual(lines[0], '4cb5e21d6d359af8c6b592b1df1019eeb6b45055ef12019fe27e75e81a62be2a');
  assert.match(lines[1], /^\d+(\.\d+)?(e[+-]?\d+)? ms$/);
  const result = Number(/^Result: (\d+)$/.exec(lines[2])[1]);
  assert.strictEqual(lines[3], 'Expected Result: 18424822234779600078');
  assert.strictEqual(lines[4], 'returned 0');
  const header = Buffer.from(pow.SELFTEST.header, 'hex');
  Buffer.from('fdfeffff0f00', 'hex').copy(header, 280);
  const winners = winnersIn(header, Buffer.from(pow.SELFTEST.target, 'hex'), 0, 12800);
  if (winners.length === 0) assert.strictEqual(result, pow.NOT_FOUND);
  else assert.ok(winners.includes(result));
});

test('every guarded CUDA call: its message on standard error and exit status 1', EMULATED_ONLY, () => {
  const init = 'const g = new m.GpuContextWrapper(); g.init_devices([0], [1], [1024]);';
  const easy = `const { header, target } = require('./test/js/helpers').job(28, 1);
    g.set_block(); g.scan_nonces(() => console.log('called back'), header, target, 0, 0, 0);`;
  const cases = [
    ['cudaSetDeviceFlags', 'new m.GpuContextWrapper();', null, 'cuda_set_flags', 278],
    ['cudaGetDeviceCount', 'new m.GpuContextWrapper();', null, 'cuda_get_total_devices', 209],
    ['cudaGetDeviceProperties', 'new m.GpuContextWrapper().get_batch_size(1);', 1, 'cuda_get_batch_size', 215],
    ['cudaGetDeviceProperties', 'new m.GpuContextWrapper().get_gran(1);', 1, 'cuda_get_gran', 225],
    ['cudaGetDeviceProperties', 'new m.GpuContextWrapper().get_key(1);', 1, 'cuda_get_key', 262],
    ['cudaGetDeviceProperties:2', 'new m.GpuContextWrapper().get_key(1);', 1, 'cuda_get_device_mem', 273],
    ['cudaGetDeviceProperties', init, 0, 'cuda_get_device_name', 255],
    ['cudaGetDeviceProperties:2', init, 0, 'cuda_get_jobsperblock', 241],
    ['cudaSetDevice', init, 0, 'cuda_init_device', 112],
    ['cudaMalloc', init, 0, 'cuda_init_device', 114],
    ['cudaMemset', init, 0, 'cuda_init_device', 116],
    ['cudaSetDevice:2', `${init} g.reset_device(0);`, 0, 'cuda_reset_device', 124],
    ['cudaDeviceReset', `${init} g.reset_device(0);`, 0, 'cuda_reset_device', 125],
    ['cudaSetDevice:3', `${init} g.create_benchmark_buffers();`, 0, 'cuda_free_slot', 130],
    ['cudaFree', `${init} g.create_benchmark_buffers();`, 0, 'cuda_free_slot', 131],
    ['cudaSetDevice:2', init + easy, 0, 'cuda_scan_nonces', 158],
    ['cudaMemcpyToSymbol', init + easy, 0, 'cuda_scan_nonces', 170],
    ['cudaStreamSynchronize', init + easy, 0, 'cuda_scan_nonces', 171],
    ['cudaLaunchKernel', init + easy, 0, 'cuda_scan_nonces', 176],
    ['cudaStreamSynchronize:2', init + easy, 0, 'cuda_scan_nonces', 180],
    ['cudaMemcpy', init + easy, 0, 'cuda_scan_nonces', 191],
    ['cudaMemset:2', init + easy, 0, 'cuda_scan_nonces', 200],
  ];
  for (const [fail, code, gpuNo, func, line] of cases) {
    const r = emuChild(code, { NVSIEVE_EMU_FAIL: fail });
    const prefix = gpuNo === null ? '' : `GPU#${gpuNo}: `;
    assert.strictEqual(r.status, 1, `${fail}: ${r.stderr}`);
    assert.match(r.stderr, new RegExp(`^${prefix}Cuda error in func '${func}' at line ${line} : [^\\n]+\\.\\n$`),
      `${fail} -> ${func}:${line}`);
    assert.doesNotMatch(r.stdout, /called back/);
  }
});

test('a device without an image fails its launch instead of finding nothing', EMULATED_ONLY, () => {
  const r = emuChild(`const { header, target } = require('./test/js/helpers').job(29, 1);
    const g = new m.GpuContextWrapper(); g.init_devices([2], [1], [1024]); g.set_block();
    g.scan_nonces(() => console.log('called back'), header, target, 0, 2, 0);`);
  assert.strictEqual(r.status, 1);
  assert.match(r.stderr, /^GPU#2: Cuda error in func 'cuda_scan_nonces' at line 176 : no kernel image is available for execution on the device\.\n$/);
});

test('device code: every carried image has the kernel and d_data, registers only', () => {
  const { kernelImages, keptPtx, KERNELS } = require('../../scripts/cubin');
  const { gencodeFlags } = require('../../scripts/cuda-archs');
  const flags = gencodeFlags(require('../../scripts/find-cuda').cudaRoot() + '/bin/nvcc');
  const carried = [...flags.matchAll(/code=sm_(\d+)/g)].map((m) => `sm_${m[1]}`);
  const newest = /code=compute_(\d+)/.exec(flags)[1];
  // Registers: the default kernel fits 32, the balanced one 40.
  for (const [variant, symbol] of Object.entries(KERNELS)) {
    const images = kernelImages(undefined, symbol);
    assert.deepStrictEqual(images.map((i) => i.arch), carried);
    for (const image of images) {
      const where = `${variant} ${image.arch}`;
      assert.deepStrictEqual(image.functions.sort(), Object.values(KERNELS).sort(), where);
      assert.strictEqual(image.dDataSize, 416, where);
      assert.strictEqual(image.localMemory, 0, where);
      assert.strictEqual(image.stack, 0, where);
      assert.strictEqual(image.spillStores + image.spillLoads, 0, where);
      assert.ok(image.registers <= (variant === 'default' ? 32 : 40), `${where}: ${image.registers} registers`);
    }
  }
  assert.ok(keptPtx().some((f) => f.includes(`compute_${newest}`)));
  // The module itself carries PTX of the newest architecture only.
  const text = require('fs').readFileSync(RELEASE, 'latin1');
  assert.deepStrictEqual(text.match(/\.target sm_\d+/g), [`.target sm_${newest}`]);
});

test('bad arguments throw before any CUDA call or queued scan', EMULATED_ONLY, () => {
  const { header, target } = job(31, 8);
  const cb = () => assert.fail('no callback for a refused scan');
  const cases = [
    ['get_batch_size', [3], RangeError, 'get_batch_size: expected an index below get_total_devices() for device ordinal but received 3 of type number'],
    ['get_batch_size', [-1], RangeError, 'get_batch_size: expected an index below get_total_devices() for device ordinal but received -1 of type number'],
    ['get_gran', [3], RangeError, 'get_gran: expected an index below get_total_devices() for device ordinal but received 3 of type number'],
    ['get_key', [99], RangeError, 'get_key: expected an index below get_total_devices() for device ordinal but received 99 of type number'],
    ['init_devices', [[3], [1], [512]], RangeError, 'init_devices: expected an index below 3 (the devices found, at most 20) for device id but received 3 of type number'],
    ['init_devices', [[0], [1]], TypeError, 'init_devices: expected an array for work sizes but received undefined'],
    ['init_devices', [[0, 1], [1, 1], [512]], RangeError, 'init_devices: expected an array as long as the ids array for work sizes but received an array'],
    ['init_devices', [[0], [-1], [512]], RangeError, 'init_devices: expected a count from 1 to 64 for slot count but received -1 of type number'],
    ['scan_nonces', [cb, header, target, 0, 2, 0], RangeError, 'scan_nonces: expected a device initialised by init_devices for device index but received 2 of type number'],
    ['scan_nonces', [cb, header, target, 0, 20, 0], RangeError, 'scan_nonces: expected an index below 20 for device index but received 20 of type number'],
    ['scan_nonces', [cb, header, target, 0, 0, 8], RangeError, 'scan_nonces: expected an index below the device\'s slot count for slot but received 8 of type number'],
    ['scan_nonces', [cb, header, target, -5, 0, 0], RangeError, 'scan_nonces: expected a number from 0 to 2^48 - 1 (nonces are 48 bits) for start nonce but received -5 of type number'],
    ['scan_nonces', [cb, header, target, NaN, 0, 0], TypeError, 'scan_nonces: expected a finite number for start nonce but received NaN of type number'],
    ['scan_nonces', [cb, header.subarray(10), target, 0, 0, 0], RangeError, 'scan_nonces: expected at least 286 bytes for header but received a view of 276 bytes'],
    ['scan_nonces', ['cb', header, target, 0, 0, 0], TypeError, 'scan_nonces: expected a function for callback but received a string'],
    ['reset_device', [2], RangeError, 'reset_device: expected a device initialised by init_devices for device index but received 2 of type number'],
    ['test', [5], RangeError, 'test: expected a device initialised by init_devices for device index but received 5 of type number'],
    ['update', [20, 1, 2], RangeError, 'update: expected an index below 20 for device index but received 20 of type number'],
    ['benchmark', [2, 0, 0, 0], RangeError, 'benchmark: expected a device initialised by init_devices for device index but received 2 of type number'],
  ];
  for (const [method, args, error, message] of cases) {
    assert.throws(() => gpu[method](...args), { name: error.name, message }, `${method}(${args.map(String).join(', ')})`);
  }
});
