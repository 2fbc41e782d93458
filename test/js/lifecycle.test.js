'use strict';
// Both modules through the life of a process: the async context a scan's
// callback runs in, Workers that load the modules and end with scans in
// flight, and process.exit while every slot is scanning. Whatever ends a
// process must end it with its own status, never a signal or an abort.
const test = require('node:test');
const assert = require('node:assert');
const { spawn } = require('child_process');
const path = require('path');
const { AsyncLocalStorage, createHook, executionAsyncResource } = require('async_hooks');
const { bothModules, job, pow, ROOT, winnersIn } = require('./helpers');

const HELPERS = path.join(__dirname, 'helpers.js');

// A fresh node running `code` with the module bound to `m`; resolves with
// its status, signal and output. Several run at once.
function child(mod, code) {
  const script = `const m = require(${JSON.stringify(mod.file)});\n${code}`;
  return new Promise((resolve) => {
    const p = spawn(process.execPath, ['-e', script], { cwd: ROOT, env: { ...process.env, ...mod.env } });
    let stdout = '';
    let stderr = '';
    p.stdout.on('data', (d) => { stdout += d; });
    p.stderr.on('data', (d) => { stderr += d; });
    const timer = setTimeout(() => p.kill('SIGKILL'), 60000);
    p.on('close', (status, signal) => { clearTimeout(timer); resolve({ status, signal, stdout, stderr }); });
  });
}

async function runMany(count, parallel, run) {
  const results = [];
  let next = 0;
  await Promise.all(Array.from({ length: parallel }, async () => {
    while (next < count) results.push(await run(next++));
  }));
  return results;
}

// Keeps every slot of device 0 scanning consecutive ranges, checking each
// nonce; `onResult(count)` after each callback.
const KEEP_SCANNING = (mod, slots) => `
const pow = require(${JSON.stringify(require.resolve('../../lib/pow'))});
const { header, target } = require(${JSON.stringify(HELPERS)}).job(50, 8);
const g = new m.GpuContextWrapper();
const log = console.log;
console.log = () => {};
g.init_devices([0], [${slots}], [${mod.work}]);
console.log = log;
${mod.setBlock};
let results = 0;
function keepScanning(onResult) {
  for (let slot = 0; slot < ${slots}; slot++) {
    let start = slot * 1e7;
    const go = () => g.scan_nonces((nonce) => {
      if (nonce !== pow.NOT_FOUND && !pow.verifyNonce(header, target, nonce)) throw new Error('wrong nonce ' + nonce);
      start += ${mod.work};
      go();
      onResult(++results);
    }, header, target, start, 0, slot);
    go();
  }
}
`;

// A Worker that keeps four slots scanning; it posts 'scanning' once every
// slot has reported, and ends itself with process.exit after `exitAfter`
// results when that is given.
const WORKER = (mod) => `
const { parentPort, workerData } = require('worker_threads');
const m = require(${JSON.stringify(mod.file)});
${KEEP_SCANNING(mod, 4)}
keepScanning((n) => {
  if (n === 4) parentPort.postMessage('scanning');
  if (workerData.exitAfter && n === workerData.exitAfter) process.exit(0);
});
`;

// Workers released at once through a shared gate: each constructs its own
// wrapper (the process's first device discovery, raced), counts the devices,
// initialises device 0 and scans a range that holds a known winner.
const RACING_WORKER = (mod) => `
const { parentPort, workerData } = require('worker_threads');
const m = require(${JSON.stringify(mod.file)});
const { header, target, start, winners, gate } = workerData;
const flag = new Int32Array(gate);
parentPort.postMessage({ ready: true });
Atomics.wait(flag, 0, 0);
const g = new m.GpuContextWrapper();
const count = g.get_total_devices();
if (count === 0) {
  parentPort.postMessage({ count });
} else {
  const log = console.log;
  console.log = () => {};
  g.init_devices([0], [1], [${mod.work}]);
  console.log = log;
  new Function('g', 'header', 'target', ${JSON.stringify(mod.setBlock)})(g, header, target);
  g.scan_nonces((nonce) => parentPort.postMessage({ count, nonce }), header, target, start, 0, 0);
}
`;

const clean = (r, what) => {
  assert.strictEqual(r.signal, null, `${what}: signal ${r.signal}\n${r.stderr}`);
  assert.strictEqual(r.status, 0, `${what}: status ${r.status}\n${r.stderr}`);
  assert.doesNotMatch(r.stderr, /terminate called|uv_loop_close|Assertion|did not self-register/, what);
};

