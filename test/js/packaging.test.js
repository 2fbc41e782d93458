'use strict';
// How the package meets a user's machine: ES-module entries, the addon
// loader's messages, why nvsieve cannot run, and the source build's probes
// that leave one addon out with one line saying what to install.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { ROOT, EMU, RELEASE, NO_DRIVER, runChild } = require('./helpers');
const { loadFailureHint } = require('../../lib/load-addon');

const NV = path.join(ROOT, 'lib', 'nvsieve.js');

function node(args, env = {}, cwd = ROOT) {
  return spawnSync(process.execPath, args, { cwd, env: { ...process.env, ...env }, encoding: 'utf8' });
}

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-pkg-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

test('ES-module entries export every name of the CommonJS ones', () => {
  const code = `
    import { createRequire } from 'node:module';
    const require = createRequire(import.meta.url);
    const out = {};
    for (const entry of ['noncesieve', 'noncesieve/clsieve', 'noncesieve/nvsieve']) {
      const esm = await import(entry);
      const cjs = require(entry);
      out[entry] = { named: Object.keys(esm).filter((k) => k !== 'default').sort(),
        cjs: Object.keys(cjs).sort(), same: esm.default === cjs };
    }
    const { GpuContextWrapper } = await import('noncesieve/clsieve');
    const { verifyNonce, NOT_FOUND, SELFTEST } = await import('noncesieve');
    const header = Buffer.from(SELFTEST.header, 'hex');
    out.works = typeof new GpuContextWrapper().get_total_devices() === 'number' &&
      NOT_FOUND === 9007199254740991 && verifyNonce(header, Buffer.alloc(32, 0xff), 1);
    console.log(JSON.stringify(out));`;
  const r = node(['--input-type=module', '-e', code]);
  assert.strictEqual(r.status, 0, r.stderr);
  const out = JSON.parse(r.stdout);
  for (const entry of ['noncesieve', 'noncesieve/clsieve', 'noncesieve/nvsieve']) {
    assert.ok(out[entry].cjs.length > 0);
    // Every CommonJS name, and nothing else, is a named ES-module export.
    assert.deepStrictEqual(out[entry].named, out[entry].cjs, entry);
    assert.ok(out[entry].same, entry);
  }
  assert.strictEqual(out.works, true);
});

test('an addon that is not there: importing works, using it says what to install', (t) => {
  // A copy of lib/ with no build beside it and a note left by a source build.
  const dir = tempDir(t);
  fs.cpSync(path.join(ROOT, 'lib'), path.join(dir, 'lib'), { recursive: true });
  fs.copyFileSync(path.join(ROOT, 'package.json'), path.join(dir, 'package.json'));
  fs.symlinkSync(path.join(ROOT, 'node_modules'), path.join(dir, 'node_modules'));
  fs.mkdirSync(path.join(dir, 'build'));
  const note = 'noncesieve: skipping clsieve (OpenCL): CL/opencl.hpp: No such file or directory; install X';
  fs.writeFileSync(path.join(dir, 'build', 'clsieve.skipped'), `${note}\n`);
  const code = `
    import { GpuContextWrapper as Cl } from './lib/clsieve.mjs';
    import { GpuContextWrapper as Nv, isAvailable, unavailableReason } from './lib/nvsieve.mjs';
    const tryNew = (C) => { try { new C(); return 'constructed'; } catch (err) { return err.message; } };
    console.log(JSON.stringify({ cl: tryNew(Cl), nv: tryNew(Nv), available: isAvailable(),
      reason: unavailableReason() }));`;
  const r = node(['--input-type=module', '-e', code], { NONCESIEVE_NVSIEVE_ADDON: '' }, dir);
  assert.strictEqual(r.status, 0, r.stderr);
  const out = JSON.parse(r.stdout);
  assert.match(out.cl, /^noncesieve: clsieve is not installed: the package has no prebuilt clsieve for linux-x64, Node [\d.]+ \(ABI \d+\); the source build skipped it: skipping clsieve \(OpenCL\): CL\/opencl\.hpp: No such file or directory; install X\. To build it from source install .*ocl-icd-opencl-dev opencl-clhpp-headers\), then run `npm rebuild noncesieve`\.$/);
  assert.match(out.nv, /^noncesieve: nvsieve is not installed: .* the CUDA toolkit .*then run `npm rebuild noncesieve`\.$/);
  assert.strictEqual(out.available, false);
  assert.match(out.reason, /^nvsieve is not installed/);
  for (const message of [out.cl, out.nv]) assert.doesNotMatch(message, /scripts\//);
});

