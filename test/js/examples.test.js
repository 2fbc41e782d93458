'use strict';
// The examples as a script author runs them, in a child process, on PoCL and
// (once it is built) on the emulated CUDA platform: examples/low-level-loop.js
// on the modules, examples/mining-loop.js on openRig. Every winner they print
// is checked again here against the job it names.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const os = require('os');
const { ROOT, POCL_ENV, EMU, emuEnv, pow } = require('./helpers');

const EXAMPLE = path.join(ROOT, 'examples', 'low-level-loop.js');
const RIG_EXAMPLE = path.join(ROOT, 'examples', 'mining-loop.js');
const { makeJob } = require(path.join(ROOT, 'examples', 'jobs.js'));
// The rig's work-size choices stay out of the user's cache.
const CACHE = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-examples-'));
test.after(() => fs.rmSync(CACHE, { recursive: true, force: true }));
const GiB = 1073741824;

// nvsieve pointed at a file that is not there answers isAvailable() false,
// so OpenCL is used even on a machine with a CUDA driver.
const OPENCL = { ...POCL_ENV, NONCESIEVE_NVSIEVE_ADDON: path.join(ROOT, 'build', 'none.node') };
const CUDA = {
  NONCESIEVE_NVSIEVE_ADDON: EMU,
  // The third device is older than any image of the module: it must be left out.
  NVSIEVE_EMU_DEVICES: JSON.stringify([
    { name: 'Emulated GPU', totalGlobalMem: 8 * GiB, major: 8, minor: 6 },
    { name: 'Second GPU', totalGlobalMem: 4 * GiB, major: 7, minor: 5 },
    { name: 'Old One', totalGlobalMem: 2 * GiB, major: 7, minor: 0 },
  ]),
};

function runExample(args, env, file = EXAMPLE) {
  const r = spawnSync(process.execPath, [file, ...args], {
    cwd: ROOT, env: { ...process.env, NONCESIEVE_CACHE_DIR: CACHE, ...env }, encoding: 'utf8', timeout: 120000,
  });
  return { status: r.status, stdout: r.stdout, stderr: r.stderr };
}

const WINNER = /^verified winner (\d+): job ([12]) nonce (\d+) \(device (\d+) slot (\d+)\)( \(queued before job 2 arrived\))?$/;
const SUMMARY = /^Stopped (with enough winners|at the nonce budget): (\d+) verified winners \(job 1: (\d+), job 2: (\d+)\), (\d+) rejected, (\d+) nonces in /m;

// late: whether winners of job 1 are reported after job 2 arrived. Both
// modules keep queued scans on their own job's block, so with every range
// holding a winner (odds 512) the other slots report theirs late, and each
// must still verify against job 1.
const CASES = [
  { name: 'PoCL, the defaults', env: OPENCL, args: [], backend: 'OpenCL', devices: '0',
    winners: 8 },
  // Eight slots on four pool threads: scans wait queued when job 2 arrives.
  { name: 'PoCL, more slots than pool threads', env: OPENCL, backend: 'OpenCL', devices: '0',
    args: ['--slots', '8', '--work', '65536', '--odds', '512', '--winners', '24'],
    winners: 24, late: true, repeat: 3 },
  { name: 'PoCL, stopped by the nonce budget', env: OPENCL, backend: 'OpenCL', devices: '0',
    args: ['--winners', '1000', '--budget', '100000', '--work', '1000', '--odds', '100000'],
    budget: 100000, span: 1024 },
  { name: 'emulated CUDA', env: CUDA, backend: 'CUDA', devices: '0, 1', emu: true,
    args: ['--slots', '2', '--odds', '512', '--winners', '16'], winners: 16, late: true },
];

for (const c of CASES) {
  const skip = c.emu && !fs.existsSync(EMU) && `${EMU} is not built`;
  test(`mining loop: ${c.name}`, { skip }, () => {
    for (let run = 0; run < (c.repeat || 1); run++) {
      const r = runExample(c.args, c.env);
      assert.strictEqual(r.status, 0, `${r.stdout}\n${r.stderr}`);
      assert.match(r.stdout, new RegExp(`^Using ${c.backend} .*: devices ${c.devices}, `, 'm'));
      assert.doesNotMatch(r.stdout, /REJECTED/);
      const odds = Number(c.args[c.args.indexOf('--odds') + 1]) || 4096;
      const jobs = { 1: makeJob(1, odds), 2: makeJob(2, odds) };

      const winners = r.stdout.split('\n').map((line) => line.match(WINNER)).filter(Boolean);
      const summary = r.stdout.match(SUMMARY);
      assert.ok(summary, r.stdout);
      assert.strictEqual(Number(summary[2]), winners.length);
      assert.strictEqual(Number(summary[5]), 0);
      const seen = new Set();
      winners.forEach((m, i) => {
        const [, number, job, nonce] = m;
        assert.strictEqual(Number(number), i + 1);
        assert.ok(pow.verifyNonce(jobs[job].header, jobs[job].target, Number(nonce)),
          `job ${job} nonce ${nonce} does not verify`);
        assert.ok(!seen.has(`${job}:${nonce}`), `job ${job} nonce ${nonce} reported twice`);
        seen.add(`${job}:${nonce}`);
      });
      const late = winners.filter((m) => m[6]);
      assert.ok(late.every((m) => m[2] === '1'), 'only job 1 can be reported late');

      if (c.budget) {
        assert.strictEqual(summary[1], 'at the nonce budget');
        const handedOut = Number(summary[6]);
        assert.ok(handedOut >= c.budget && handedOut < c.budget + c.span, `${handedOut} nonces`);
        continue;
      }
      assert.strictEqual(summary[1], 'with enough winners');
      assert.ok(winners.length >= c.winners, r.stdout);
      assert.match(r.stdout, /^Job 2 arrived/m);
      assert.ok(Number(summary[4]) > 0, 'job 2 found no winner: its block never reached the device');
      if (c.late !== undefined) assert.strictEqual(late.length > 0, c.late, r.stdout);
    }
  });
}

