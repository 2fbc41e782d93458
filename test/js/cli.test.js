'use strict';
// The noncesieve command on PoCL, and on the emulated CUDA platform when it
// has been built.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { ROOT, EMU, NO_DRIVER, pow, job } = require('./helpers');
const { noncesPerScan } = require('../../lib/work');
const { pickWorkSize } = require('../../lib/sweep');

const CLI = path.join(ROOT, 'lib', 'cli.js');
const noEmu = !fs.existsSync(EMU) && `${EMU} is not built`;
// Folders of this file's own, removed when it ends.
const TEMP = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-cli-'));
test.after(() => fs.rmSync(TEMP, { recursive: true, force: true }));
const tempDir = (name) => fs.mkdtempSync(path.join(TEMP, name));
// Work-size choices of these tests stay in their own cache.
const CACHE = tempDir('cache-');
const GiB = 2 ** 30;

function cli(args, env = {}) {
  const r = spawnSync(process.execPath, [CLI, ...args], {
    cwd: ROOT, env: { ...process.env, NONCESIEVE_CACHE_DIR: CACHE, ...env }, encoding: 'utf8', timeout: 120000,
  });
  return { status: r.status, stdout: r.stdout, stderr: r.stderr };
}

const HEADER = pow.SELFTEST.header;
const TARGET = pow.SELFTEST.target;
const EMU_ENV = { NONCESIEVE_NVSIEVE_ADDON: EMU, NVSIEVE_EMU_DEVICES: undefined, NVSIEVE_EMU_FAIL: undefined };
// A card older than every image of the build, beside one it runs, and one
// only the portable PTX runs on.
const WITH_OLD_CARD = { ...EMU_ENV, NVSIEVE_EMU_DEVICES: JSON.stringify([
  { name: 'Emulated GPU', totalGlobalMem: 8 * GiB, major: 8, minor: 6 },
  { name: 'Old Card', totalGlobalMem: 4 * GiB, major: 3, minor: 0 },
  { name: 'Pascal Card', totalGlobalMem: 4 * GiB, major: 6, minor: 1 },
]) };

test('devices lists the OpenCL device with its batch size, granularity, memory, name and key', () => {
  const r = cli(['devices', '--backend', 'opencl']);
  assert.strictEqual(r.status, 0, r.stderr);
  const table = /^device +batch +gran +memory +name \(key\)\nopencl:0 +\d+ +1 +([\d.]+) GiB +(.+) \(\2-(\d+)gb-\d+-\d+\)\n$/;
  assert.match(r.stdout, table);
  const [, gib, , keyGb] = table.exec(r.stdout);
  const json = JSON.parse(cli(['devices', '--backend', 'opencl', '--json']).stdout);
  assert.strictEqual(json.length, 1);
  assert.strictEqual(json[0].device, 'opencl:0');
  assert.ok(json[0].key.startsWith(json[0].name));
  // Memory in bytes, to the MiB, as the table and the key round it.
  assert.ok(Number.isSafeInteger(json[0].memory) && json[0].memory % 2 ** 20 === 0, String(json[0].memory));
  assert.strictEqual((json[0].memory / GiB).toFixed(1), gib);
  assert.ok(Math.abs(json[0].memory / GiB - Number(keyGb)) < 1, `${json[0].memory} bytes, key ${keyGb} GB`);
  // In auto selection, a backend that found nothing says why beside the devices found.
  const auto = cli(['devices'], NO_DRIVER);
  assert.strictEqual(auto.status, 0, auto.stderr);
  assert.match(auto.stdout, /\nopencl:0 [^]*\nCUDA: .*NVIDIA driver.*\.\n$/);
  // Nothing found: says so and what to install, with its own exit status.
  const none = cli(['devices', '--backend', 'opencl'], { CLSIEVE_DEVICE_TYPE: 'accelerator' });
  assert.strictEqual(none.status, 3);
  assert.match(none.stdout, /No device found\.\n(.*\n)*OpenCL: .*pocl-opencl-icd/);
  assert.strictEqual(cli(['selftest', '--backend', 'opencl'], { CLSIEVE_DEVICE_TYPE: 'accelerator' }).status, 3);
});