test('a local build is loaded before the prebuilt file, and the prebuilt file before an error', (t) => {
  const dir = tempDir(t);
  fs.cpSync(path.join(ROOT, 'lib'), path.join(dir, 'lib'), { recursive: true });
  fs.symlinkSync(path.join(ROOT, 'node_modules'), path.join(dir, 'node_modules'));
  const local = path.join(dir, 'build', 'Release', 'clsieve.node');
  const prebuilt = path.join(dir, 'prebuilt', 'clsieve', 'prebuilds', `${process.platform}-${process.arch}`,
    `clsieve.abi${process.versions.modules}.glibc.node`);
  const other = path.join(path.dirname(prebuilt), 'clsieve.abi1.glibc.node');
  for (const f of [local, prebuilt, other]) {
    fs.mkdirSync(path.dirname(f), { recursive: true });
    fs.copyFileSync(path.join(ROOT, 'build', 'Release', 'clsieve.node'), f);
  }
  const loaded = () => {
    const r = node(['-e', `try { require('./lib/clsieve').GpuContextWrapper; } catch (err) { console.log(err.message); }
      console.log(Object.keys(require.cache).filter((f) => f.endsWith('.node')).join(','));`], {}, dir);
    return r.stdout.trim();
  };
  assert.strictEqual(loaded(), fs.realpathSync(local));
  fs.rmSync(local);
  assert.strictEqual(loaded(), fs.realpathSync(prebuilt));
  // Only a file of another ABI: none fits.
  fs.rmSync(prebuilt);
  assert.match(loaded(), /^noncesieve: clsieve is not installed: the package has no prebuilt clsieve for /);
});

