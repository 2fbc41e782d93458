'use strict';
// nvsieve's two search kernels, chosen by NVSIEVE_KERNEL when a context is
// created, on the emulated CUDA driver (SASS as the kernel's host build, the
// portable PTX through the interpreter).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const { winnersIn, job, runChild, pow, EMU } = require('./helpers');

if (process.env.NVSIEVE_TEST_REAL === '1' || !fs.existsSync(EMU)) {
  test('nvsieve kernels', { skip: 'needs the emulated CUDA driver' }, () => {});
  return;
}

// The GPU each scan runs on: one that loads the SASS, and one (Pascal) that
// only the portable PTX runs on.
const GPUS = {
  sass: JSON.stringify([{ major: 8, minor: 6 }]),
  ptx: JSON.stringify([{ major: 6, minor: 1 }]),
};

// Scans `ranges` consecutive spans of 4096 nonces from `first` in a child
// process with NVSIEVE_KERNEL set; returns what each scan reported.
function scansWith(kernel, { header, target }, first, ranges, gpu) {
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
    })();`, { NVSIEVE_KERNEL: kernel, NVSIEVE_EMU_DEVICES: GPUS[gpu] });
  assert.strictEqual(r.status, 0, r.stderr);
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

test('each kernel reports a verified winner of every range that has one, and nothing otherwise', () => {
  const easy = job(41, 2000);
  for (const gpu of Object.keys(GPUS)) {
    for (const kernel of ['', 'default', 'balanced']) {
      const got = scansWith(kernel, easy, 5e6, 24, gpu);
      let found = 0;
      got.forEach((nonce, i) => {
        const expected = winnersIn(easy.header, easy.target, 5e6 + i * 4096, 4096);
        if (expected.length === 0) assert.strictEqual(nonce, pow.NOT_FOUND, `${gpu} ${kernel} range ${i}`);
        else assert.ok(expected.includes(nonce), `${gpu} ${kernel} range ${i}: ${nonce}`), found++;
      });
      assert.ok(found >= 10, `${gpu} ${kernel}: ${found} finds`);
    }
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