test('mining loop: exits 2 when it cannot run', () => {
  const none = runExample([], { ...OPENCL, CLSIEVE_DEVICE_TYPE: 'accelerator' });
  assert.strictEqual(none.status, 2, none.stdout);
  assert.match(none.stdout, /^No device found\. .*CLSIEVE_PLATFORM_VENDOR/m);
  for (const args of [['--winners', '0'], ['--work', '1.5'], ['--slots']]) {
    const bad = runExample(args, OPENCL);
    assert.strictEqual(bad.status, 2, `${args}: ${bad.stdout}`);
    assert.notStrictEqual(bad.stderr, '');
  }
});

const RIG_WINNER = /^verified winner (\d+): job ([12]) nonce (\d+) \(hash bytes 24-31 0x([0-9a-f]{16})\)$/;
const RIG_CASES = [
  { name: 'PoCL, the defaults', env: OPENCL, args: [], devices: 'opencl:0', winners: 8 },
  { name: 'PoCL, four slots and many winners', env: OPENCL, devices: 'opencl:0',
    args: ['--slots', '4', '--odds', '512', '--winners', '40'], winners: 40 },
  { name: 'PoCL, stopped by the nonce budget', env: OPENCL, devices: 'opencl:0',
    args: ['--winners', '1000', '--budget', '100000', '--work', '1024', '--odds', '100000'], budget: 100000 },
  { name: 'emulated CUDA', env: CUDA, devices: 'cuda:0, cuda:1', emu: true,
    args: ['--odds', '512', '--winners', '16'], winners: 16 },
];

for (const c of RIG_CASES) {
  const skip = c.emu && !fs.existsSync(EMU) && `${EMU} is not built`;
  test(`mining loop on openRig: ${c.name}`, { skip }, () => {
    const r = runExample(c.args, c.env, RIG_EXAMPLE);
    assert.strictEqual(r.status, 0, `${r.stdout}\n${r.stderr}`);
    assert.match(r.stdout, new RegExp(`^Using ${c.emu ? 'CUDA' : 'OpenCL'} .*: devices ${c.devices}, `, 'm'));
    const odds = Number(c.args[c.args.indexOf('--odds') + 1]) || 4096;
    const jobs = { 1: makeJob(1, odds), 2: makeJob(2, odds) };
    const winners = r.stdout.split('\n').map((line) => line.match(RIG_WINNER)).filter(Boolean);
    const seen = new Set();
    for (const [, , id, nonce, hash] of winners) {
      assert.ok(pow.verifyNonce(jobs[id].header, jobs[id].target, Number(nonce)), `job ${id} nonce ${nonce}`);
      assert.strictEqual(hash, pow.hashTop64(jobs[id].header, Number(nonce)).toString(16).padStart(16, '0'));
      assert.ok(!seen.has(`${id}:${nonce}`), `job ${id} nonce ${nonce} reported twice`);
      seen.add(`${id}:${nonce}`);
    }
    // Once job 2 has arrived no winner of job 1 is reported.
    const arrived = winners.findIndex((m) => m[2] === '2');
    assert.ok(winners.slice(Math.max(arrived, 0)).every((m) => arrived < 0 || m[2] === '2'), r.stdout);
    const summary = r.stdout.match(SUMMARY);
    assert.ok(summary, r.stdout);
    assert.deepStrictEqual([Number(summary[2]), Number(summary[5])], [winners.length, 0]);
    if (c.budget) {
      assert.strictEqual(summary[1], 'at the nonce budget');
      assert.ok(Number(summary[6]) >= c.budget && Number(summary[6]) < c.budget + 1024, summary[6]);
      return;
    }
    assert.strictEqual(summary[1], 'with enough winners');
    assert.ok(winners.length >= c.winners);
    assert.match(r.stdout, /^Job 1 (superseded at nonce \d+|left at nonce \d+: job 2 arrived)$/m);
    assert.ok(Number(summary[4]) > 0, 'job 2 found no winner');
  });
}

test('mining loop on openRig: a GPU failure is reported, and the script ends on its own terms', { skip: !fs.existsSync(EMU) && `${EMU} is not built` }, () => {
  const r = runExample(['--odds', '1000000'], emuEnv({ failingScan: 10 }), RIG_EXAMPLE);
  assert.strictEqual(r.status, 1, r.stdout + r.stderr);
  assert.match(r.stdout, /^device failure: GPU#0: Cuda error in func 'cuda_scan_nonces'/m);
  assert.match(r.stdout, /^search failed: GPU#0: Cuda error/m);
  assert.match(r.stdout, SUMMARY);
  const none = runExample([], { ...OPENCL, CLSIEVE_DEVICE_TYPE: 'accelerator' }, RIG_EXAMPLE);
  assert.strictEqual(none.status, 2, none.stdout);
  assert.match(none.stdout, /no device found.*CLSIEVE_PLATFORM_VENDOR/);
});
