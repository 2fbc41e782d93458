'use strict';
// Every method of both modules called over and over with arguments drawn at
// random (from a fixed seed) from values of every kind a script can make:
// primitives, Proxies whose traps throw, objects whose conversions throw,
// arrays that change their length while they are read, sparse arrays, views
// of every typed-array kind at offsets, DataViews, shared and resizable
// buffers. Each module runs in a child process for a few seconds. Pass: the
// child is not killed by a signal, every throw is a TypeError or RangeError,
// an Error of ours or what a trap threw, every nonce found verifies with
// Node's BLAKE2s, and every range reported without a winner has none.
const test = require('node:test');
const assert = require('node:assert');
const { bothModules, runChild } = require('./helpers');

const SEED = Number(process.env.NONCESIEVE_RANDOM_SEED || 20261210);
const SECONDS = Number(process.env.NONCESIEVE_RANDOM_SECONDS || 2.5);

const CHILD = (mod, methods, seed) => `
const fs = require('fs');
const { isProxy } = require('util').types;
const pow = require('./lib/pow');
const { job } = require('./test/js/helpers');
const say = (line) => fs.writeSync(1, line + '\\n');
const NAME = ${JSON.stringify(mod.name)};
const WORK_UNIT = ${mod.work};
const METHODS = ${JSON.stringify(methods)};

let state = ${seed} >>> 0;
function random() {  // mulberry32
  state = (state + 0x6d2b79f5) >>> 0;
  let t = state;
  t = Math.imul(t ^ (t >>> 15), t | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
}
const pick = (list) => list[Math.floor(random() * list.length)];

class Trap extends Error {}
const trap = () => { throw new Trap('trap'); };
const { header: HEADER } = job(60, 1);
// Views hold the job's header from their first byte, and 0xff after it, so
// that a view used as a target lets some nonces win.
function fill(bytes) {
  for (let i = 0; i < bytes.length; i++) bytes[i] = i < 286 ? HEADER[i] : 0xff;
  return bytes;
}
const KINDS = [Uint8Array, Int8Array, Uint8ClampedArray, Int16Array, Uint16Array, Int32Array,
  Uint32Array, Float32Array, Float64Array, BigInt64Array, BigUint64Array, DataView];
function view() {
  const kind = pick(KINDS);
  const unit = kind.BYTES_PER_ELEMENT || 1;
  const bytes = pick([8, 31, 32, 64, 285, 286, 288, 320, 400]);
  const offset = pick([0, 0, 8, 16]);
  const length = Math.ceil(bytes / unit);
  const size = offset + length * unit;
  const where = random();
  const buffer = where < 0.2 ? new SharedArrayBuffer(size)
    : where < 0.4 ? new ArrayBuffer(size, { maxByteLength: size + 64 }) : new ArrayBuffer(size);
  fill(new Uint8Array(buffer));
  const v = new kind(buffer, offset, length);
  // Some resizable buffers shrink or grow when a later argument is converted.
  if (buffer.resize && random() < 0.5) {
    later.push(() => buffer.resize(pick([0, 10, 100, size + 64])));
  }
  return v;
}
let later = [];
const shrinker = () => ({ valueOf() { for (const f of later) f(); return pick([0, 1, 256]); } });

function number() {
  return pick([0, -0, 1, 2, -1, 0.5, 1.5, 3, 19, 20, 63, 64, 65, 255, WORK_UNIT, 2 * WORK_UNIT,
    WORK_UNIT + 1, -WORK_UNIT, 1000, 2 ** 31, 2 ** 32, 2 ** 53, 2 ** 64, NaN, Infinity, -Infinity]);
}
function array(depth) {
  const r = random();
  if (r < 0.3) return [pick([0, 0, 1, -1, 0.5, 20])];
  if (r < 0.45) return Array.from({ length: pick([0, 1, 2, 3]) }, () => value(depth + 1));
  if (r < 0.55) { const a = []; a[2] = 0; return a; }  // sparse
  if (r < 0.7) {  // a getter that lengthens or empties the array as it is read
    const a = [0, 0];
    Object.defineProperty(a, 0, { get() { if (random() < 0.5) a.length = 0; else a.push(0, 0); return 0; } });
    return a;
  }
  if (r < 0.8) return new Proxy([0], { get: trap, has: trap, ownKeys: trap });
  return [pick([1, 2, 64, 65, 0])];
}
function value(depth = 0) {
  const r = random();
  if (r < 0.12) return number();
  if (r < 0.22) return view();
  if (depth < 2 && r < 0.32) return array(depth);
  if (r < 0.36) return pick([undefined, null, true, false]);
  if (r < 0.4) return pick(['', '0', '256', 'abc']);
  if (r < 0.42) return Symbol('s');
  if (r < 0.44) return 10n;
  if (r < 0.48) return pick([() => {}, function () {}, new Proxy(() => {}, { apply: trap })]);
  if (r < 0.52) return { valueOf: trap };
  if (r < 0.56) return { [Symbol.toPrimitive]: trap };
  if (r < 0.6) return new Proxy({}, { get: trap, getPrototypeOf: trap });
  if (r < 0.64) return shrinker();
  if (r < 0.68) return Buffer.from(fill(new Uint8Array(286)));
  if (r < 0.72) return new DataView(new ArrayBuffer(64));
  return pick([{}, Object.create(null), new Date(0), /x/, new Map()]);
}

const ours = (e) => e instanceof Trap || e instanceof TypeError || e instanceof RangeError ||
  (e instanceof Error && e.constructor === Error && /^[a-z_]+: /.test(e.message));
const bad = [];
process.on('uncaughtException', (e) => { if (!(e instanceof Trap)) bad.push('uncaught ' + e.stack); });

// What the checker knows of each context: the last job set and device 0's span.
const contexts = [];
const known = new Map();
function context() {
  const g = new m.GpuContextWrapper();
  g.init_devices([0], [4], [WORK_UNIT]);
  const header = Buffer.from(HEADER);
  const target = Buffer.alloc(32, 0xff);
  target[31] = 0x20;  // one nonce in 8 wins
  g.set_block(header, target);
  contexts.push(g);
  known.set(g, { block: NAME === 'clsieve' ? { header, target } : null, span: WORK_UNIT * g.get_gran(0) });
}
context();
const bytesOf = (v, n) => Buffer.from(new Uint8Array(v.buffer, v.byteOffset, n));
let pending = 0, found = 0, checkedEmpty = 0, calls = 0, refusals = 0;

function call(g, method, args) {
  later = [];
  // Now and then a method is called with new, or on another receiver.
  const asNew = random() < 0.05;
  if (random() < 0.05) g = pick([{}, Object.create(m.GpuContextWrapper.prototype), pick(contexts)]);
  const info = known.get(g);
  let checker = null;
  const checked = method === 'scan_nonces' && info && random() < 0.6;
  if (checked) {
    // A scan whose result the checker can judge: a plain start and a view as
    // header and target.
    args[0] = (nonce) => checker(nonce);
    if (!ArrayBuffer.isView(args[1])) args[1] = Buffer.from(fill(new Uint8Array(286)));
    if (!ArrayBuffer.isView(args[2])) args[2] = Buffer.from(fill(new Uint8Array(64)));
    args[3] = Math.floor(random() * 1e6);
    args[4] = 0;
    args[5] = Math.floor(random() * 4);
    if (NAME === 'nvsieve') g.set_block();  // so that the scan uploads what it carries
  }
  const header = ArrayBuffer.isView(args[1]) && args[1].byteLength >= 286 ? bytesOf(args[1], 286) : null;
  const target = ArrayBuffer.isView(args[2]) && args[2].byteLength >= 32 ? bytesOf(args[2], 32) : null;
  calls++;
  try {
    if (asNew) new contexts[0][method](...args);
    else contexts[0][method].apply(g, args);
  } catch (e) {
    refusals++;
    if (!ours(e)) bad.push(method + ': ' + (e && e.constructor && e.constructor.name) + ' ' + (e && e.message));
    return;
  }
  if (asNew || !info) return;
  // Only arrays of plain numbers are judged: reading anything else again
  // would run its traps and getters a second time.
  const plain = (a) => Array.isArray(a) && !isProxy(a) &&
    Object.values(Object.getOwnPropertyDescriptors(a)).every((d) => 'value' in d) &&
    a.every((x) => typeof x === 'number');
  if (method === 'init_devices' && plain(args[0]) && args[0].length > 0) {
    const last = args[0].lastIndexOf(0);
    info.span = plain(args[2]) && plain(args[1]) && last >= 0 ? Math.trunc(args[2][last]) * g.get_gran(0) : 0;
  } else if (method === 'init_devices' && Array.isArray(args[0]) && !isProxy(args[0])) {
    info.span = 0;  // not known
  }
  if (method === 'set_block' && NAME === 'clsieve') {
    info.block = { header: bytesOf(args[0], 286), target: bytesOf(args[1], 32) };
  }
  if (checked) {
    const block = NAME === 'clsieve' ? info.block : { header, target };
    const start = args[3];
    const span = info.span;
    pending++;
    checker = (nonce) => {
      pending--;
      if (nonce !== pow.NOT_FOUND) {
        found++;
        if (!pow.verifyNonce(block.header, block.target, nonce)) bad.push('wrong nonce ' + nonce + ' from ' + start);
        if (span && (nonce < start || nonce >= start + span)) bad.push('nonce ' + nonce + ' outside ' + start + '+' + span);
      } else if (span) {
        checkedEmpty++;
        const t = pow.targetTop64(block.target);
        for (let n = start; n < start + span; n++) {
          if (pow.hashTop64(block.header, n) < t) { bad.push('missed ' + n + ' in ' + start + '+' + span); break; }
        }
      }
    };
  }
}

const end = Date.now() + ${SECONDS * 1000};
(async () => {
  while (Date.now() < end && bad.length === 0) {
    if (random() < 0.01 && contexts.length < 3) context();
    const g = pick(contexts);
    const method = pick(METHODS);
    const args = Array.from({ length: Math.floor(random() * 7) }, () => value());
    call(g, method, args);
    if (random() < 0.2) await new Promise((resolve) => setImmediate(resolve));
  }
  const stop = Date.now() + 30000;
  const waited = Date.now();
  // The checker's own scans call back; the others' callbacks may be traps.
  while (Date.now() < stop && pending > 0) await new Promise((resolve) => setTimeout(resolve, 20));
  if (pending > 0) bad.push(pending + ' scans did not call back within ' + (Date.now() - waited) + ' ms');
  say('@@' + JSON.stringify({ calls, refusals, found, checkedEmpty, bad: bad.slice(0, 10) }));
  process.exit(0);
})().catch((e) => {
  say('@@' + JSON.stringify({ bad: ['harness: ' + e.stack] }));
  process.exit(0);
});
`;

