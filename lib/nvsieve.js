'use strict';
// The CUDA addon. It opens the NVIDIA driver (libcuda.so.1) at run time, so it
// loads on any machine; constructing GpuContextWrapper where the driver or
// every GPU cannot run it ends the process (that is the module's contract
// for GPU failures), so isAvailable() and unavailableReason() ask first,
// in-process, through the module's driverReport(), which never ends it.
const fs = require('fs');
const path = require('path');
const { loadAddon, locate, missingMessage } = require('./load-addon');
const { NO_CODE_FOR, DRIVER_FLOORS } = require('./cuda-builds');

// NONCESIEVE_NVSIEVE_ADDON points at another build of the module.
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

// The release of the loaded NVIDIA kernel module (580.82.07), when there is one.
function driverRelease() {
  try {
    const m = /Kernel Module(?: for [\w-]+)?\s+([0-9][0-9.]*)/
      .exec(fs.readFileSync('/proc/driver/nvidia/version', 'utf8'));
    return m ? m[1] : null;
  } catch (_) {
    return null;
  }
}

// "CUDA 12.2" from cuDriverGetVersion's 12020, with the release when known.
function driverText(version) {
  const release = driverRelease();
  const cuda = version ? `CUDA ${Math.floor(version / 1000)}.${(version % 1000) / 10}` : 'an unknown CUDA version';
  return `${release ? `${release}, ` : ''}for ${cuda}`;
}

// Turns the module's driver report into null (usable) or the reason, in words.
function classify(report) {
  const problem = report.problem;
  if (problem !== undefined) {
    if (/cannot be opened/.test(problem)) {
      return 'no NVIDIA driver was found (libcuda.so.1 is not installed or not on the library path): ' +
        `install the NVIDIA driver (${DRIVER_FLOORS}) (${problem.replace(/^no NVIDIA driver: /, '')})`;
    }
    if (/ has no /.test(problem)) return `the NVIDIA driver cannot be used: ${problem}`;
    if (/no CUDA-capable device/i.test(problem)) {
      return 'the NVIDIA driver found no CUDA device (check nvidia-smi, and that this process or ' +
        `container may use the GPUs) (CUDA said: ${problem})`;
    }
    return `the NVIDIA driver (${driverText(report.driverVersion)}) is installed but did not start ` +
      `(check nvidia-smi and that the nvidia kernel module is loaded) (CUDA said: ${problem})`;
  }
  const gpus = report.gpus || [];
  if (gpus.length === 0) return 'the NVIDIA driver reports no CUDA device';
  if (gpus.every((g) => g.failure !== undefined)) {
    const names = gpus.map((g, i) => `GPU ${i}: ${g.failure}`);
    return `${NO_CODE_FOR}(driver ${driverText(report.driverVersion)}): ${names.join('; ')}`;
  }
  return null;
}

let reason;
// Null when the driver works and at least one GPU runs nvsieve's code;
// otherwise why not, in words. Never ends the calling process; cached.
function unavailableReason() {
  if (reason !== undefined) return reason;
  const file = addonFile();
  if (!file || !fs.existsSync(file)) return (reason = missingMessage('nvsieve').replace(/^noncesieve: /, ''));
  let m;
  try {
    m = load();
  } catch (err) {
    return (reason = `nvsieve cannot be loaded: ${err.message.replace(/^noncesieve: cannot load nvsieve \([^)]*\): /, '')}`);
  }
  return (reason = classify(m.driverReport()));
}

// The key of every CUDA device, as get_key gives it (the name, blanks made
// "_", and a "_"), from the driver's report; none without a driver.
function deviceKeys() {
  if (unavailableReason() !== null && !reason.startsWith(NO_CODE_FOR)) return [];
  return driverReport().gpus.map((g) => `${g.name.replace(/ /g, '_')}_`);
}

// True when constructing GpuContextWrapper will not end the process.
function isAvailable() {
  return unavailableReason() === null;
}

// Per CUDA device, what the driver offers: { name, major, minor,
// totalGlobalMem, image ("SASS sm_86", "PTX, compiled by the driver") or
// failure }, and the driver's version, as driverText words it.
function driverReport() {
  const report = load().driverReport();
  return { ...report, driver: driverText(report.driverVersion) };
}

module.exports = {
  get GpuContextWrapper() { return load().GpuContextWrapper; },
  isAvailable,
  unavailableReason,
  driverReport,
  deviceKeys,
};
