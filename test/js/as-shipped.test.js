'use strict';
// The package as a user gets it: `npm pack` with the prebuilt binaries
// (scripts/prebuild.js, which scripts/test.sh runs first), installed into a
// temporary folder on each Node line with a PATH of only node, npm and sh
// (and, where a mount namespace allows, with the CUDA toolkit and the OpenCL
// headers hidden), with and without install scripts. On PoCL: both addons
// load from the prebuilt files, a scan's winner verifies, nvsieve says it
// cannot run (no driver here), ES-module named imports work and the installed
// command's self-test passes. And the prebuilt file of this Node line is the
// stripped development build, byte for byte, so the module tests that run on
// build/Release test what ships.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync, execFileSync } = require('child_process');
const { ROOT, POCL_ENV, pow, EMU_DRIVER, EMU_DEVICES } = require('./helpers');
const { LINES, distribution, npmCli } = require('../../scripts/node-dists');
const { FLOOR, versionNeeds, aboveFloor } = require('../../scripts/symbol-floor');
const { debian11 } = require('../../scripts/debian11');

const ADDONS = ['clsieve', 'nvsieve', 'gpuhealth'];
const prebuilt = (addon, abi) => path.join(ROOT, 'prebuilt', addon, 'prebuilds',
  `${process.platform}-${process.arch}`, `${addon}.abi${abi}.glibc.node`);
const missing = LINES.flatMap((l) => ADDONS.map((a) => prebuilt(a, l.abi))).filter((f) => !fs.existsSync(f));
const SKIP = missing.length > 0 && `no prebuilt binaries (run npm run prebuild): ${missing[0]} is missing`;

test('the prebuilt binary of this Node line is the stripped source build', { skip: SKIP }, (t) => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-strip-'));
  t.after(() => fs.rmSync(work, { recursive: true, force: true }));
  for (const addon of ADDONS) {
    const local = path.join(ROOT, 'build', 'Release', `${addon}.node`);
    const stripped = path.join(work, `${addon}.node`);
    execFileSync('strip', ['--strip-all', '-o', stripped, local]);
    assert.ok(fs.readFileSync(stripped).equals(fs.readFileSync(prebuilt(addon, process.versions.modules))),
      `${addon}: the stripped build/Release file and the prebuilt one differ`);
  }
});

// What runs in the installed folder, on the line's own node.
const CHECK_CJS = `
const cl = require('noncesieve/clsieve');
const nv = require('noncesieve/nvsieve');
const { verifyNonce, SELFTEST, NOT_FOUND } = require('noncesieve');
// The rig's health reader loads gpuhealth, which says why it has no NVML here.
const health = require(require('path').join(require('path').dirname(require.resolve('noncesieve')), 'health.js'));
const header = Buffer.from(SELFTEST.header, 'hex');
const target = Buffer.alloc(32, 0xff);
target.writeBigUInt64LE(1n << 58n, 24); // about one nonce in 64 wins
const gpu = new cl.GpuContextWrapper();
gpu.init_devices([0], [1], [4096]);
gpu.set_block(header, target);
void nv.GpuContextWrapper; // loads the addon; constructing it would need a driver
gpu.scan_nonces((nonce) => {
  console.log(JSON.stringify({ nonce, verified: nonce !== NOT_FOUND && verifyNonce(header, target, nonce),
    nvml: health.readHealth({ backend: 'cuda', index: 0 }).why, loaded: Object.keys(require.cache)
      .filter((f) => f.endsWith('.node')), available: nv.isAvailable(), reason: nv.unavailableReason(),
    abi: process.versions.modules }));
}, header, target, 1000, 0, 0);`;

const CHECK_ESM = `
import { GpuContextWrapper } from 'noncesieve/clsieve';
import { GpuContextWrapper as Nv, isAvailable } from 'noncesieve/nvsieve';
import { verifyNonce, NOT_FOUND, HEADER_BYTES, SELFTEST, clsieve, openRig } from 'noncesieve';
console.log(JSON.stringify([typeof GpuContextWrapper, typeof Nv, isAvailable(), NOT_FOUND, HEADER_BYTES,
  typeof verifyNonce, typeof SELFTEST.header, clsieve.GpuContextWrapper === GpuContextWrapper, typeof openRig]));`;