const METHODS = {
  clsieve: ['get_total_devices', 'get_batch_size', 'get_gran', 'get_key', 'init_devices', 'update',
    'scan_nonces', 'scan_nonces', 'set_block', 'test', 'benchmark'],
  nvsieve: ['get_total_devices', 'get_batch_size', 'get_gran', 'init_devices', 'scan_nonces',
    'scan_nonces', 'set_block', 'benchmark', 'update', 'get_key', 'create_buffers',
    'create_benchmark_buffers', 'reset_device', 'test'],
};

for (const mod of bothModules()) {
  test(`${mod.name}: random arguments to every method (seed ${SEED})`, () => {
    const r = runChild(mod.file, CHILD(mod, METHODS[mod.name], SEED), mod.env);
    assert.strictEqual(r.signal, null, `killed by ${r.signal}\n${r.stderr.slice(-2000)}`);
    assert.strictEqual(r.status, 0, r.stderr.slice(-2000));
    const line = r.stdout.split('\n').find((l) => l.startsWith('@@'));
    assert.ok(line, 'no summary');
    const summary = JSON.parse(line.slice(2));
    assert.deepStrictEqual(summary.bad, [], JSON.stringify(summary));
    assert.ok(summary.calls > 200 && summary.found > 0 && summary.checkedEmpty + summary.found > 5,
      JSON.stringify(summary));
  });
}
