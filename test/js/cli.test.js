'use strict';
// The noncesieve command on PoCL, and on the emulated CUDA platform when it
// has been built.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { ROOT, pow, job } = require('./helpers');

const CLI = path.join(ROOT, 'lib', 'cli.js');
const EMU = path.join(ROOT, 'build', 'Release', 'nvsieve_emu.node');

function cli(args, env = {}) {
  const r = spawnSync(process.execPath, [CLI, ...args], {
    cwd: ROOT, env: { ...process.env, ...env }, encoding: 'utf8', timeout: 120000,
  });
  return { status: r.status, stdout: r.stdout, stderr: r.stderr };
}

const HEADER = pow.SELFTEST.header;
const TARGET = pow.SELFTEST.target;

test('devices lists the OpenCL device with its batch size, granularity, memory, name and key', () => {
  const r = cli(['devices', '--backend', 'opencl']);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.match(r.stdout, /^device +batch +gran +memory +name \(key\)\nopencl:0 +\d+ +1 +\d+ GiB +(.+) \(\1-\d+gb-\d+-\d+\)\n$/);
  const json = JSON.parse(cli(['devices', '--backend', 'opencl', '--json']).stdout);
  assert.strictEqual(json.length, 1);
  assert.strictEqual(json[0].device, 'opencl:0');
  assert.ok(json[0].key.startsWith(json[0].name));
  // Nothing found: says so and what to install.
  const none = cli(['devices', '--backend', 'opencl'], { CLSIEVE_DEVICE_TYPE: 'accelerator' });
  assert.strictEqual(none.status, 1);
  assert.match(none.stdout, /No device found\.\n(.*\n)*OpenCL: .*pocl-opencl-icd/);
});

test('selftest checks each device on the host', () => {
  const r = cli(['selftest', '--backend', 'opencl']);
  assert.strictEqual(r.status, 0, r.stderr);
  assert.match(r.stdout, /^opencl:0 +pass +[\d.e+-]+ ms +\S/);
});

test('bench reports nonces per second, as JSON for machines', () => {
  const r = cli(['bench', '--backend', 'opencl', '--seconds', '1', '--json']);
  assert.strictEqual(r.status, 0, r.stderr);
  const result = JSON.parse(r.stdout);
  assert.strictEqual(result.devices[0].device, 'opencl:0');
  assert.ok(result.totalNoncesPerSecond > 1e5, `${result.totalNoncesPerSecond}`);
  const plain = cli(['bench', '--backend', 'opencl', '--seconds', '1', '--slots', '1']);
  assert.strictEqual(plain.status, 0, plain.stderr);
  assert.match(plain.stdout, /\ntotal +[\d.]+ M\/s\n$/);
});

test('search stops at a verified winner, or reports none within --max-nonces', () => {
  const { header, target } = job(40, 5000);
  const r = cli(['search', '--header', header.toString('hex'), '--target', target.toString('hex'),
    '--start', '1000', '--backend', 'opencl']);
  assert.strictEqual(r.status, 0, r.stderr);
  const nonce = Number(/Winner: (\d+) /.exec(r.stdout)[1]);
  assert.ok(nonce >= 1000 && pow.verifyNonce(header, target, nonce));

  const none = cli(['search', '--header', HEADER, '--target', '00'.repeat(32), '--max-nonces', '300000',
    '--backend', 'opencl']);
  assert.strictEqual(none.status, 1, none.stderr);
  assert.match(none.stdout, /No winner after/);
});

test('bad input: a clear message and exit status 2', () => {
  const cases = [
    [['search', '--header', HEADER.slice(2), '--target', TARGET], /--header must be 286 bytes/],
    [['search', '--header', HEADER, '--target', TARGET + '00'], /--target must be 32 bytes/],
    [['search', '--header', 'zz' + HEADER.slice(2), '--target', TARGET], /--header is not hex/],
    [['search', '--header', HEADER.slice(1), '--target', TARGET], /--header is not hex/],
    [['search', '--target', TARGET], /--header is required/],
    [['bench', '--seconds', 'soon'], /--seconds needs a whole number/],
    [['bench', '--work-size', '1000'], /--work-size must be a multiple of 256/],
    [['devices', '--backend', 'metal'], /--backend is cuda, opencl or auto/],
    [['devices', '--colour'], /unknown option --colour/],
    [['mine'], /unknown command "mine"/],
  ];
  for (const [args, message] of cases) {
    const r = cli(args);
    assert.strictEqual(r.status, 2, args.join(' '));
    assert.match(r.stderr, message, args.join(' '));
  }
  for (const command of ['devices', 'selftest', 'bench', 'search']) {
    const help = cli([command, '--help']);
    assert.strictEqual(help.status, 0);
    assert.match(help.stdout, new RegExp(`^Usage: noncesieve ${command}`));
  }
});

test('on the emulated CUDA platform: devices, selftest and search', { skip: !fs.existsSync(EMU) }, () => {
  const env = { NONCESIEVE_NVSIEVE_ADDON: EMU, NVSIEVE_EMU_DEVICES: undefined };
  const list = cli(['devices', '--backend', 'cuda', '--json'], env);
  assert.strictEqual(list.status, 0, list.stderr);
  assert.deepStrictEqual(JSON.parse(list.stdout).map((d) => [d.device, d.batch, d.gran, d.key, d.name, d.memory]),
    [['cuda:0', 13107, 1, 'Emulated_GPU_', 'Emulated GPU', '8.0 GiB']]);
  const check = cli(['selftest', '--backend', 'cuda'], env);
  assert.strictEqual(check.status, 0, check.stderr);
  assert.match(check.stdout, /^cuda:0 +pass/);
  const { header, target } = job(41, 3000);
  const found = cli(['search', '--header', header.toString('hex'), '--target', target.toString('hex'),
    '--work-size', '65536'], env);
  assert.strictEqual(found.status, 0, found.stderr);
  assert.ok(pow.verifyNonce(header, target, Number(/Winner: (\d+) /.exec(found.stdout)[1])));
});
