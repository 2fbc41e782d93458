'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { winnersIn, job, scan, runChild, pow } = require('./helpers');
const clsieve = require('../../lib/clsieve');

const { GpuContextWrapper } = clsieve;
const MOD = require.resolve('../../lib/clsieve');
const WORK = 4096;

test('the module exports GpuContextWrapper with its ten methods in order', () => {
  assert.deepStrictEqual(Object.keys(clsieve), ['GpuContextWrapper']);
  assert.deepStrictEqual(Object.getOwnPropertyNames(GpuContextWrapper.prototype).filter((n) => n !== 'constructor'), [
    'get_total_devices', 'get_batch_size', 'get_gran', 'get_key', 'init_devices', 'update',
    'scan_nonces', 'set_block', 'test', 'benchmark',
  ]);
  const plain = GpuContextWrapper('ignored');
  assert.ok(plain instanceof GpuContextWrapper);
  assert.strictEqual(plain.get_total_devices(), new GpuContextWrapper(1, 2, 3).get_total_devices());
  assert.throws(() => GpuContextWrapper.prototype.get_total_devices.call({}), TypeError);
});

test('discovery: AMD GPUs only by default, widened by the environment', () => {
  const count = (env) => runChild(MOD, 'console.log(new m.GpuContextWrapper().get_total_devices())', env);
  const def = runChild(MOD, 'console.log(new m.GpuContextWrapper().get_total_devices())',
    { CLSIEVE_PLATFORM_VENDOR: undefined, CLSIEVE_DEVICE_TYPE: undefined });
  assert.strictEqual(def.stdout.trim(), '0', 'PoCL is not an AMD platform and its device is a CPU');
  assert.strictEqual(count({ CLSIEVE_PLATFORM_VENDOR: 'pocl', CLSIEVE_DEVICE_TYPE: 'cpu' }).stdout.trim(), '1');
  assert.strictEqual(count({ CLSIEVE_PLATFORM_VENDOR: '', CLSIEVE_DEVICE_TYPE: 'all' }).stdout.trim(), '1');
  assert.strictEqual(count({ CLSIEVE_PLATFORM_VENDOR: '', CLSIEVE_DEVICE_TYPE: 'gpu' }).stdout.trim(), '0');
  assert.match(count({ CLSIEVE_DEVICE_TYPE: 'fpga' }).stderr, /RangeError: .*CLSIEVE_DEVICE_TYPE/);
});

test('an index refused while no device was found says how discovery is widened', () => {
  const hint = "; no OpenCL device was found: clsieve uses the GPUs of AMD's OpenCL platforms unless " +
    'CLSIEVE_PLATFORM_VENDOR';
  const cases = [
    ['g.init_devices([0], [1], [256])', 'init_devices: expected an index below 0 (the devices found, at most 20) ' +
      'for device id but received 0 of type number'],
    ['g.get_batch_size(0, 1)', 'get_batch_size: expected an index below get_total_devices() for device index ' +
      'but received 0 of type number'],
  ];
  for (const [call, refusal] of cases) {
    const r = runChild(MOD, `const g = new m.GpuContextWrapper();
      try { ${call}; } catch (e) { console.log(e.constructor.name + ': ' + e.message); }`,
    { CLSIEVE_PLATFORM_VENDOR: undefined, CLSIEVE_DEVICE_TYPE: undefined });
    assert.ok(r.stdout.startsWith(`RangeError: ${refusal}${hint}`), r.stdout);
    assert.match(r.stdout, /CLSIEVE_DEVICE_TYPE \(gpu, cpu, accelerator or all\)/);
  }
  // With a device found, the refusal is the plain one.
  const r = runChild(MOD, `try { new m.GpuContextWrapper().init_devices([1], [1], [256]); }
    catch (e) { console.log(e.message); }`);
  assert.doesNotMatch(r.stdout, /CLSIEVE_PLATFORM_VENDOR/);
});

// One context for the scan tests: device 0 with four threads of 1024 work items.
const gpu = new GpuContextWrapper();
const SLOTS = 4;
const SMALL = 1024;
let initialised = false;
function ready() {
  if (!initialised) {
    assert.strictEqual(gpu.init_devices([0], [SLOTS], [SMALL]), 0);
    initialised = true;
  }
  return gpu;
}

