'use strict';
// What the rig reports beside the rate: NVIDIA figures from NVML (here an
// emulated libnvidia-ml.so.1 built from test/nvml_emu), AMD figures from the
// amdgpu driver's hwmon files (here a fake sysfs tree), and null, with the
// reason, where they cannot be had.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { ROOT, EMU, emuEnv, withEnv, runChild } = require('./helpers');
const { readHealth } = require('../../lib/health');
const { openRig } = require('../../lib/index');

const TEMP = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-health-'));
test.after(() => fs.rmSync(TEMP, { recursive: true, force: true }));
const NVML_DIR = path.join(TEMP, 'nvml');
fs.mkdirSync(NVML_DIR);
const built = spawnSync('cc', ['-shared', '-fPIC', '-O2', '-o', path.join(NVML_DIR, 'libnvidia-ml.so.1'),
  path.join(ROOT, 'test', 'nvml_emu', 'nvml_emu.c')], { encoding: 'utf8' });
const noNvml = built.status !== 0 && `the emulated NVML library did not build: ${built.stderr}`;

const NULLS = { temperature: null, power: null, fan: null, fanUnit: null, coreClock: null, memoryClock: null };
// Two GPUs: the second supports no fan and fails its power reading.
const TWO_GPUS = 'GPU-1111,61,187654,45,1980,10501;GPU-2222,70,!,-,1410,1215';

// readHealth of CUDA device `ordinal` in a fresh process (NVML is opened once per process).
function nvidiaHealth(ordinal, env) {
  const r = runChild(path.join(ROOT, 'lib', 'health.js'),
    `console.log(JSON.stringify(m.readHealth({ backend: 'cuda', index: ${ordinal} })));`,
    { LD_LIBRARY_PATH: NVML_DIR, NVML_EMU_DEVICES: TWO_GPUS, CUDA_VISIBLE_DEVICES: undefined, ...env });
  assert.strictEqual(r.status, 0, r.stderr);
  return JSON.parse(r.stdout);
}

test('NVIDIA figures from NVML, matched to the CUDA device, null where NVML has none', { skip: noNvml }, () => {
  const first = { temperature: 61, power: 187.7, fan: 45, fanUnit: '%', coreClock: 1980, memoryClock: 10501, why: null };
  const second = { ...NULLS, temperature: 70, coreClock: 1410, memoryClock: 1215, why: 'power: Unknown Error' };
  const cases = [
    [0, {}, first],
    [1, {}, second],
    // CUDA_VISIBLE_DEVICES renumbers CUDA's devices: by index or by UUID.
    [0, { CUDA_VISIBLE_DEVICES: '1' }, second],
    [1, { CUDA_VISIBLE_DEVICES: '1,0' }, first],
    [0, { CUDA_VISIBLE_DEVICES: 'GPU-2222' }, second],
    [1, { CUDA_VISIBLE_DEVICES: '0' }, { ...NULLS, why: 'CUDA_VISIBLE_DEVICES names no device 1' }],
    [2, {}, { ...NULLS, why: 'NVML has no device 2: Invalid Argument' }],
    [0, { NVML_EMU_INIT: 'fail' }, { ...NULLS, why: 'nvmlInit: Driver Not Loaded' }],
  ];
  for (const [ordinal, env, want] of cases) {
    assert.deepStrictEqual(nvidiaHealth(ordinal, env), want, `${ordinal} ${JSON.stringify(env)}`);
  }
  const missing = nvidiaHealth(0, { LD_LIBRARY_PATH: path.join(TEMP, 'nowhere') });
  assert.deepStrictEqual({ ...missing, why: null }, { ...NULLS, why: null });
  assert.match(missing.why, /^NVML \(libnvidia-ml\.so\.1, installed with the NVIDIA driver\) cannot be opened: /);
});

test('a rig on the emulated CUDA platform reports NVML\'s figures', { skip: noNvml || (!fs.existsSync(EMU) && 'no emulated CUDA') }, async () => {
  const env = { ...emuEnv(), LD_LIBRARY_PATH: NVML_DIR, NVML_EMU_DEVICES: TWO_GPUS, NONCESIEVE_CACHE_DIR: TEMP };
  const rig = await withEnv(env, () => openRig({ backend: 'cuda', workSize: 512 }));
  try {
    const [health] = await rig.health();
    assert.deepStrictEqual(health, { device: 'cuda:0', temperature: 61, power: 187.7, fan: 45, fanUnit: '%',
      coreClock: 1980, memoryClock: 10501, why: null });
  } finally {
    await rig.close();
  }
});

