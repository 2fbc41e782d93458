'use strict';
// What a careless or hostile script does to either module, answered by an
// exception of the documented class and message. Each module's cases run in
// a child process, so that a case that crashes shows as a signal or a status
// and names itself, instead of taking the test runner down.
const test = require('node:test');
const assert = require('node:assert');
const { bothModules, runChild, job, pow } = require('./helpers');

const METHODS = {
  clsieve: ['get_total_devices', 'get_batch_size', 'get_gran', 'get_key', 'init_devices', 'update',
    'scan_nonces', 'set_block', 'test', 'benchmark'],
  nvsieve: ['get_total_devices', 'get_batch_size', 'get_gran', 'init_devices', 'scan_nonces',
    'set_block', 'benchmark', 'update', 'get_key', 'create_buffers', 'create_benchmark_buffers',
    'reset_device', 'test'],
};

// [name, code, expected]: `code` is a function body with m (the module), g (a
// context with device 0 of 2 slots and a job set), ready(slots) (a new such
// context), header, target and W (the smallest work size) in scope.
// Expected: [ErrorClass, message] or 'returns'. `silent` cases must print nothing.
function cases(mod) {
  const W = mod.work;
  const list = [];
  for (const name of METHODS[mod.name]) {
    list.push([`new ${name}`, `return new g.${name}(0);`, ['TypeError', `${name} is not a constructor`]]);
    list.push([`${name} on a plain object`, `return g.${name}.call({}, 0);`, ['TypeError', 'Illegal invocation']]);
  }
  const initRefused = (what, value) => ['RangeError',
    `init_devices: expected ${what} but received ${value} of type number`];
  const slots = (n) => initRefused('a count from 1 to 64 for slot count', n);
  const work = (n) => initRefused(`a positive multiple of ${W} for work size`, n);
  const startRefused = (n) => ['RangeError',
    `scan_nonces: expected a number from 0 to 2^48 - 1 (nonces are 48 bits) for start nonce but received ${n} of type number`];
  list.push(
    ['a wrapper-shaped object', 'return g.get_gran.call(Object.create(m.GpuContextWrapper.prototype), 0);',
      ['TypeError', 'Illegal invocation']],
    ['no slots', 'return g.init_devices([0], [0], [W]);', slots(0), 'silent'],
    ['2^31 - 1 slots', 'return g.init_devices([0], [2 ** 31 - 1], [W]);', slots(2147483647), 'silent'],
    ['65 slots', 'return g.init_devices([0], [65], [W]);', slots(65), 'silent'],
    ['64 slots', 'return ready(64).get_total_devices();', 'returns'],
    ['a work size of 0', 'return g.init_devices([0], [1], [0]);', work(0), 'silent'],
    ['half the work unit', 'return g.init_devices([0], [1], [W / 2]);', work(W / 2), 'silent'],
    ['one and a half work units', 'return g.init_devices([0], [1], [W * 1.5]);', work(W * 1.5), 'silent'],
    ['a negative work size', 'return g.init_devices([0], [1], [-W]);', work(-W), 'silent'],
    ['a refusal of a later device', 'return g.init_devices([0, 0], [1, 1], [W, W + 1]);', work(W + 1), 'silent'],
    ['a second scan on a busy slot', `const f = ready();
      f.scan_nonces(() => {}, header, target, 0, 0, 1);
      return f.scan_nonces(() => {}, header, target, 0, 0, 1);`,
    ['Error', 'scan_nonces: slot 1 of device 0 already has a scan in flight']],
    ['the self-test on a busy slot 0', `const f = ready();
      f.scan_nonces(() => {}, header, target, 0, 0, 0);
      return f.test(0);`, ['Error', 'test: slot 0 of device 0 already has a scan in flight']],
    ['a header shrunk by the start nonce\'s valueOf', `
      const ab = new ArrayBuffer(286, { maxByteLength: 512 });
      const h = new Uint8Array(ab, 0, 286);
      h.set(header);
      return g.scan_nonces(() => {}, h, target, { valueOf() { ab.resize(100); return 0; } }, 0, 0);`,
    ['RangeError', 'scan_nonces: expected at least 286 bytes for header but received a view of 0 bytes']],
    ['a length-tracking header shrunk by the slot\'s valueOf', `
      const ab = new ArrayBuffer(300, { maxByteLength: 512 });
      const h = new Uint8Array(ab);
      h.set(header);
      return g.scan_nonces(() => {}, h, target, 0, 0, { valueOf() { ab.resize(285); return 0; } });`,
    ['RangeError', 'scan_nonces: expected at least 286 bytes for header but received a view of 285 bytes']],
    ['a target detached by the device index\'s valueOf', `
      const t = new Uint8Array(target);
      return g.scan_nonces(() => {}, header, t,
        0, { valueOf() { structuredClone(t.buffer, { transfer: [t.buffer] }); return 0; } }, 0);`,
    ['RangeError', 'scan_nonces: expected at least 32 bytes for target but received a view of 0 bytes']],
    ['a start at 2^48', 'return g.scan_nonces(() => {}, header, target, 2 ** 48, 0, 0);', startRefused(2 ** 48)],
    ['a start at 2^52', 'return g.scan_nonces(() => {}, header, target, 2 ** 52, 0, 0);', startRefused(2 ** 52)],
    ['a scan that would reach past 2^48', 'return g.scan_nonces(() => {}, header, target, 2 ** 48 - W / 2, 0, 0);',
      ['RangeError', `scan_nonces: expected a number from 0 to 2^48 - ${W} (a scan covers ${W} nonces, and nonces ` +
        `are 48 bits) for start nonce but received ${2 ** 48 - W / 2} of type number`]],
    ['a refused range leaves its slot free', `
      try { g.scan_nonces(() => {}, header, target, 2 ** 48 - 1, 0, 1); } catch (e) {}
      return g.scan_nonces(() => {}, header, target, 2 ** 48 - W, 0, 1);`, 'returns'],
    ['a start nonce whose valueOf throws', `
      return g.scan_nonces(() => {}, header, target, { valueOf() { throw new SyntaxError('mine'); } }, 0, 0);`,
    ['SyntaxError', 'mine']],
    ['a slot count whose getter throws', `
      const counts = [];
      Object.defineProperty(counts, 0, { get() { throw new URIError('getter'); } });
      return g.init_devices([0], counts, [W]);`, ['URIError', 'getter'], 'silent'],
  );
  return list;
}