test('selftest judges the module test and known-answer scans on the host', () => {
  const r = cli(['selftest', '--backend', 'opencl']);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.match(r.stdout, /^opencl:0 +pass +[\d.e+-]+ ms +\S/);
  const json = cli(['selftest', '--backend', 'opencl', '--json', '--work-size', '4096']);
  assert.strictEqual(json.status, 0, json.stderr);
  const { passed, devices: [d] } = JSON.parse(json.stdout);
  assert.strictEqual(passed, true);
  assert.strictEqual(d.noncesPerScan, 4096);
  const [own, one, none, tie] = d.checks;
  assert.strictEqual(own.problem, null);
  // One winner, found; the other range and the tie hold none.
  assert.strictEqual(one.expected.length, 1);
  assert.strictEqual(one.seen, one.expected[0]);
  assert.ok(one.range[0] < 2 ** 32 + 4096 && one.range[1] > 2 ** 32 - 4096);
  assert.deepStrictEqual([none.expected, none.seen, tie.expected, tie.seen], [[], null, [], null]);
  const target = Buffer.alloc(32, 0xff);
  target.writeBigUInt64LE(pow.hashTop64(Buffer.from(HEADER, 'hex'), one.seen) + 1n, 24);
  assert.ok(pow.verifyNonce(Buffer.from(HEADER, 'hex'), target, one.seen));
});

test('bench reports nonces per second, as JSON for machines', () => {
  const r = cli(['bench', '--backend', 'opencl', '--seconds', '1', '--json', '--work-size', '65536']);
  assert.strictEqual(r.status, 0, r.stderr);
  const result = JSON.parse(r.stdout);
  assert.strictEqual(result.devices[0].device, 'opencl:0');
  assert.strictEqual(result.devices[0].work, 65536);
  assert.ok(result.totalNoncesPerSecond > 1e5, `${result.totalNoncesPerSecond}`);
  const plain = cli(['bench', '--backend', 'opencl', '--seconds', '1', '--slots', '1', '--work-size', '65536']);
  assert.strictEqual(plain.status, 0, plain.stderr);
  assert.match(plain.stdout, /\ntotal +[\d.]+ M\/s\n$/);
});

test('search stops at a verified winner, or reports none within --max-nonces', () => {
  const { header, target } = job(40, 5000);
  const args = ['search', '--header', header.toString('hex'), '--target', target.toString('hex'),
    '--start', '1000', '--backend', 'opencl', '--work-size', '4096'];
  const r = cli(args);
  assert.strictEqual(r.status, 0, r.stderr);
  const nonce = Number(/Winner: (\d+) /.exec(r.stdout)[1]);
  assert.ok(nonce >= 1000 && pow.verifyNonce(header, target, nonce));
  // Two slots race: either may report first, and its winner is the one kept.
  const json = JSON.parse(cli([...args, '--json']).stdout);
  assert.ok(json.winner >= 1000 && pow.verifyNonce(header, target, json.winner));
  assert.strictEqual(json.hashTop64, `0x${pow.hashTop64(header, json.winner).toString(16).padStart(16, '0')}`);
  assert.strictEqual(json.range.start, 1000);
  // The search settles at the winner: scans still in flight then are not counted.
  assert.ok(json.range.end > json.winner && json.scanned <= json.range.end - 1000 && json.scanned > 0);
  assert.deepStrictEqual(json.devices.map((d) => [d.device, d.noncesPerScan, d.scanned]),
    [['opencl:0', 4096, json.scanned]]);

  const none = cli(['search', '--header', HEADER, '--target', '00'.repeat(32), '--max-nonces', '300000',
    '--backend', 'opencl', '--work-size', '65536']);
  assert.strictEqual(none.status, 1, none.stderr);
  assert.match(none.stdout, /No winner after/);
});