test('a binary that does not load says why and what to do', () => {
  const cases = [
    ["/lib/x86_64-linux-gnu/libc.so.6: version `GLIBC_2.28' not found (required by nvsieve.abi115.glibc.node)",
      /needs glibc 2\.28 or newer \(the prebuilt modules run on glibc 2\.28 and later\) and this system has glibc [\d.]+; build/],
    ["/lib/x86_64-linux-gnu/libc.so.6: version `GLIBC_2.34' not found (required by nvsieve.abi115.glibc.node)",
      /needs glibc 2\.34 or newer \(the prebuilt modules run on glibc 2\.28 and later\) and this system has glibc [\d.]+; build it from source instead: .*CUDA toolkit.*`npm rebuild noncesieve --build-from-source`/],
    ['libOpenCL.so.1: cannot open shared object file: No such file or directory',
      /OpenCL ICD loader is not installed \(Debian\/Ubuntu: apt-get install ocl-icd-libopencl1/],
    ["The module 'clsieve.node' was compiled against a different Node.js version using NODE_MODULE_VERSION 127. This version of Node.js requires NODE_MODULE_VERSION 115.",
      /another Node\.js or system; run `npm rebuild noncesieve`/],
  ];
  for (const [message, expected] of cases) assert.match(loadFailureHint('nvsieve', message), expected, message);
});

test('why nvsieve cannot run, from the emulated driver', { skip: !fs.existsSync(EMU) && 'no emulated CUDA driver' }, (t) => {
  const GiB = 1073741824;
  const fakeDriver = tempDir(t);
  fs.writeFileSync(path.join(fakeDriver, 'libcuda.so.1'), '');
  const devices = (...list) => JSON.stringify(list.map(([name, major, minor]) =>
    ({ name, totalGlobalMem: 8 * GiB, major, minor })));
  // A library that is not the driver: it lacks every cu* entry point.
  const notTheDriver = ['/lib/x86_64-linux-gnu/libz.so.1', '/usr/lib/x86_64-linux-gnu/libz.so.1'].find(fs.existsSync);
  const cases = [
    [NO_DRIVER, /^no NVIDIA driver was found \(libcuda\.so\.1 is not installed or not on the library path\): install the NVIDIA driver \(any driver from R375.*R470 is the last for Kepler.*R580.*\) \(.*libcuda\.so\.1: cannot open shared object file/],
    [{ NVSIEVE_LIBCUDA: path.join(fakeDriver, 'libcuda.so.1') }, /^no NVIDIA driver was found .*file too short/],
    [{ NVSIEVE_LIBCUDA: notTheDriver }, /^the NVIDIA driver cannot be used: \S+libz\.so\.1 has no cuInit: the NVIDIA driver is too old or broken/],
    [{ NVSIEVE_EMU_FAIL: 'cuInit=3' }, /^the NVIDIA driver \(for CUDA 13\.0\) is installed but did not start .*\(CUDA said: initialization error\)$/],
    [{ NVSIEVE_EMU_FAIL: 'cuInit=100' }, /^the NVIDIA driver found no CUDA device .*CUDA said: no CUDA-capable device is detected\)$/],
    [{ NVSIEVE_EMU_DEVICES: '[]' }, /^the NVIDIA driver found no CUDA device/],
    [{ NVSIEVE_EMU_DEVICES: devices(['Old One', 3, 0], ['Older', 2, 1]), NVSIEVE_EMU_DRIVER: '470' },
      /^no GPU can run nvsieve \(driver for CUDA 11\.4\): GPU 0: Old One \(compute capability 3\.0\) on a driver for CUDA 11\.4 runs none of nvsieve's code; nvsieve needs a GPU of compute capability 3\.5 or newer; GPU 1: Older \(compute capability 2\.1\)/],
    [{ NVSIEVE_EMU_DEVICES: devices(['Pascal P', 6, 1]), NVSIEVE_EMU_FAIL: 'cuModuleLoadData:1,cuModuleLoadData:2=218', NVSIEVE_EMU_DRIVER: '535' },
      /^no GPU can run nvsieve \(driver for CUDA 12\.2\): GPU 0: Pascal P \(compute capability 6\.1\) on a driver for CUDA 12\.2 runs none of nvsieve's code: the fatbin .*: device kernel image is invalid; the portable PTX \(ISA 4\.3, sm_35\): a PTX JIT compilation failed; install an NVIDIA driver R580 \(the last branch for Maxwell, Pascal and Volta GPUs\)$/],
    // A driver older than CUDA 8 knows neither PTX.
    [{ NVSIEVE_EMU_DEVICES: devices(['Maxwell M', 5, 2]), NVSIEVE_EMU_DRIVER: '352' },
      /^no GPU can run nvsieve \(driver for CUDA 7\.5\): GPU 0: Maxwell M \(compute capability 5\.2\) on a driver for CUDA 7\.5 runs none of nvsieve's code: the fatbin .*: the provided PTX was compiled with an unsupported toolchain; the portable PTX \(ISA 4\.3, sm_35\): the provided PTX was compiled with an unsupported toolchain; install an NVIDIA driver R580 \(the last branch for Maxwell, Pascal and Volta GPUs\)$/],
    [{ NVSIEVE_EMU_DEVICES: devices(['Old One', 3, 0], ['Kepler K', 3, 5]), NVSIEVE_EMU_DRIVER: '470' }, null],
    [{ NVSIEVE_EMU_DEVICES: devices(['Pascal P', 6, 1], ['Volta V', 7, 0]), NVSIEVE_EMU_DRIVER: '535' }, null],
    [{ NVSIEVE_EMU_DEVICES: devices(['Turing T', 7, 5]) }, null],
  ];
  for (const [env, expected] of cases) {
    const r = runChild(NV, 'console.log(JSON.stringify([m.isAvailable(), m.unavailableReason(), m.deviceKeys()]))',
      { NVSIEVE_EMU_DEVICES: devices(['Emulated GPU', 8, 6]), ...env, NONCESIEVE_NVSIEVE_ADDON: EMU });
    assert.strictEqual(r.status, 0, r.stderr);
    const [available, reason, keys] = JSON.parse(r.stdout);
    // The keys of every device the driver reported, runnable or not; none
    // without a driver that works.
    const names = JSON.parse(env.NVSIEVE_EMU_DEVICES || devices(['Emulated GPU', 8, 6]))
      .map((d) => `${d.name.replace(/ /g, '_')}_`);
    const reported = reason === null || reason.startsWith('no GPU can run nvsieve');
    assert.deepStrictEqual(keys, reported ? names : [], JSON.stringify(env));
    if (expected === null) {
      assert.deepStrictEqual([available, reason], [true, null], JSON.stringify(env));
    } else {
      assert.strictEqual(available, false);
      assert.match(reason, expected, JSON.stringify(env));
    }
  }
  // The answer comes from this process: no child is started for it.
  const inProcess = runChild(NV, `const cp = require('child_process');
    for (const f of ['spawn', 'spawnSync', 'execFileSync', 'fork']) cp[f] = () => { throw new Error(f); };
    console.log(m.isAvailable())`, { NONCESIEVE_NVSIEVE_ADDON: EMU });
  assert.strictEqual(inProcess.stdout, 'true\n', inProcess.stderr);
  // A file that is not a loadable module.
  const broken = path.join(fakeDriver, 'broken.node');
  fs.writeFileSync(broken, 'not an ELF file\n'.repeat(100));
  const r = runChild(NV, 'console.log(m.unavailableReason())', { NONCESIEVE_NVSIEVE_ADDON: broken });
  assert.match(r.stdout, /^nvsieve cannot be loaded: .*broken\.node: invalid ELF header; /);
});

test('nvsieve links no CUDA library: the driver is opened at run time', { skip: !fs.existsSync(RELEASE) && 'nvsieve is not built' }, () => {
  const needed = spawnSync('readelf', ['-d', RELEASE], { encoding: 'utf8' }).stdout
    .split('\n').filter((l) => /NEEDED/.test(l)).map((l) => /\[(.*)\]/.exec(l)[1]);
  assert.deepStrictEqual(needed.filter((n) => /cuda|nvidia/i.test(n)), []);
  // No CUDA symbol is left for the process to supply, and none is exported.
  const cuda = (flag) => spawnSync('nm', ['-D', flag, RELEASE], { encoding: 'utf8' }).stdout
    .split('\n').filter((l) => / (__)?cu(da)?[A-Z]/.test(l));
  assert.deepStrictEqual(cuda('--undefined-only'), []);
  assert.deepStrictEqual(cuda('--defined-only'), []);
});

test('noncesieve devices says per backend why it found nothing', () => {
  const r = node([path.join(ROOT, 'lib', 'cli.js'), 'devices'],
    { NONCESIEVE_NVSIEVE_ADDON: EMU, ...NO_DRIVER, CLSIEVE_DEVICE_TYPE: 'accelerator' });
  assert.strictEqual(r.status, 3, r.stderr);
  assert.match(r.stdout, /^No device found\.\nCUDA: no NVIDIA driver was found .*\nOpenCL: no OpenCL device was found: .*pocl-opencl-icd.*\n$/);
});

test('the toolkit is found behind a wrapper script, and CUDA_PATH names it first', (t) => {
  const dir = tempDir(t);
  const script = (file, body) => {
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, `#!/bin/sh\n${body}\n`, { mode: 0o755 });
  };
  // A complete toolkit whose nvcc tells its TOP in a dry run, as the real one does.
  const toolkit = path.join(dir, 'cuda-13.0');
  script(path.join(toolkit, 'bin', 'nvcc'), `[ "$1" = --dryrun ] && echo '#$ TOP=${toolkit}/bin/..' >&2; exit 0`);
  fs.mkdirSync(path.join(toolkit, 'include'));
  fs.writeFileSync(path.join(toolkit, 'include', 'cuda.h'), '');
  // /usr/local/bin/nvcc of some images: a script that execs the toolkit's nvcc.
  const wrapper = path.join(dir, 'wrapper');
  script(path.join(wrapper, 'nvcc'), `exec '${toolkit}/bin/nvcc' "$@"`);
  // An nvcc whose toolkit has no headers.
  const partial = path.join(dir, 'partial');
  script(path.join(partial, 'bin', 'nvcc'), 'exit 0');
  const cases = [
    { why: 'a wrapper on PATH', env: { PATH: `${wrapper}:${process.env.PATH}` } },
    { why: 'an incomplete toolkit earlier on PATH', env: { PATH: `${partial}/bin:${wrapper}:${process.env.PATH}` } },
    { why: 'CUDA_PATH before PATH', env: { CUDA_PATH: toolkit, PATH: `${partial}/bin:${process.env.PATH}` } },
  ];
  for (const { why, env } of cases) {
    const r = node(['-e', 'process.stdout.write(require("./scripts/find-cuda").cudaRoot() || "")'],
      { CUDA_PATH: '', CUDA_HOME: '', ...env });
    assert.strictEqual(r.stdout, toolkit, why);
  }
});

// Hides `dir` behind an empty folder for one command (needs a mount namespace).
function hidden(dir, command, env = {}, cwd = ROOT) {
  return spawnSync('unshare', ['-m', 'sh', '-c', `mount --bind "$EMPTY" "${dir}" && ${command}`],
    { cwd, env: { ...process.env, EMPTY, ...env }, encoding: 'utf8' });
}
const EMPTY = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-empty-'));
process.on('exit', () => fs.rmSync(EMPTY, { recursive: true, force: true }));
const canHide = hidden('/tmp', 'true').status === 0;

test('the source build leaves out an addon it cannot build, with one line', (t) => {
  const buildDir = tempDir(t);
  // The probes write their note into build/ of the tree they run in: run copies.
  for (const f of ['find-cuda.js', 'find-opencl.js', 'skip-note.js']) {
    fs.mkdirSync(path.join(buildDir, 'scripts'), { recursive: true });
    fs.copyFileSync(path.join(ROOT, 'scripts', f), path.join(buildDir, 'scripts', f));
  }
  const note = (name) => fs.readFileSync(path.join(buildDir, 'build', `${name}.skipped`), 'utf8');
  // An nvcc that cannot run its host compiler.
  const fake = path.join(buildDir, 'cuda');
  fs.mkdirSync(path.join(fake, 'bin'), { recursive: true });
  fs.mkdirSync(path.join(fake, 'include'));
  fs.writeFileSync(path.join(fake, 'include', 'cuda.h'), '');
  fs.writeFileSync(path.join(fake, 'bin', 'nvcc'), '#!/bin/sh\necho "error -- unsupported GNU version! gcc versions later than 11 are not supported!" >&2\nexit 1\n', { mode: 0o755 });
  let r = node(['scripts/find-cuda.js'],
    { PATH: `${path.join(fake, 'bin')}:${process.env.PATH}`, CUDA_PATH: '', CUDA_HOME: '' }, buildDir);
  assert.strictEqual(r.stdout, '');
  const line = /^noncesieve: skipping nvsieve \(CUDA\): .*cuda\/bin\/nvcc cannot compile a test kernel \(error -- unsupported GNU version! gcc versions later than 11 are not supported!\); install a host compiler this nvcc supports or set CUDA_PATH to another toolkit, then run `npm rebuild noncesieve` \(NONCESIEVE_NO_CUDA=1 leaves nvsieve out on purpose\); building clsieve only\n$/;
  assert.match(r.stderr, line);
  assert.match(note('nvsieve'), line);
  if (!canHide) {
    t.skip('no mount namespace here to hide the OpenCL headers and the CUDA toolkit');
    return;
  }
  r = hidden('/usr/include/CL', `"${process.execPath}" scripts/find-opencl.js`, {}, buildDir);
  assert.strictEqual(r.stdout, '');
  assert.match(r.stderr, /^noncesieve: skipping clsieve \(OpenCL\): .*CL\/opencl\.hpp: No such file or directory; install the Khronos OpenCL C\+\+ headers \(Debian\/Ubuntu: apt-get install opencl-clhpp-headers\), then run `npm rebuild noncesieve`; building nvsieve only\n$/);
  assert.strictEqual(note('clsieve'), r.stderr);
  r = hidden('/usr/local/cuda', `"${process.execPath}" scripts/find-cuda.js`,
    { PATH: process.env.PATH.split(':').filter((d) => !fs.existsSync(path.join(d, 'nvcc'))).join(':'), CUDA_PATH: '', CUDA_HOME: '' },
    buildDir);
  assert.strictEqual(r.stdout, '');
  assert.match(r.stderr, /^noncesieve: skipping nvsieve \(CUDA\): no nvcc was found on PATH, in \/usr\/local\/cuda, \$CUDA_PATH or \$CUDA_HOME; install the CUDA toolkit or set CUDA_PATH to it, then run `npm rebuild noncesieve`/);
  // A probe that succeeds clears an old note.
  r = node(['scripts/find-opencl.js'], {}, buildDir);
  assert.strictEqual(r.stdout, '1');
  assert.ok(!fs.existsSync(path.join(buildDir, 'build', 'clsieve.skipped')));
});