const EMPTY = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-empty-'));
process.on('exit', () => fs.rmSync(EMPTY, { recursive: true, force: true }));
const MOUNT = ['/bin/mount', '/usr/bin/mount'].find((m) => fs.existsSync(m));
const UNSHARE = ['/usr/bin/unshare', '/bin/unshare'].find((m) => fs.existsSync(m));
const HIDE = ['/usr/local/cuda', '/usr/include/CL'].filter((d) => fs.existsSync(d));
const canHide = Boolean(MOUNT && UNSHARE) &&
  spawnSync(UNSHARE, ['-m', MOUNT, '--bind', EMPTY, EMPTY]).status === 0;

// Runs `argv` with PATH holding only `bin`, and with the CUDA toolkit and the
// OpenCL headers hidden where a mount namespace can be had.
function confined(bin, argv, cwd, env = {}) {
  const vars = { PATH: bin, HOME: os.homedir(), ...POCL_ENV, ...env };
  const opts = { cwd, env: vars, encoding: 'utf8', timeout: 300000 };
  if (!canHide) return spawnSync(argv[0], argv.slice(1), opts);
  const quoted = [...HIDE.map((d) => `${MOUNT} --bind '${EMPTY}' '${d}' &&`), 'exec',
    ...argv.map((a) => `'${a.replace(/'/g, `'\\''`)}'`)].join(' ');
  return spawnSync(UNSHARE, ['-m', '/bin/sh', '-c', quoted], opts);
}

// `npm pack` into a new folder, removed after the test: the tarball's path.
function packed(t, prefix) {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  t.after(() => fs.rmSync(work, { recursive: true, force: true }));
  const name = execFileSync(process.execPath, [npmCli(), 'pack', '--silent', '--pack-destination', work],
    { cwd: ROOT, encoding: 'utf8' }).trim().split('\n').pop();
  return path.join(work, name);
}

test('no prebuilt binary needs a glibc above 2.28 or a libstdc++ above GCC 8\'s', { skip: SKIP }, () => {
  const above = LINES.flatMap((l) => ADDONS.map((a) => prebuilt(a, l.abi)))
    .flatMap((file) => aboveFloor(versionNeeds(file)).map((s) => `${path.basename(file)}: ${s}`));
  assert.deepStrictEqual(above, [], `symbols above glibc ${FLOOR.GLIBC} / GLIBCXX ${FLOOR.GLIBCXX}`);
});

test('the packed tarball installs and runs on every Node line, scripts or not', { skip: SKIP }, async (t) => {
  const tarball = packed(t, 'noncesieve-shipped-');
  const work = path.dirname(tarball);
  const listing = execFileSync('tar', ['tzf', tarball], { encoding: 'utf8' });
  for (const f of ['package/LICENSE', 'package/examples/mining-loop.js', 'package/examples/low-level-loop.js', 'package/examples/jobs.js', 'package/scripts/install.js']) {
    assert.ok(listing.includes(`${f}\n`), `${f} is not in the tarball`);
  }
  assert.doesNotMatch(listing, /gpu-check\.sh|scripts\/test\.sh|test\/|build\//);

  for (const spec of LINES) {
    const dist = distribution(spec);
    const bin = path.join(work, `bin-${spec.line}`);
    fs.mkdirSync(bin);
    fs.symlinkSync(dist.node, path.join(bin, 'node'));
    fs.symlinkSync('/bin/sh', path.join(bin, 'sh'));
    fs.writeFileSync(path.join(bin, 'npm'), `#!/bin/sh\nexec "${dist.node}" "${npmCli()}" "$@"\n`, { mode: 0o755 });
    for (const scripts of [true, false]) {
      await t.test(`Node ${spec.line}, ${scripts ? 'with' : 'without'} install scripts`, () => {
        const dir = path.join(work, `node${spec.line}-${scripts ? 'scripts' : 'none'}`);
        fs.mkdirSync(dir);
        fs.writeFileSync(path.join(dir, 'package.json'), '{ "private": true }\n');
        const install = confined(bin, ['npm', 'install', tarball, '--no-audit', '--no-fund',
          '--prefer-offline', ...(scripts ? [] : ['--ignore-scripts'])], dir);
        assert.strictEqual(install.status, 0, `${install.stdout}${install.stderr}`);
        const installed = path.join(dir, 'node_modules', 'noncesieve');
        assert.ok(!fs.existsSync(path.join(installed, 'build')), 'something was built from source');

        const r = confined(bin, ['node', '-e', CHECK_CJS], dir);
        assert.strictEqual(r.status, 0, r.stderr);
        const out = JSON.parse(r.stdout.trim().split('\n').pop());
        assert.strictEqual(out.abi, String(spec.abi));
        assert.deepStrictEqual(out.loaded.sort(), ADDONS.map((a) =>
          fs.realpathSync(path.join(installed, path.relative(ROOT, prebuilt(a, spec.abi))))).sort());
        assert.match(out.nvml, /^NVML \(libnvidia-ml\.so\.1, installed with the NVIDIA driver\) cannot be opened: /);
        assert.ok(out.verified, `scan reported ${out.nonce}`);
        assert.strictEqual(out.available, false);
        assert.match(out.reason, /^no NVIDIA driver was found/);

        const esm = confined(bin, ['node', '--input-type=module', '-e', CHECK_ESM], dir);
        assert.strictEqual(esm.status, 0, esm.stderr);
        assert.deepStrictEqual(JSON.parse(esm.stdout),
          ['function', 'function', false, 9007199254740991, 286, 'function', 'string', true, 'function']);

        const selftest = confined(bin, [path.join(dir, 'node_modules', '.bin', 'noncesieve'), 'selftest',
          '--work-size', '4096'], dir);
        assert.strictEqual(selftest.status, 0, `${selftest.stdout}${selftest.stderr}`);
        assert.match(selftest.stdout, /opencl:0 +pass/);
        // The command's search runs on the installed rig and its device process.
        const search = confined(bin, [path.join(dir, 'node_modules', '.bin', 'noncesieve'), 'search', '--header',
          pow.SELFTEST.header, '--target', 'ff'.repeat(32), '--work-size', '4096', '--json'], dir);
        assert.strictEqual(search.status, 0, `${search.stdout}${search.stderr}`);
        assert.strictEqual(JSON.parse(search.stdout).devices[0].work, 4096);
      });
    }
  }
});