test('search ends at 2^48, where the nonce field ends', () => {
  const limit = pow.NONCE_LIMIT;
  const none = cli(['search', '--header', HEADER, '--target', '00'.repeat(32), '--start', String(limit - 5000),
    '--backend', 'opencl', '--work-size', '1024', '--json']);
  assert.strictEqual(none.status, 1, none.stderr);
  const json = JSON.parse(none.stdout);
  assert.deepStrictEqual([json.winner, json.range.end, json.scanned, json.exhausted], [null, limit, 5000, true]);
  const plain = cli(['search', '--header', HEADER, '--target', '00'.repeat(32), '--start', String(limit - 100),
    '--backend', 'opencl', '--work-size', '1024']);
  assert.strictEqual(plain.status, 1, plain.stderr);
  assert.match(plain.stdout, /No winner from \d+ up to 2\^48/);
  assert.doesNotMatch(plain.stderr, /not a winner/);
});

// A job whose lowest hash in [0, 12 x span) lies in [4 x span, 8 x span):
// searched from `nonce - offset`, that nonce is the only winner of the
// 4 x span nonces handed out.
function placedWinner(span) {
  for (let seed = 100; ; seed++) {
    const { header } = job(seed, 1);
    let best = 0;
    let bestTop = null;
    for (let n = 0; n < 12 * span; n++) {
      const top = pow.hashTop64(header, n);
      if (bestTop === null || top < bestTop) { best = n; bestTop = top; }
    }
    if (best < 4 * span || best >= 8 * span) continue;
    const target = Buffer.alloc(32, 0xff);
    target.writeBigUInt64LE(bestTop + 1n, 24);
    return { header, target, nonce: best };
  }
}

const LANE_CASES = [
  { backend: 'opencl', work: 512 }, { backend: 'opencl', work: 1024 }, { backend: 'opencl', work: 768 },
  { backend: 'cuda', work: 512, env: EMU_ENV }, { backend: 'cuda', work: 1024, env: EMU_ENV },
];

test('search finds a single winner placed just inside each lane\'s span', async (t) => {
  for (const c of LANE_CASES) {
    await t.test(`${c.backend}, work size ${c.work}`, { skip: c.env && noEmu }, () => {
      const span = noncesPerScan(c.backend, c.work, 1);
      const { header, target, nonce } = placedWinner(span);
      // The first and last nonce of each of the two slots' first scans, and
      // the last nonce handed out.
      for (const offset of [0, span - 1, span, 2 * span - 1, 4 * span - 1]) {
        const r = cli(['search', '--header', header.toString('hex'), '--target', target.toString('hex'),
          '--start', String(nonce - offset), '--max-nonces', String(4 * span), '--slots', '2',
          '--backend', c.backend, '--work-size', String(c.work), '--json'], c.env);
        assert.strictEqual(r.status, 0, `offset ${offset}: ${r.stdout}${r.stderr}`);
        assert.strictEqual(JSON.parse(r.stdout).winner, nonce, `offset ${offset}`);
      }
    });
  }
  const refused = cli(['search', '--header', HEADER, '--target', TARGET, '--backend', 'cuda', '--work-size', '768']);
  assert.strictEqual(refused.status, 2);
  assert.match(refused.stderr, /CUDA work size must be a positive multiple of 512 \(nvsieve launches whole blocks of 512 threads\), not 768/);
});