test('scans report only verified winners and never skip a range that holds one', async () => {
  const g = ready();
  const { header, target } = job(1, 700);
  g.set_block(header, target);
  let withWinner = 0;
  // Each slot scans its own run of consecutive ranges; the four run at once.
  await Promise.all(Array.from({ length: SLOTS }, async (_, slot) => {
    for (let i = 0; i < 75; i++) {
      const start = 5000000 + (slot * 75 + i) * SMALL;
      const got = await scan(g, header, target, start, 0, slot);
      const expected = winnersIn(header, target, start, SMALL);
      if (expected.length === 0) {
        assert.strictEqual(got, pow.NOT_FOUND, `range ${start} holds no winner`);
      } else {
        withWinner++;
        assert.ok(expected.includes(got), `range ${start}: ${got} is not one of ${expected}`);
      }
    }
  }));
  assert.ok(withWinner > 100, `${withWinner} of 300 ranges held a winner`);
});

test('consecutive finds on one thread each return their own nonce', async () => {
  const g = ready();
  const { header, target } = job(2, 4);
  g.set_block(header, target);
  for (const start of [0, SMALL, 2 ** 32 + 5, 2 ** 48 - 3 * SMALL, 7 * SMALL]) {
    const got = await scan(g, header, target, start, 0, 0);
    assert.ok(got >= start && got < start + SMALL, `${got} outside [${start}, +${SMALL})`);
    assert.ok(pow.verifyNonce(header, target, got));
  }
});

test('callbacks: one Number, the global object as this, never inside scan_nonces', async () => {
  const g = ready();
  const { header, target } = job(3, 1e12);
  g.set_block(header, target);
  let returned = false;
  const call = await new Promise((resolve) => {
    const r = g.scan_nonces(function (...args) { resolve({ self: this, args, returned }); },
      header, target, 0, 0, 1);
    assert.strictEqual(r, undefined);
    returned = true;
  });
  assert.strictEqual(call.returned, true);
  assert.strictEqual(call.self, globalThis);
  assert.deepStrictEqual(call.args, [pow.NOT_FOUND]);
});

test('set_block between rounds: every result belongs to the block set before it was queued', async () => {
  const g = ready();
  for (let round = 0; round < 6; round++) {
    const { header, target } = job(10 + round, 16);
    g.set_block(header, target);
    const results = await Promise.all(Array.from({ length: SLOTS },
      (_, slot) => scan(g, header, target, round * 1e6 + slot * SMALL, 0, slot)));
    results.forEach((nonce, slot) => {
      const start = round * 1e6 + slot * SMALL;
      assert.ok(nonce >= start && nonce < start + SMALL, `round ${round} slot ${slot}: ${nonce}`);
      assert.ok(pow.verifyNonce(header, target, nonce), `round ${round} slot ${slot}`);
    });
  }
});

test('scans queued before a set_block, and scans after a self-test, run on their own job', async () => {
  const g = new GpuContextWrapper();
  g.init_devices([0], [8], [SMALL]);
  for (let round = 0; round < 4; round++) {
    const before = job(70 + round, 8);
    const after = job(80 + round, 8);
    g.set_block(before.header, before.target);
    const old = [0, 1, 2, 3].map((s) => scan(g, before.header, before.target, s * SMALL, 0, s));
    g.set_block(after.header, after.target);
    const fresh = [4, 5, 6, 7].map((s) => scan(g, after.header, after.target, s * SMALL, 0, s));
    (await Promise.all(old)).forEach((n, i) =>
      assert.ok(pow.verifyNonce(before.header, before.target, n), `round ${round} old slot ${i}`));
    (await Promise.all(fresh)).forEach((n, i) =>
      assert.ok(pow.verifyNonce(after.header, after.target, n), `round ${round} new slot ${i + 4}`));
  }
  // The self-test writes its own block; the job's next scans put theirs back.
  const { header, target } = job(90, 8);
  g.set_block(header, target);
  g.test(0);
  for (const slot of [0, 5]) {
    assert.ok(pow.verifyNonce(header, target, await scan(g, header, target, 0, 0, slot)), `slot ${slot}`);
  }
});

test('scans search the block set_block gave the device, whatever buffers they carry', async () => {
  const g = new GpuContextWrapper();
  const { header, target } = job(91, 8);
  const other = job(92, 8);
  const check = async (what) => {
    for (const slot of [0, 1]) {
      const start = 3e6 + slot * SMALL;
      const n = await scan(g, other.header, other.target, start, 0, slot);
      assert.ok(n >= start && n < start + SMALL && pow.verifyNonce(header, target, n), `${what}, slot ${slot}: ${n}`);
    }
  };
  // Set before the device exists: the device gets the context's job.
  g.set_block(header, target);
  g.init_devices([0], [2], [SMALL]);
  await check('a device initialised after set_block');
  g.test(0);
  await check('after the self-test');
  g.init_devices([0], [2], [SMALL]);
  await check('the device initialised again');
  // Buffers the script changes after the call change nothing either.
  const h = Buffer.from(header);
  const p = scan(g, h, target, 0, 0, 0);
  h.fill(0);
  assert.ok(pow.verifyNonce(header, target, await p));
});

