'use strict';
// The CUDA addon. Loading needs no GPU; constructing GpuContextWrapper on a
// machine without a usable CUDA driver ends the process (that is the module's
// contract for GPU failures), so isAvailable() and unavailableReason() ask
// first, in a child process.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { loadAddon, locate, missingMessage, loadFailureHint } = require('./load-addon');
const { NO_CODE_FOR, OLDER_GPUS } = require('./cuda-builds');

// NONCESIEVE_NVSIEVE_ADDON points at another build of the module (the
// emulated one the tests use).
function addonFile() {
  return process.env.NONCESIEVE_NVSIEVE_ADDON
    ? path.resolve(process.env.NONCESIEVE_NVSIEVE_ADDON)
    : locate('nvsieve');
}

let addon = null;
function load() {
  if (!addon) addon = loadAddon('nvsieve', addonFile());
  return addon;
}

// The driver floor of the CUDA runtime linked into the module (CUDA 13.x).
const DRIVER_FLOOR = 'CUDA 13 needs NVIDIA driver 580 or newer';
const OLDEST_GENERATION = 'compute capability 7.5 (Turing) or newer when built with CUDA 13, as the ' +
  `prebuilt module is; ${OLDER_GPUS}`;

// Whether the dynamic loader can find the driver's libcuda.so.1: its cache
// names every library it knows, and LD_LIBRARY_PATH adds folders.
function driverLibraryFound() {
  const dirs = (process.env.LD_LIBRARY_PATH || '').split(':').filter(Boolean);
  dirs.push('/usr/lib/wsl/lib');
  if (dirs.some((d) => fs.existsSync(path.join(d, 'libcuda.so.1')))) return true;
  try {
    return fs.readFileSync('/etc/ld.so.cache').includes('libcuda.so.1');
  } catch (_) {
    return false;
  }
}

function driverVersion() {
  try {
    const m = /Kernel Module(?: for [\w-]+)?\s+([0-9][0-9.]*)/
      .exec(fs.readFileSync('/proc/driver/nvidia/version', 'utf8'));
    return m ? m[1] : null;
  } catch (_) {
    return null;
  }
}

// What the child reports: its load error, or each device's key and
// granularity; a failed runtime start ends it with the module's message.
const PROBE = `
let m;
try { m = require(process.argv[1]); } catch (err) {
  process.stdout.write(JSON.stringify({ loadError: String(err.message).split('\\n')[0] }));
  process.exit(0);
}
const g = new m.GpuContextWrapper();
const devices = [];
for (let i = 0; i < g.get_total_devices(); i++) devices.push({ key: g.get_key(i), gran: g.get_gran(i) });
process.stdout.write(JSON.stringify({ devices }));`;

// Turns what the probe saw into null (usable) or the reason, in words.
function classify(probe) {
  if (probe.loadError !== undefined) {
    return `nvsieve cannot be loaded: ${probe.loadError}; ${loadFailureHint('nvsieve', probe.loadError)}`;
  }
  if (probe.cudaError !== undefined) {
    const text = probe.cudaError;
    // Without libcuda.so.1 the runtime reports an insufficient driver.
    const driverless = /insufficient|initialization error/i.test(text) && !driverLibraryFound();
    if (driverless) {
      return 'no NVIDIA driver was found (libcuda.so.1 is not installed or not on the library path): ' +
        `install the NVIDIA driver (${DRIVER_FLOOR})`;
    }
    if (/initialization error/i.test(text)) {
      return 'the NVIDIA driver is installed but did not start (check nvidia-smi and that the nvidia ' +
        `kernel module is loaded) (CUDA said: ${text})`;
    }
    if (/insufficient/i.test(text)) {
      const version = driverVersion();
      return `the NVIDIA driver${version ? ` (${version})` : ''} is too old for the CUDA runtime ` +
        `inside nvsieve: ${DRIVER_FLOOR} (CUDA said: ${text})`;
    }
    if (/no CUDA-capable device/i.test(text)) {
      return 'the NVIDIA driver found no CUDA device (check nvidia-smi, and that this process or ' +
        `container may use the GPUs) (CUDA said: ${text})`;
    }
    return `the CUDA runtime did not start: ${text}`;
  }
  if (probe.failed) return `the CUDA probe failed: ${probe.failed}`;
  const devices = probe.devices || [];
  if (devices.length === 0) return 'the NVIDIA driver reports no CUDA device';
  if (devices.every((d) => d.gran === 0)) {
    const names = devices.map((d, i) => `GPU ${i} (${d.key.replace(/_+$/, '').replace(/_/g, ' ')})`);
    return `${NO_CODE_FOR}${names.join(', ')}: ` +
      `it runs on GPUs of ${OLDEST_GENERATION}`;
  }
  return null;
}

let reason;
let probed = [];
// Null when a CUDA driver and at least one device nvsieve can run on are
// usable; otherwise why not, in words. Never ends the calling process; the
// answer is cached.
function unavailableReason() {
  if (reason !== undefined) return reason;
  const file = addonFile();
  if (!file || !fs.existsSync(file)) return (reason = missingMessage('nvsieve').replace(/^noncesieve: /, ''));
  const r = spawnSync(process.execPath, ['-e', PROBE, file], { encoding: 'utf8', timeout: 60000 });
  let probe;
  const cuda = /Cuda error in func '[^']*' at line \d+ : (.*?)\.?\s*$/m.exec(r.stderr || '');
  if (r.status === 0) {
    try { probe = JSON.parse(r.stdout); probed = probe.devices || []; } catch (_) { probe = { failed: `unreadable answer ${JSON.stringify(r.stdout)}` }; }
  } else if (cuda) {
    probe = { cudaError: cuda[1] };
  } else {
    const last = (r.stderr || '').trim().split('\n').pop();
    probe = { failed: r.error ? r.error.message : `status ${r.status}${r.signal ? ` (${r.signal})` : ''}: ${last}` };
  }
  return (reason = classify(probe));
}

// The key of every CUDA device (get_key), asked in a child process like
// unavailableReason(); none when the probe failed.
function deviceKeys() {
  unavailableReason();
  return probed.map((d) => d.key);
}

// True when constructing GpuContextWrapper will not end the process.
function isAvailable() {
  return unavailableReason() === null;
}

module.exports = {
  get GpuContextWrapper() { return load().GpuContextWrapper; },
  isAvailable,
  unavailableReason,
  deviceKeys,
};
