'use strict';
// examples/mining-loop.js as a script author runs it, in a child process, on
// PoCL and (once it is built) on the emulated CUDA platform. Every winner it
// prints is checked again here against the job it names.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { ROOT, POCL_ENV, EMU, pow } = require('./helpers');

const EXAMPLE = path.join(ROOT, 'examples', 'mining-loop.js');
const { makeJob } = require(EXAMPLE);
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

function runExample(args, env) {
  const r = spawnSync(process.execPath, [EXAMPLE, ...args], {
    cwd: ROOT, env: { ...process.env, ...env }, encoding: 'utf8', timeout: 120000,
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