test('scans in flight still call back after the wrapper is garbage-collected', () => {
  const r = runChild(MOD, `
    const { header, target } = require('./test/js/helpers').job(4, 8);
    let calls = 0;
    (function () {
      const g = new m.GpuContextWrapper();
      g.init_devices([0], [2], [256]);
      g.set_block(header, target);
      for (const slot of [0, 1]) g.scan_nonces(() => { calls++; }, header, target, slot * 256, 0, slot);
    })();
    global.gc(); global.gc();
    setTimeout(() => console.log('calls', calls), 2000);`, { NODE_OPTIONS: '--expose-gc' });
  assert.strictEqual(r.status, 0, r.stderr);
  assert.match(r.stdout, /calls 2\n$/);
});

test('the printed summaries of init_devices', () => {
  const fixed = (gpuLines) => new RegExp('^Detected 1 total devices\\nActive devices:\\n' + gpuLines +
    'Building kernels\\.\\.\\.\\nKernels built successfully\\n$');
  const cases = [
    { args: '[0], [1], [512]', lines: '    GPU#0, Name: [^\\n]+, Work size 512\\n' },
    { args: '[], [], []', lines: '' },
    { args: '"not an array", 5', lines: '' },
    { args: '', lines: '' },
  ];
  for (const c of cases) {
    const r = runChild(MOD, `const rv = new m.GpuContextWrapper().init_devices(${c.args});
      if (rv !== 0) throw new Error('returned ' + rv);`);
    assert.strictEqual(r.status, 0, r.stderr);
    assert.match(r.stdout, fixed(c.lines), c.args);
  }
});

test('self-test: the time line, then a result the oracle accepts', () => {
  const work = 65536;
  const r = runChild(MOD, `const g = new m.GpuContextWrapper();
    g.init_devices([0], [1], [${work}]);
    console.log('returned', g.test(0));`);
  assert.strictEqual(r.status, 0, r.stderr);
  const lines = r.stdout.split('\n');
  const at = lines.findIndex((l) => / ms$/.test(l));
  assert.match(lines[at], /^\d+(\.\d+)?(e[+-]?\d+)? ms$/);
  const result = Number(/^Result: (\d+)$/.exec(lines[at + 1])[1]);
  assert.strictEqual(lines[at + 2], 'returned 0');
  const header = Buffer.from(pow.SELFTEST.header, 'hex');
  const target = Buffer.from(pow.SELFTEST.target, 'hex');
  const winners = winnersIn(header, target, pow.SELFTEST.startNonce, work);
  if (winners.length === 0) assert.strictEqual(result, pow.NOT_FOUND);
  else assert.ok(winners.includes(result));
});

test('queries: key, batch size, granularity, update, benchmark', () => {
  const g = ready();
  assert.match(g.get_key(0), /^.+-\d+gb-\d+-\d+$/);
  assert.strictEqual(g.get_gran(0), 1);
  assert.strictEqual(g.get_batch_size(0, 0), 0);
  const one = g.get_batch_size(0, 1);
  assert.ok(Number.isInteger(one) && one > 0 && one <= 6720, `${one}`);
  assert.ok(g.get_batch_size(0, 2) >= one);
  assert.strictEqual(g.update(0, 1, 2), undefined);
  assert.strictEqual(g.benchmark(0, 5), 0);
});