// A sysfs tree with two amdgpu cards, card0 at PCI 0000:03:00.0 and card1 at
// 0000:01:00.0 (so card1 is the first AMD GPU), and an NVIDIA card between.
function fakeSysfs(files) {
  const root = fs.mkdtempSync(path.join(TEMP, 'sys-'));
  const cards = { card0: ['0000:03:00.0', '0x1002'], card1: ['0000:01:00.0', '0x1002'], card2: ['0000:02:00.0', '0x10de'] };
  for (const [card, [pci, vendor]] of Object.entries(cards)) {
    const dev = path.join(root, 'devices', 'pci0000:00', pci);
    fs.mkdirSync(dev, { recursive: true });
    fs.writeFileSync(path.join(dev, 'vendor'), `${vendor}\n`);
    fs.mkdirSync(path.join(root, 'class', 'drm', card), { recursive: true });
    fs.symlinkSync(dev, path.join(root, 'class', 'drm', card, 'device'));
    for (const [name, content] of Object.entries(files[card] || {})) {
      const file = path.join(dev, name);
      fs.mkdirSync(path.dirname(file), { recursive: true });
      if (content === null) fs.mkdirSync(file); // a folder where a file should be: unreadable
      else fs.writeFileSync(file, content);
    }
  }
  return root;
}

test('AMD figures from the amdgpu hwmon files of the card at the device\'s place in PCI order', () => {
  const full = {
    'hwmon/hwmon3/temp1_input': '64000\n', 'hwmon/hwmon3/power1_average': '150520000\n',
    'hwmon/hwmon3/fan1_input': '1210\n', 'hwmon/hwmon3/freq1_input': '1500000000\n',
    'hwmon/hwmon3/freq2_input': '1000000000\n',
  };
  const cases = [
    ['every figure', { card1: full },
      { temperature: 64, power: 150.5, fan: 1210, fanUnit: 'rpm', coreClock: 1500, memoryClock: 1000, why: null }],
    // Older kernels: power1_input, pwm1 without a tachometer, clocks from pp_dpm_*.
    ['older files', { card1: { 'hwmon/hwmon0/power1_input': '80000000', 'hwmon/hwmon0/pwm1': '128',
      pp_dpm_sclk: '0: 300Mhz\n1: 1340Mhz *\n', pp_dpm_mclk: '0: 500Mhz *\n1: 1750Mhz\n' } },
    { ...NULLS, power: 80, fan: 50, fanUnit: '%', coreClock: 1340, memoryClock: 500, why: null }],
    ['missing files are null', { card1: { 'hwmon/hwmon0/temp1_input': '51000' } }, { ...NULLS, temperature: 51, why: null }],
    ['unreadable files are null, and say why', { card1: { 'hwmon/hwmon0/temp1_input': null,
      'hwmon/hwmon0/power1_average': 'n/a' } },
    { ...NULLS, why: 'temp1_input: EISDIR; power1_average: unreadable value "n/a"' }],
    ['no hwmon folder', { card1: {} }, { ...NULLS, why: 'the card has no hwmon folder' }],
  ];
  for (const [what, files, want] of cases) {
    const sysRoot = fakeSysfs(files);
    assert.deepStrictEqual(readHealth({ backend: 'opencl', index: 0, amd: true }, { sysRoot }), want, what);
  }
  // The second AMD GPU is card0; the NVIDIA card between them is not counted.
  const sysRoot = fakeSysfs({ card0: { 'hwmon/hwmon1/temp1_input': '77000' }, card2: full });
  assert.strictEqual(readHealth({ backend: 'opencl', index: 1, amd: true }, { sysRoot }).temperature, 77);
  assert.match(readHealth({ backend: 'opencl', index: 2, amd: true }, { sysRoot }).why, /no amdgpu card under/);
  // Not an AMD platform's device (PoCL on a CPU): nothing to read, nothing wrong.
  assert.deepStrictEqual(readHealth({ backend: 'opencl', index: 0, amd: false }, { sysRoot }), { ...NULLS, why: null });
});

test('devices and bench print the figures, and bench --json the nonces per joule', { skip: noNvml || (!fs.existsSync(EMU) && 'no emulated CUDA') }, () => {
  const env = { ...process.env, ...emuEnv(), LD_LIBRARY_PATH: NVML_DIR, NVML_EMU_DEVICES: TWO_GPUS, NONCESIEVE_CACHE_DIR: TEMP };
  delete env.NVSIEVE_EMU_FAIL;
  const cli = (args) => spawnSync(process.execPath, [path.join(ROOT, 'lib', 'cli.js'), ...args, '--backend', 'cuda'],
    { env, encoding: 'utf8', timeout: 120000 });
  const list = cli(['devices']);
  assert.strictEqual(list.status, 0, list.stderr);
  assert.match(list.stdout, /^cuda:0 .*\n {11}CUDA: .*\n {11}61 °C, 187\.7 W, fan 45 %, core 1980 MHz, memory 10501 MHz\n$/m);
  assert.strictEqual(JSON.parse(cli(['devices', '--json']).stdout)[0].health.power, 187.7);
  const bench = cli(['bench', '--seconds', '0.5', '--work-size', '512', '--json']);
  assert.strictEqual(bench.status, 0, bench.stderr);
  const [d] = JSON.parse(bench.stdout).devices;
  assert.strictEqual(d.health.temperature, 61);
  assert.ok(d.noncesPerSecond > 0 && Math.abs(d.noncesPerJoule - d.noncesPerSecond / 187.7) < 1e-6 * d.noncesPerJoule);
  const plain = cli(['bench', '--seconds', '0.5', '--work-size', '512']);
  assert.match(plain.stdout, /^ {11}61 °C, 187\.7 W, .*, [\d.]+ M nonces\/J$/m);
});