test('bad input: a clear message and exit status 2', () => {
  const cases = [
    [['search', '--header', HEADER.slice(2), '--target', TARGET], /--header must be 286 bytes/],
    [['search', '--header', HEADER, '--target', TARGET + '00'], /--target must be 32 bytes/],
    [['search', '--header', 'zz' + HEADER.slice(2), '--target', TARGET], /--header is not hex/],
    [['search', '--header', HEADER.slice(1), '--target', TARGET], /--header is not hex/],
    [['search', '--target', TARGET], /--header is required/],
    [['search', '--header', HEADER, '--target', TARGET, '--start', String(2 ** 48)], /--start must be below 2\^48/],
    [['search', '--header', HEADER, '--target', TARGET, '--start', '-1'], /--start needs a whole number/],
    [['bench', '--seconds', 'soon'], /--seconds needs a number above 0/],
    [['bench', '--backend', 'opencl', '--work-size', '1000'], /OpenCL work size must be a positive multiple of 256/],
    [['selftest', '--backend', 'cuda', '--work-size', '256'], /CUDA work size must be a positive multiple of 512/],
    [['bench', '--work-size', '0'], /--work-size needs a whole number above 0/],
    [['selftest', '--backend', 'opencl', '--device', 'opencl:7'], /no device opencl:7/],
    [['devices', '--backend', 'metal'], /--backend is cuda, opencl or auto/],
    [['devices', '--colour'], /unknown option --colour/],
    [['search', '--header', HEADER, '--target', TARGET, '--slots', '100'], /--slots needs a count from 1 to 64 .*"100"/],
    [['bench', '--slots', '65'], /--slots needs a count from 1 to 64 .*"65"/],
    [['bench', '--slots', '0'], /--slots needs a count from 1 to 64 .*"0"/],
    [['bench', '--slots', '1.5'], /--slots needs a count from 1 to 64 .*"1.5"/],
    [['mine'], /unknown command "mine"/],
  ];
  for (const [args, message] of cases) {
    const r = cli(args);
    assert.strictEqual(r.status, 2, `${args.join(' ')}: ${r.stderr}`);
    assert.match(r.stderr, message, args.join(' '));
  }
  for (const command of ['devices', 'selftest', 'bench', 'search']) {
    for (const flag of ['--help', '-h']) {
      const help = cli([command, flag]);
      assert.strictEqual(help.status, 0);
      assert.match(help.stdout, new RegExp(`^Usage: noncesieve ${command}`));
      assert.match(help.stdout, /Exit status: 0 .*; 1 no winner[^]*2 bad usage[^]*3 no usable device[^]*4 a device/);
    }
  }
  // Every option with a value says its default.
  const defaults = [['search', /--start N +first nonce \(default 0/], ['search', /--slots N .*\(default 2\)/],
    ['bench', /--seconds N .*\(default 10/], ['selftest', /--work-size N .*\(default 65536/],
    ['search', /--max-nonces N .*\(default: no limit/], ['bench', /--work-size N .*\(default: the sweep's choice/]];
  for (const [command, line] of defaults) assert.match(cli([command, '--help']).stdout, line);
  assert.match(cli(['-h']).stdout, /--backend cuda\|opencl\|auto +default auto/);
  const version = cli(['--version']);
  assert.deepStrictEqual([version.status, version.stdout], [0, `${require('../../package.json').version}\n`]);
});

test('bench --sweep chooses a work size that search and bench then use', async (t) => {
  const cases = [{ backend: 'opencl', step: 256 }, { backend: 'cuda', step: 512, env: EMU_ENV }];
  for (const c of cases) {
    await t.test(c.backend, { skip: c.env && noEmu }, () => {
      const cache = tempDir('sweep-');
      const env = { ...c.env, NONCESIEVE_CACHE_DIR: cache };
      const r = cli(['bench', '--sweep', '--backend', c.backend, '--seconds', '0.2', '--json'], env);
      assert.strictEqual(r.status, 0, r.stderr);
      const { rows, choices: all, kernels } = JSON.parse(r.stdout);
      // On CUDA each of the two kernels is swept, and the faster one kept.
      const kernel = c.backend === 'cuda' ? kernels[0].kernel : 'source';
      if (c.backend === 'cuda') {
        assert.deepStrictEqual(all.map((x) => [x.kernel, x.slots]),
          [['default', 1], ['default', 2], ['default', 4], ['balanced', 1], ['balanced', 2], ['balanced', 4]]);
        const best = (k) => Math.max(...all.filter((x) => x.kernel === k).map((x) => x.noncesPerSecond));
        assert.strictEqual(kernel, best('balanced') > best('default') ? 'balanced' : 'default');
      } else {
        assert.deepStrictEqual(kernels, []);
      }
      const choices = all.filter((x) => c.backend === 'opencl' || x.kernel === kernel);
      assert.deepStrictEqual(choices.map((x) => x.slots), [1, 2, 4]);
      for (const choice of choices) {
        const mine = rows.filter((row) => row.slots === choice.slots && (c.backend === 'opencl' || row.kernel === kernel));
        assert.ok(mine.length >= 2, JSON.stringify(mine));
        for (const row of mine) {
          assert.strictEqual(row.work % c.step, 0);
          assert.strictEqual(row.noncesPerScan, row.work);
        }
        assert.strictEqual(choice.work, pickWorkSize(mine).work);
      }
      // search and bench without --work-size take the choice for their slot count.
      const two = choices.find((x) => x.slots === 2).work;
      const found = cli(['search', '--header', HEADER, '--target', 'ff'.repeat(32), '--backend', c.backend, '--json'], env);
      assert.strictEqual(found.status, 0, found.stderr);
      assert.strictEqual(JSON.parse(found.stdout).devices[0].work, two);
      assert.strictEqual(JSON.parse(found.stdout).devices[0].kernel, kernel);
      const one = choices.find((x) => x.slots === 1).work;
      const bench = cli(['bench', '--backend', c.backend, '--slots', '1', '--seconds', '0.2', '--json'], env);
      assert.strictEqual(JSON.parse(bench.stdout).devices[0].work, one);
    });
  }
  // Without a choice, the first search makes one with a short sweep and keeps it.
  const cache = tempDir('sweep-');
  const first = cli(['search', '--header', HEADER, '--target', 'ff'.repeat(32), '--backend', 'opencl', '--json'],
    { NONCESIEVE_CACHE_DIR: cache });
  assert.strictEqual(first.status, 0, first.stderr);
  assert.match(first.stderr, /Choosing a work size for opencl:0/);
  const kept = JSON.parse(fs.readFileSync(path.join(cache, 'work-sizes.json'), 'utf8'));
  const [entry] = Object.values(kept);
  assert.strictEqual(JSON.parse(first.stdout).devices[0].work, entry[2].work);
});

test('on the emulated CUDA platform: devices, selftest and search', { skip: noEmu }, () => {
  const list = cli(['devices', '--backend', 'cuda', '--json'], EMU_ENV);
  assert.strictEqual(list.status, 0, list.stderr);
  assert.deepStrictEqual(JSON.parse(list.stdout).map((d) => [d.device, d.batch, d.gran, d.key, d.name, d.memory]),
    [['cuda:0', 13107, 1, 'Emulated_GPU_', 'Emulated GPU', 8 * GiB]]);
  const check = cli(['selftest', '--backend', 'cuda'], EMU_ENV);
  assert.strictEqual(check.status, 0, check.stderr);
  assert.match(check.stdout, /^cuda:0 +pass/);
  const { header, target } = job(41, 3000);
  const found = cli(['search', '--header', header.toString('hex'), '--target', target.toString('hex'),
    '--work-size', '65536'], EMU_ENV);
  assert.strictEqual(found.status, 0, found.stderr);
  assert.ok(pow.verifyNonce(header, target, Number(/Winner: (\d+) /.exec(found.stdout)[1])));
  // A device failure ends the device process: exit status 4, with the module's message.
  const failed = cli(['search', '--header', HEADER, '--target', TARGET, '--work-size', '512'],
    { ...EMU_ENV, NVSIEVE_EMU_FAIL: 'cuMemcpyDtoHAsync' });
  assert.strictEqual(failed.status, 4, failed.stderr);
  assert.match(failed.stderr, /Cuda error in func 'cuda_scan_nonces'[^]*the device process ended with status 1/);
});

test('a GPU the build cannot run: listed as unsupported, skipped, refused when named', { skip: noEmu }, () => {
  const list = cli(['devices'], WITH_OLD_CARD);
  assert.strictEqual(list.status, 0, list.stderr);
  assert.match(list.stdout, /^cuda:0 .*\n +CUDA: compute capability 8\.6; runs SASS sm_86; driver for CUDA 13\.0\n/m);
  assert.match(list.stdout, /^cuda:1 +0 +0 +\? +Old Card \(Old_Card_\)\n +CUDA: compute capability 3\.0; runs nothing; driver for CUDA 13\.0\n +unsupported: Old Card \(compute capability 3\.0\) on a driver for CUDA 13\.0 runs none of nvsieve's code; nvsieve needs a GPU of compute capability 3\.5 or newer\n/m);
  assert.match(list.stdout, /^cuda:2 .*Pascal Card.*\n +CUDA: compute capability 6\.1; runs PTX, compiled by the driver; driver for CUDA 13\.0\n/m);
  const json = JSON.parse(cli(['devices', '--json'], WITH_OLD_CARD).stdout);
  assert.deepStrictEqual(json.map((d) => [d.device, Boolean(d.unsupported), d.compute, d.runs]),
    [['cuda:0', false, '8.6', 'SASS sm_86'], ['cuda:1', true, '3.0', undefined],
      ['cuda:2', false, '6.1', 'PTX, compiled by the driver']]);
  for (const command of [['selftest'], ['bench', '--seconds', '0.2', '--work-size', '512'],
    ['search', '--header', HEADER, '--target', 'ff'.repeat(32), '--work-size', '512']]) {
    const r = cli(command, WITH_OLD_CARD);
    assert.strictEqual(r.status, 0, `${command[0]}: ${r.stderr}`);
    assert.strictEqual(r.stderr.match(/^Skipping cuda:1 \(Old_Card_\): .*3\.5 or newer/gm).length, 1, r.stderr);
  }
  const named = cli(['selftest', '--device', 'cuda:1'], WITH_OLD_CARD);
  assert.strictEqual(named.status, 2);
  assert.match(named.stderr, /cuda:1 \(Old_Card_\) cannot be used: .*runs none of nvsieve's code/);
  // Only old cards: auto selection goes on to OpenCL.
  const onlyOld = { ...EMU_ENV, NVSIEVE_EMU_DEVICES: JSON.stringify([{ name: 'Old Card', major: 3, minor: 0 }]) };
  const fallback = cli(['selftest'], onlyOld);
  assert.strictEqual(fallback.status, 0, fallback.stderr);
  assert.match(fallback.stdout, /^opencl:0 +pass/m);
});

test('core_selftest compares what it computes with the known values', () => {
  const r = spawnSync(path.join(ROOT, 'build', 'Release', 'core_selftest'), { encoding: 'utf8' });
  assert.strictEqual(r.status, 0, r.stdout);
  assert.strictEqual(r.stdout.match(/^ok {4}/gm).length, 9, r.stdout);
  assert.match(r.stdout, /core self-test passed\n$/);
});

// A stand-in for nvsieve with planted faults (FAKE_FAULT): the command's
// self-test must fail on each.
const FAKE_NVSIEVE = path.join(__dirname, 'fixtures', 'fake-nvsieve.js');

test('selftest fails on a device that misses, invents or misplaces a winner', () => {
  const fake = FAKE_NVSIEVE;
  const run = (fault) => cli(['selftest', '--backend', 'cuda', '--work-size', '2048', '--json'],
    { NONCESIEVE_NVSIEVE_ADDON: fake, FAKE_FAULT: fault });
  const sound = run('');
  assert.strictEqual(sound.status, 0, sound.stdout + sound.stderr);
  assert.strictEqual(JSON.parse(sound.stdout).passed, true);
  const cases = [
    ['never', 'a range with one winner', /^expected \d+, saw none$/],
    ['tie', 'a hash equal to the target', /^expected none, saw \d+, which does not win$/],
    ['outside', 'a range with one winner', /^reported \d+, outside the range scanned$/],
    ['high-word', 'a range with one winner', /^expected \d+, saw/],
    ['module-test', 'the module\'s self-test', /^its self-test expected none, saw 100, which does not win$/],
  ];
  for (const [fault, what, problem] of cases) {
    const r = run(fault);
    assert.strictEqual(r.status, 1, `${fault}: ${r.stderr}`);
    const { passed, devices: [d] } = JSON.parse(r.stdout);
    assert.strictEqual(passed, false, fault);
    const failed = d.checks.find((c) => c.problem);
    assert.strictEqual(failed.what, what, fault);
    assert.match(failed.problem, problem, fault);
  }
  // The plain report names the device, the range, and what was expected and seen.
  const plain = cli(['selftest', '--backend', 'cuda', '--work-size', '2048'],
    { NONCESIEVE_NVSIEVE_ADDON: fake, FAKE_FAULT: 'never' });
  assert.strictEqual(plain.status, 1);
  assert.match(plain.stdout, /^cuda:0 +FAIL .*Fake_GPU_\n +a range with one winner \[\d+, \d+\): expected \d+, saw none\n/);
});

// The threads of the device process while it searches: libuv starts its whole
// pool with the first scan.
function workerThreads(slots) {
  const { spawn } = require('child_process');
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [CLI, 'search', '--header', HEADER, '--target', '00'.repeat(32),
      '--slots', String(slots), '--work-size', '65536', '--max-nonces', String(2 ** 40), '--backend', 'opencl'],
    { cwd: ROOT, env: { ...process.env, NONCESIEVE_CACHE_DIR: CACHE, UV_THREADPOOL_SIZE: undefined } });
    child.stdout.once('data', () => setTimeout(() => {
      const worker = spawnSync('pgrep', ['-P', String(child.pid)], { encoding: 'utf8' }).stdout.trim();
      const count = fs.readdirSync(`/proc/${worker}/task`).length;
      process.kill(Number(worker));
      child.on('close', () => resolve(count));
    }, 500));
    child.on('error', reject);
  });
}

test('the device process gets a pool thread per lane, and one more', { skip: process.platform !== 'linux' }, async () => {
  // One slot fits the default pool of 4; eight and sixteen need 9 and 17.
  const [one, eight, sixteen] = [await workerThreads(1), await workerThreads(8), await workerThreads(16)];
  assert.deepStrictEqual([eight - one, sixteen - one], [5, 13]);
});

test('search that saw wrong nonces and no winner says the device failed', () => {
  const fake = FAKE_NVSIEVE;
  const env = { NONCESIEVE_NVSIEVE_ADDON: fake, FAKE_FAULT: 'bogus' };
  const args = ['search', '--header', HEADER, '--target', '00'.repeat(32), '--backend', 'cuda',
    '--work-size', '512', '--max-nonces', '2048', '--slots', '1'];
  const r = cli(args, env);
  assert.strictEqual(r.status, 4, r.stdout + r.stderr);
  assert.match(r.stderr, /^cuda:0 reported 0 for \[0, 512\), which is not a winner of that range$/m);
  assert.match(r.stdout, /4 scans reported a nonce that is not a winner of its range/);
  assert.strictEqual(JSON.parse(cli([...args, '--json'], env).stdout).rejected, 4);
  // A sound device on the same job: no winner, exit status 1.
  assert.strictEqual(cli(args, { ...env, FAKE_FAULT: '' }).status, 1);
});