test('bad arguments throw before anything is queued', () => {
  const g = ready();
  const { header, target } = job(6, 8);
  const cb = () => assert.fail('no callback for a refused scan');
  const cases = [
    // [method, args, error class, message]
    ['scan_nonces', [undefined, header, target, 0, 0, 0], TypeError, 'scan_nonces: expected a function for callback but received undefined'],
    ['scan_nonces', [cb, 'header', target, 0, 0, 0], TypeError, 'scan_nonces: expected a Buffer or typed array for header but received a string'],
    ['scan_nonces', [cb, header, [1, 2], 0, 0, 0], TypeError, 'scan_nonces: expected a Buffer or typed array for target but received an array'],
    ['scan_nonces', [cb, header.subarray(1), target, 0, 0, 0], RangeError, 'scan_nonces: expected at least 286 bytes for header but received a view of 285 bytes'],
    ['scan_nonces', [cb, header, target.subarray(0, 31), 0, 0, 0], RangeError, 'scan_nonces: expected at least 32 bytes for target but received a view of 31 bytes'],
    ['scan_nonces', [cb, header, target, NaN, 0, 0], TypeError, 'scan_nonces: expected a finite number for start nonce but received NaN of type number'],
    ['scan_nonces', [cb, header, target, Infinity, 0, 0], TypeError, 'scan_nonces: expected a finite number for start nonce but received Infinity of type number'],
    ['scan_nonces', [cb, header, target, undefined, 0, 0], TypeError, 'scan_nonces: expected a finite number for start nonce but received undefined'],
    ['scan_nonces', [cb, header, target, -1, 0, 0], RangeError, 'scan_nonces: expected a number from 0 to 2^48 - 1 (nonces are 48 bits) for start nonce but received -1 of type number'],
    ['scan_nonces', [cb, header, target, 2 ** 64, 0, 0], RangeError, 'scan_nonces: expected a number from 0 to 2^48 - 1 (nonces are 48 bits) for start nonce but received 18446744073709552000 of type number'],
    ['scan_nonces', [cb, header, target, Symbol('x'), 0, 0], TypeError, 'Cannot convert a Symbol value to a number'],
    ['scan_nonces', [cb, header, target, 0, 20, 0], RangeError, 'scan_nonces: expected an index below 20 for device index but received 20 of type number'],
    ['scan_nonces', [cb, header, target, 0, 1, 0], RangeError, 'scan_nonces: expected a device initialised by init_devices for device index but received 1 of type number'],
    ['scan_nonces', [cb, header, target, 0, -1, 0], RangeError, 'scan_nonces: expected an index below 20 for device index but received -1 of type number'],
    ['scan_nonces', [cb, header, target, 0, 0, SLOTS], RangeError, 'scan_nonces: expected an index below the device\'s slot count for slot but received 4 of type number'],
    ['scan_nonces', [cb, header, target, 0, 0, -1], RangeError, 'scan_nonces: expected an index below the device\'s slot count for slot but received -1 of type number'],
    ['set_block', [header], TypeError, 'set_block: expected a Buffer or typed array for target but received undefined'],
    ['set_block', [header.subarray(0, 285), target], RangeError, 'set_block: expected at least 286 bytes for header but received a view of 285 bytes'],
    ['set_block', [{ length: 286 }, target], TypeError, 'set_block: expected a Buffer or typed array for header but received an object'],
    ['init_devices', [[0], 1, [256]], TypeError, 'init_devices: expected an array for slot counts but received 1 of type number'],
    ['init_devices', [[0], [1], 'x'], TypeError, 'init_devices: expected an array for work sizes but received a string'],
    ['init_devices', [[0, 0], [1], [256, 256]], RangeError, 'init_devices: expected an array as long as the ids array for slot counts but received an array'],
    ['init_devices', [[1], [1], [256]], RangeError, 'init_devices: expected an index below 1 (the devices found, at most 20) for device id but received 1 of type number'],
    ['init_devices', [[-1], [1], [256]], RangeError, 'init_devices: expected an index below 1 (the devices found, at most 20) for device id but received -1 of type number'],
    ['init_devices', [[NaN], [1], [256]], TypeError, 'init_devices: expected a finite number for device id but received NaN of type number'],
    ['init_devices', [[0], [-2], [256]], RangeError, 'init_devices: expected a count from 1 to 64 for slot count but received -2 of type number'],
    ['init_devices', [[0], [1], [-256]], RangeError, 'init_devices: expected a positive multiple of 256 for work size but received -256 of type number'],
    ['init_devices', [[0], [1], [2 ** 31]], RangeError, 'init_devices: expected a 32-bit integer for work size but received 2147483648 of type number'],
    ['get_batch_size', [1, 1], RangeError, 'get_batch_size: expected an index below get_total_devices() for device index but received 1 of type number'],
    ['get_batch_size', [-1, 1], RangeError, 'get_batch_size: expected an index below get_total_devices() for device index but received -1 of type number'],
    ['get_gran', [19], RangeError, 'get_gran: expected a device initialised by init_devices for device index but received 19 of type number'],
    ['get_gran', [20], RangeError, 'get_gran: expected an index below 20 for device index but received 20 of type number'],
    ['get_key', [3], RangeError, 'get_key: expected a device initialised by init_devices for device index but received 3 of type number'],
    ['get_key', [{ valueOf() { throw new TypeError('boom'); } }], TypeError, 'boom'],
    ['update', [20, 0, 0], RangeError, 'update: expected an index below 20 for device index but received 20 of type number'],
    ['test', [1], RangeError, 'test: expected a device initialised by init_devices for device index but received 1 of type number'],
    ['benchmark', [2, 0], RangeError, 'benchmark: expected a device initialised by init_devices for device index but received 2 of type number'],
  ];
  for (const [method, args, error, message] of cases) {
    assert.throws(() => g[method](...args), { name: error.name, message }, `${method}(${args.map(String).join(', ')})`);
  }
});
