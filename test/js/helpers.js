'use strict';
// Shared by the module tests: PoCL's CPU device stands in for a GPU, and
// Node's own BLAKE2s is the oracle for every nonce a module reports.
const { spawnSync } = require('child_process');
const path = require('path');
const pow = require('../../lib/pow');

const ROOT = path.join(__dirname, '..', '..');
const POCL_ENV = { CLSIEVE_PLATFORM_VENDOR: 'The pocl project', CLSIEVE_DEVICE_TYPE: 'cpu' };
Object.assign(process.env, POCL_ENV);

// Every nonce in [start, start + count) that wins, by the oracle.
function winnersIn(header, target, start, count) {
  const t = pow.targetTop64(target);
  const found = [];
  for (let i = 0; i < count; i++) {
    if (pow.hashTop64(header, start + i) < t) found.push(start + i);
  }
  return found;
}

// A header that differs per seed, and a target that about one nonce in
// `odds` beats (every nonce but the very highest hash when odds is 1).
function job(seed, odds) {
  const header = Buffer.alloc(pow.HEADER_BYTES);
  for (let i = 0; i < 280; i++) header[i] = (i * 31 + seed * 17) & 0xff;
  const target = Buffer.alloc(pow.TARGET_BYTES, 0xff);
  const top = (1n << 64n) / BigInt(odds);
  target.writeBigUInt64LE(top > 0xffffffffffffffffn ? 0xffffffffffffffffn : top, 24);
  return { header, target };
}

function scan(gpu, header, target, start, device, slot) {
  return new Promise((resolve) => gpu.scan_nonces(resolve, header, target, start, device, slot));
}

// Runs `code` in a fresh node with the module at `mod` bound to `m`; returns
// status, stdout and stderr.
function runChild(mod, code, env = {}) {
  const script = `const m = require(${JSON.stringify(mod)});\n${code}`;
  const r = spawnSync(process.execPath, ['-e', script], {
    cwd: ROOT, env: { ...process.env, ...env }, encoding: 'utf8', timeout: 120000,
  });
  return { status: r.status, signal: r.signal, stdout: r.stdout, stderr: r.stderr };
}

// nvsieve as it ships (build/Release/nvsieve.node), driving the emulated CUDA
// driver: the libcuda.so.1 that scripts/test.sh builds from test/emu_cuda.
// NVSIEVE_LIBCUDA makes the module open it in place of NVIDIA's, here and in
// every child process. EMU names the module only when that driver is built,
// so that a test asking whether EMU exists skips without it.
const EMU_DRIVER = path.join(ROOT, 'build', 'emu-cuda', 'libcuda.so.1');
const RELEASE = path.join(ROOT, 'build', 'Release', 'nvsieve.node');
const EMU = require('fs').existsSync(EMU_DRIVER) ? RELEASE : path.join(ROOT, 'build', 'emu-cuda', 'no-driver');
// On a real GPU (NVSIEVE_TEST_REAL=1) the module opens the real driver.
if (process.env.NVSIEVE_LIBCUDA === undefined && process.env.NVSIEVE_TEST_REAL !== '1') {
  process.env.NVSIEVE_LIBCUDA = EMU_DRIVER;
}
// A library that is never there: a machine without a driver.
const NO_DRIVER = { NVSIEVE_LIBCUDA: path.join(ROOT, 'build', 'no-such-driver', 'libcuda.so.1') };

// Both modules as the misuse, random-argument and Worker tests drive them:
// clsieve on PoCL, nvsieve on the emulated CUDA driver when it is built.
// `work` is the smallest work size each accepts; `setBlock(g, header,
// target)` sets a job as each module's set_block takes it.
const EMU_DEVICES = JSON.stringify([{ name: 'Emulated GPU', totalGlobalMem: 8 * 2 ** 30, major: 8, minor: 6 }]);
function bothModules() {
  const list = [{ name: 'clsieve', file: require.resolve('../../lib/clsieve'), work: 256, env: {},
    setBlock: 'g.set_block(header, target)' }];
  if (require('fs').existsSync(EMU)) {
    list.push({ name: 'nvsieve', file: EMU, work: 512, env: { NVSIEVE_EMU_DEVICES: EMU_DEVICES },
      setBlock: 'g.set_block()' });
  }
  return list;
}

// The environment that puts nvsieve on the emulated CUDA driver for a
// device process; with `failingScan` n, reading the result of its n-th scan
// fails as a GPU that fell off the bus would.
function emuEnv({ failingScan } = {}) {
  return { NONCESIEVE_NVSIEVE_ADDON: EMU, NVSIEVE_EMU_DEVICES: EMU_DEVICES,
    NVSIEVE_EMU_FAIL: failingScan ? `cuMemcpyDtoHAsync:${failingScan}` : undefined };
}

// Runs `fn` with `env` in process.env (undefined removes a name); restores it after.
async function withEnv(env, fn) {
  const saved = Object.fromEntries(Object.keys(env).map((k) => [k, process.env[k]]));
  const apply = (values) => {
    for (const [k, v] of Object.entries(values)) {
      if (v === undefined) delete process.env[k];
      else process.env[k] = v;
    }
  };
  apply(env);
  try {
    return await fn();
  } finally {
    apply(saved);
  }
}

module.exports = { ROOT, POCL_ENV, EMU, EMU_DRIVER, RELEASE, NO_DRIVER, EMU_DEVICES, emuEnv, withEnv, bothModules,
  winnersIn, job, scan, runChild, pow };