// A source install on a machine that lacks one toolkit: the other module is
// still built, and the line that says what to install is kept for the user.
test('a source install without the OpenCL headers, or without nvcc, builds the other module',
  { skip: (SKIP || (!canHide && 'no mount namespace to hide a toolkit in')) }, async (t) => {
    const work = fs.mkdtempSync(path.join(os.tmpdir(), 'noncesieve-source-'));
    t.after(() => fs.rmSync(work, { recursive: true, force: true }));
    const name = execFileSync(process.execPath, [npmCli(), 'pack', '--silent', '--pack-destination', work],
      { cwd: ROOT, encoding: 'utf8' }).trim().split('\n').pop();
    // nvcc stays reachable only through /usr/local/cuda, which the second case hides.
    const PATH = process.env.PATH.split(':').filter((d) => !fs.existsSync(path.join(d, 'nvcc'))).join(':');
    const cases = [
      { hide: '/usr/include/CL', built: 'nvsieve', skipped: 'clsieve',
        line: /^noncesieve: skipping clsieve \(OpenCL\): .*opencl\.hpp.*apt-get install opencl-clhpp-headers\), then run `npm rebuild noncesieve`; building nvsieve only$/m },
      { hide: '/usr/local/cuda', built: 'clsieve', skipped: 'nvsieve',
        line: /^noncesieve: skipping nvsieve \(CUDA\): no nvcc was found .*then run `npm rebuild noncesieve` \(NONCESIEVE_NO_CUDA=1 leaves nvsieve out on purpose\); building clsieve only$/m },
    ];
    for (const c of cases) {
      await t.test(`${c.hide} hidden`, () => {
        const dir = path.join(work, c.skipped);
        fs.mkdirSync(dir);
        fs.writeFileSync(path.join(dir, 'package.json'), '{ "private": true }\n');
        const install = spawnSync(UNSHARE, ['-m', '/bin/sh', '-c',
          `${MOUNT} --bind '${EMPTY}' '${c.hide}' && exec "$0" "$@"`, process.execPath, npmCli(), 'install',
          path.join(work, name), '--build-from-source', '--foreground-scripts', '--no-audit', '--no-fund',
          '--prefer-offline'], { cwd: dir, env: { ...process.env, PATH }, encoding: 'utf8', timeout: 600000 });
        assert.strictEqual(install.status, 0, `${install.stdout}${install.stderr}`);
        assert.match(`${install.stdout}${install.stderr}`, c.line);
        const release = path.join(dir, 'node_modules', 'noncesieve', 'build', 'Release');
        assert.ok(fs.existsSync(path.join(release, `${c.built}.node`)), `${c.built} was not built`);
        assert.ok(!fs.existsSync(path.join(release, `${c.skipped}.node`)), `${c.skipped} was built`);
        // Requiring it repeats the line: the prebuilt file is loaded instead only when
        // it fits, so hide it the way another platform would.
        fs.rmSync(path.join(dir, 'node_modules', 'noncesieve', 'prebuilt'), { recursive: true });
        const r = spawnSync(process.execPath, ['-e', `try { require('noncesieve/${c.skipped}').GpuContextWrapper; }
          catch (err) { console.log(err.message); }`], { cwd: dir, encoding: 'utf8' });
        assert.match(r.stdout, new RegExp(`^noncesieve: ${c.skipped} is not installed: .*; the source build skipped it: skipping ${c.skipped}`));
        assert.match(r.stdout, /then run `npm rebuild noncesieve`\.\n$/);
      });
    }
  });

