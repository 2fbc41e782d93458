'use strict';
// nvsieve's two search kernels, chosen by NVSIEVE_KERNEL when a context is
// created, on the emulated CUDA platform (which runs each through the
// kernel's own per-thread code).
const test = require('node:test');
const assert = require('node:assert');
const { winnersIn, job, runChild, pow, EMU } = require('./helpers');
const { cudaRoot, cudartStatic } = require('../../scripts/find-cuda');

if (process.env.NVSIEVE_TEST_REAL === '1' || !(cudaRoot() && cudartStatic(cudaRoot()))) {
  test('nvsieve kernels', { skip: 'needs the emulated CUDA platform' }, () => {});
  return;
}

// Scans `ranges` consecutive spans of 4096 nonces from `first` in a child
// process with NVSIEVE_KERNEL set; returns what each scan reported.
function scansWith(kernel, { header, target }, first, ranges) {
  const r = runChild(EMU, `
    const g = new m.GpuContextWrapper();
    g.init_devices([0], [1], [4096]);
    const header = Buffer.from(${JSON.stringify(header.toString('hex'))}, 'hex');
    const target = Buffer.from(${JSON.stringify(target.toString('hex'))}, 'hex');
    (async () => {
      const got = [];
      for (let i = 0; i < ${ranges}; i++) {
        g.set_block();
        got.push(await new Promise((done) => g.scan_nonces(done, header, target, ${first} + i * 4096, 0, 0)));
      }
      console.log(JSON.stringify(got));
      process.exit(0);
    })();`, { NVSIEVE_KERNEL: kernel });
  assert.strictEqual(r.status, 0, r.stderr);
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

test('each kernel reports a verified winner of every range that has one, and nothing otherwise', () => {
  const easy = job(41, 2000);
  for (const kernel of ['', 'default', 'balanced']) {
    const got = scansWith(kernel, easy, 5e6, 24);
    let found = 0;
    got.forEach((nonce, i) => {
      const expected = winnersIn(easy.header, easy.target, 5e6 + i * 4096, 4096);
      if (expected.length === 0) assert.strictEqual(nonce, pow.NOT_FOUND, `${kernel} range ${i}`);
      else assert.ok(expected.includes(nonce), `${kernel} range ${i}: ${nonce}`), found++;
    });
    assert.ok(found >= 10, `${kernel}: ${found} finds`);
  }
});

test('an unknown NVSIEVE_KERNEL is refused when the context is created', () => {
  for (const name of ['fast', 'Balanced', ' default']) {
    const r = runChild(EMU, `
      try { new m.GpuContextWrapper(); console.log('created'); }
      catch (e) { console.log(e.constructor.name + ': ' + e.message); }`, { NVSIEVE_KERNEL: name });
    assert.strictEqual(r.status, 0, r.stderr);
    assert.strictEqual(r.stdout,
      `RangeError: GpuContextWrapper: NVSIEVE_KERNEL must be default or balanced, not "${name}"\n`);
  }
});