for (const mod of bothModules()) {
  test(`${mod.name}: a scan's callback runs in the async context of its scan_nonces call`, async () => {
    Object.assign(process.env, mod.env);
    const { GpuContextWrapper } = require(mod.file);
    const g = new GpuContextWrapper();
    g.init_devices([0], [2], [mod.work]);
    const { header, target } = job(51, 1e12);
    new Function('g', 'header', 'target', mod.setBlock)(g, header, target);
    const resources = [];
    const hook = createHook({
      init(asyncId, type, triggerAsyncId, resource) {
        if (type === `${mod.name}:scan_nonces`) resources.push(resource);
      },
    }).enable();
    const store = new AsyncLocalStorage();
    const call = await new Promise((resolve) => store.run({ job: 51 }, () => {
      g.scan_nonces(function (...args) {
        resolve({ store: store.getStore(), self: this, args, resource: executionAsyncResource() });
      }, header, target, 0, 0, 1);
    }));
    hook.disable();
    assert.deepStrictEqual(call.store, { job: 51 });
    assert.strictEqual(call.self, globalThis);
    assert.deepStrictEqual(call.args, [pow.NOT_FOUND]);
    assert.strictEqual(resources.length, 1);
    assert.strictEqual(call.resource, resources[0]);
  });

  test(`${mod.name}: Workers load the module, scan, and end mid-flight without harm`, async () => {
    // In one process: the module on the main thread too, then Workers that
    // are terminated, or end themselves, while all their slots scan.
    const r = await child(mod, `
      const { Worker } = require('worker_threads');
      new m.GpuContextWrapper().get_total_devices();
      const code = ${JSON.stringify(WORKER(mod))};
      async function once(exitAfter) {
        const w = new Worker(code, { eval: true, workerData: { exitAfter } });
        let failed = null;
        w.on('error', (e) => { failed = e; });
        await new Promise((resolve) => w.on(exitAfter ? 'exit' : 'message', resolve));
        if (!exitAfter) await w.terminate();
        if (failed) throw failed;
      }
      (async () => {
        for (let i = 0; i < 12; i++) await once(i % 2 ? 0 : 6 + i);
        // Two at once, both ended by terminate.
        const two = [new Worker(code, { eval: true, workerData: {} }), new Worker(code, { eval: true, workerData: {} })];
        await Promise.all(two.map((w) => new Promise((resolve) => w.once('message', resolve))));
        await Promise.all(two.map((w) => w.terminate()));
        console.log('workers done');
      })();`);
    clean(r, 'workers');
    assert.match(r.stdout, /workers done\n$/);
  });

  test(`${mod.name}: the process ends cleanly while a Worker scans`, async () => {
    const endings = {
      'process.exit on the main thread': 'w.once("message", () => process.exit(0));',
      'the main loop ending with the Worker unref()ed': 'w.once("message", () => w.unref());',
    };
    for (const [what, ending] of Object.entries(endings)) {
      const results = await runMany(6, 2, () => child(mod, `
        const { Worker } = require('worker_threads');
        const w = new Worker(${JSON.stringify(WORKER(mod))}, { eval: true, workerData: {} });
        ${ending}`));
      results.forEach((r) => clean(r, what));
    }
  });

  test(`${mod.name}: Workers that construct wrappers at the same moment each see every device`, async () => {
    // The winners of the scanned range, by the oracle, before any module runs.
    const { header, target } = job(52, 64);
    const start = 3 * 2 ** 32;
    const winners = winnersIn(header, target, start, mod.work);
    assert.ok(winners.length > 0, 'the fixture range holds a winner');
    const rounds = 3;
    const runs = await runMany(6, 2, () => child(mod, `
      const { Worker } = require('worker_threads');
      const code = ${JSON.stringify(RACING_WORKER(mod))};
      const data = ${JSON.stringify({ header: [...header], target: [...target], start, winners })};
      async function race(n) {
        const gate = new SharedArrayBuffer(4);
        const workerData = { ...data, header: Buffer.from(data.header), target: Buffer.from(data.target), gate };
        const workers = Array.from({ length: n }, () => new Worker(code, { eval: true, workerData }));
        const ready = workers.map((w) => new Promise((resolve) => w.once('message', resolve)));
        const results = workers.map((w) => new Promise((resolve, reject) => {
          w.on('message', (msg) => { if (!msg.ready) resolve(msg); });
          w.once('error', reject);
        }));
        await Promise.all(ready);
        Atomics.store(new Int32Array(gate), 0, 1);
        Atomics.notify(new Int32Array(gate), 0);
        const seen = await Promise.all(results);
        await Promise.all(workers.map((w) => w.terminate()));
        return seen;
      }
      (async () => {
        const rounds = [];
        for (let i = 0; i < ${rounds}; i++) for (const n of [2, 4]) rounds.push(await race(n));
        console.log(JSON.stringify(rounds));
      })();`));
    runs.forEach((r, i) => {
      clean(r, `process ${i}`);
      const raced = JSON.parse(r.stdout.trim().split('\n').pop());
      assert.strictEqual(raced.length, 2 * rounds, r.stdout);
      for (const seen of raced) {
        const counts = seen.map((s) => s.count);
        assert.ok(counts.every((c) => c > 0 && c === counts[0]), `process ${i}: device counts ${counts}`);
        for (const { nonce } of seen) {
          assert.ok(winners.includes(nonce), `process ${i}: ${nonce} is not a winner of the range (${winners})`);
        }
      }
    });
  });

  test(`${mod.name}: process.exit with scans in flight on every slot ends with status 0, 50 of 50`, async () => {
    const results = await runMany(50, 3, (i) => child(mod, `
      ${KEEP_SCANNING(mod, 4)}
      keepScanning((n) => { if (${i % 2} === 0 && n === 12) process.exit(0); });
      if (${i % 2} === 1) setTimeout(() => process.exit(0), 30);`));
    results.forEach((r, i) => clean(r, `run ${i}`));
  });
}