const CHILD = (mod, list) => `
const fs = require('fs');
const { header, target } = require('./test/js/helpers').job(40, 8);
const W = ${mod.work};
const say = (line) => fs.writeSync(1, line + '\\n');
function ready(slots = 2) {
  const g = new m.GpuContextWrapper();
  g.init_devices([0], [slots], [W]);
  ${mod.setBlock};
  return g;
}
const g = ready();
for (const [name, code] of ${JSON.stringify(list.map(([name, code]) => [name, code]))}) {
  say('@@case ' + name);
  let out;
  try {
    new Function('m', 'g', 'ready', 'header', 'target', 'W', code)(m, g, ready, header, target, W);
    out = 'returns';
  } catch (e) {
    out = [e && e.constructor && e.constructor.name, String(e && e.message)];
  }
  say('@@result ' + JSON.stringify(out));
}`;

// Per case: what it printed and what it gave.
function parse(stdout) {
  const seen = new Map();
  let current = null;
  for (const line of stdout.split('\n')) {
    if (line.startsWith('@@case ')) {
      current = { printed: [], result: undefined };
      seen.set(line.slice(7), current);
    } else if (line.startsWith('@@result ')) {
      current.result = JSON.parse(line.slice(9));
    } else if (current && line !== '') {
      current.printed.push(line);
    }
  }
  return seen;
}

for (const mod of bothModules()) {
  test(`${mod.name}: misuse is refused with its class and message, and nothing crashes`, () => {
    const list = cases(mod);
    const r = runChild(mod.file, CHILD(mod, list), mod.env);
    const seen = parse(r.stdout);
    const last = [...seen.keys()].pop();
    assert.strictEqual(r.signal, null, `died by ${r.signal} in case "${last}"`);
    assert.strictEqual(r.status, 0, `status ${r.status} in case "${last}": ${r.stderr}`);
    for (const [name, , expected, silent] of list) {
      const got = seen.get(name);
      assert.ok(got, `case "${name}" did not run`);
      assert.deepStrictEqual(got.result, expected, name);
      if (silent) assert.deepStrictEqual(got.printed, [], `${name} printed`);
    }
  });
}

for (const mod of bothModules()) {
  test(`${mod.name}: the last scan below 2^48 reports a nonce of the header's field`, () => {
    // Every nonce wins: whatever the scan reports is in its range, and below 2^48.
    const r = runChild(mod.file, `
      const { header, target } = require('./test/js/helpers').job(41, 1);
      const g = new m.GpuContextWrapper();
      g.init_devices([0], [1], [${mod.work}]);
      ${mod.setBlock};
      g.scan_nonces((n) => console.log('found', n), header, target, 2 ** 48 - ${mod.work}, 0, 0);`, mod.env);
    assert.strictEqual(r.status, 0, r.stderr);
    const nonce = Number(/found (\d+)/.exec(r.stdout)[1]);
    assert.ok(nonce >= 2 ** 48 - mod.work && nonce < 2 ** 48, `reported ${nonce}`);
    const { header, target } = job(41, 1);
    assert.ok(pow.verifyNonce(header, target, nonce));
  });

  test(`${mod.name}: more slots than pool threads give one warning that names UV_THREADPOOL_SIZE`, () => {
    const code = `const g = new m.GpuContextWrapper();
      g.init_devices([0], [3], [${mod.work}]);
      g.init_devices([0], [5], [${mod.work}]);
      g.init_devices([0], [6], [${mod.work}]);`;
    const cases = [
      [{ UV_THREADPOOL_SIZE: undefined }, 1, /^init_devices: warning: 5 slots are in use but the libuv thread pool has 4 threads, .*set UV_THREADPOOL_SIZE=5 /],
      [{ UV_THREADPOOL_SIZE: '2' }, 1, /^init_devices: warning: 3 slots are in use but the libuv thread pool has 2 threads, /],
      [{ UV_THREADPOOL_SIZE: '6' }, 0],
    ];
    for (const [env, warnings, first] of cases) {
      const r = runChild(mod.file, code, { ...mod.env, ...env });
      assert.strictEqual(r.status, 0, r.stderr);
      const lines = r.stderr.split('\n').filter((l) => /warning/.test(l));
      assert.strictEqual(lines.length, warnings, `${JSON.stringify(env)}: ${r.stderr}`);
      if (first) assert.match(lines[0], first);
    }
  });
}