// Debian 11's glibc 2.31 and libstdc++ (scripts/debian11.js), as on a rig
// running Debian 11 or Ubuntu 20.04: the installed package's modules load
// there, nvsieve drives the emulated CUDA driver and clsieve says what it
// finds. Fetched once into the cache; skipped, saying why, when it cannot be.
let oldUserland = null;
let noOldUserland = SKIP;
if (!noOldUserland) {
  try {
    oldUserland = debian11();
  } catch (err) {
    noOldUserland = `Debian 11's libraries could not be fetched: ${err.message}`;
  }
}
if (noOldUserland && !SKIP) console.log(`# skipping the Debian 11 run: ${noOldUserland}`);

test('the packed tarball runs on Debian 11\'s glibc 2.31', { skip: noOldUserland || (!fs.existsSync(EMU_DRIVER) && 'no emulated CUDA driver') }, (t) => {
  const tarball = packed(t, 'noncesieve-debian11-');
  const dir = path.join(path.dirname(tarball), 'rig');
  fs.mkdirSync(dir);
  fs.writeFileSync(path.join(dir, 'package.json'), '{ "private": true }\n');
  const install = spawnSync(process.execPath, [npmCli(), 'install', tarball, '--no-audit', '--no-fund',
    '--prefer-offline'], { cwd: dir, encoding: 'utf8', timeout: 300000 });
  assert.strictEqual(install.status, 0, `${install.stdout}${install.stderr}`);
  const cli = path.join(dir, 'node_modules', 'noncesieve', 'lib', 'cli.js');
  const run = (args, env = {}) => spawnSync(oldUserland.node, args, { cwd: dir, encoding: 'utf8', timeout: 120000,
    env: { PATH: process.env.PATH, HOME: os.homedir(), ...env } });

  const loads = run(['-e', `
    const nv = require('noncesieve/nvsieve');
    const cl = require('noncesieve/clsieve');
    console.log(JSON.stringify({ glibc: process.report.getReport().header.glibcVersionRuntime,
      nv: typeof nv.GpuContextWrapper, cl: typeof cl.GpuContextWrapper, reason: nv.unavailableReason(),
      loaded: Object.keys(require.cache).filter((f) => f.endsWith('.node')).map((f) => path.basename(f)) }));`]);
  assert.strictEqual(loads.status, 0, loads.stderr);
  const seen = JSON.parse(loads.stdout.trim().split('\n').pop());
  assert.deepStrictEqual([seen.glibc, seen.nv, seen.cl], ['2.31', 'function', 'function']);
  assert.deepStrictEqual(seen.loaded.sort(), ['clsieve', 'nvsieve'].map((a) => `${a}.abi${process.versions.modules}.glibc.node`));
  assert.match(seen.reason, /^no NVIDIA driver was found/);

  // clsieve: the platforms it finds there (this machine's PoCL is built for a
  // newer glibc, so the ICD loader may find none), or why there are none.
  const opencl = run([cli, 'devices', '--backend', 'opencl']);
  assert.ok([0, 3].includes(opencl.status), `${opencl.stdout}${opencl.stderr}`);
  assert.match(opencl.stdout, opencl.status === 0 ? /^opencl:0 /m : /^OpenCL: no OpenCL device was found/m);

  // nvsieve on the emulated CUDA driver, first on the library path.
  const cuda = { LD_LIBRARY_PATH: path.dirname(EMU_DRIVER), NVSIEVE_EMU_DEVICES: EMU_DEVICES };
  const devices = run([cli, 'devices', '--backend', 'cuda'], cuda);
  assert.strictEqual(devices.status, 0, `${devices.stdout}${devices.stderr}`);
  assert.match(devices.stdout, /^cuda:0 /m);
  const selftest = run([cli, 'selftest', '--backend', 'cuda'], cuda);
  assert.strictEqual(selftest.status, 0, `${selftest.stdout}${selftest.stderr}`);
  assert.match(selftest.stdout, /^cuda:0 +pass/m);
});
