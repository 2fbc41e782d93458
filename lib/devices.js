'use strict';
// Finding devices on both backends without ever ending the process: CUDA is
// asked first (isAvailable, which never ends the process), and OpenCL discovery can be widened from
// AMD's GPUs to every OpenCL device (PoCL on a CPU, say).
const { NO_CODE_FOR } = require('./cuda-builds');

// Constructs clsieve's context with discovery widened to every OpenCL device.
function openAnyOpenCL(clsieve) {
  const saved = [process.env.CLSIEVE_PLATFORM_VENDOR, process.env.CLSIEVE_DEVICE_TYPE];
  process.env.CLSIEVE_PLATFORM_VENDOR = '';
  process.env.CLSIEVE_DEVICE_TYPE = 'all';
  try {
    return new clsieve.GpuContextWrapper();
  } finally {
    restore('CLSIEVE_PLATFORM_VENDOR', saved[0]);
    restore('CLSIEVE_DEVICE_TYPE', saved[1]);
  }
}

function restore(name, value) {
  if (value === undefined) delete process.env[name];
  else process.env[name] = value;
}

// A CUDA device as the driver offers it: { runs, compute, driver } and, when
// no image runs, the reason as `unsupported`.
function cudaDevice(index, report) {
  const g = report.gpus[index] || {};
  const d = { index, compute: `${g.major}.${g.minor}`, driver: report.driver };
  if (g.image) d.runs = g.image;
  else d.unsupported = g.failure || 'the driver did not describe it';
  return d;
}

function describe(gpu, backend, count, widened = false) {
  const report = backend === 'cuda' ? require('./nvsieve').driverReport() : null;
  const devices = [];
  for (let index = 0; index < count; index++) {
    devices.push(report ? cudaDevice(index, report) : { index });
  }
  return { backend, gpu, devices, widened };
}

const usable = (found) => found.devices.some((d) => !d.unsupported);

// Why OpenCL discovery found nothing, with what to install.
const NO_OPENCL_DEVICE = 'no OpenCL device was found: AMD GPUs need their OpenCL platform ' +
  '(ROCm or AMDGPU-PRO); without a GPU, PoCL runs on the CPU (Debian/Ubuntu: apt-get install ' +
  'pocl-opencl-icd); clinfo -l lists the platforms and devices OpenCL sees';

/**
 * The backends to use: 'cuda', 'opencl' or 'auto' (CUDA devices when usable,
 * else AMD OpenCL GPUs, else every OpenCL device, saying so through `log`).
 * Returns [{ backend, gpu, devices: [{ index, unsupported }], widened }],
 * widened true when OpenCL discovery fell back to every device, unsupported
 * saying why a device cannot run the kernel (absent when it can). In auto
 * selection OpenCL is opened too when no CUDA device can run the kernel.
 * `why(backend, reason)` hears, in words, why a backend that was tried gave
 * no device.
 */
const BACKEND_NAMES = { cuda: 'CUDA', opencl: 'OpenCL' };

function openBackends(choice = 'auto', log = () => {}, why = () => {}) {
  const found = [];
  if (choice === 'cuda' || choice === 'auto') {
    const nvsieve = require('./nvsieve');
    const reason = nvsieve.unavailableReason();
    // A reason of devices without code still lets the context be constructed:
    // it lists them as unsupported.
    if (reason === null || reason.startsWith(NO_CODE_FOR)) {
      const gpu = new nvsieve.GpuContextWrapper();
      found.push(describe(gpu, 'cuda', gpu.get_total_devices()));
    }
    if (reason !== null) why('cuda', reason);
  }
  if (choice === 'opencl' || (choice === 'auto' && !found.some(usable))) {
    const clsieve = require('./clsieve');
    let gpu;
    try {
      gpu = new clsieve.GpuContextWrapper();
    } catch (err) {
      why('opencl', err.message.replace(/^noncesieve: /, ''));
      return found;
    }
    let widened = false;
    if (gpu.get_total_devices() === 0 && process.env.CLSIEVE_PLATFORM_VENDOR === undefined &&
        process.env.CLSIEVE_DEVICE_TYPE === undefined) {
      log('No AMD OpenCL GPU was found; using every OpenCL device instead.');
      gpu = openAnyOpenCL(clsieve);
      widened = true;
    }
    const count = gpu.get_total_devices();
    if (count > 0) found.push(describe(gpu, 'opencl', count, widened));
    else why('opencl', NO_OPENCL_DEVICE);
  }
  return found;
}

// A device's name as its module's summary line gives it ("GPU#<n>, Name:
// <name>, ..."), else as its key does.
function summaryName(d, output) {
  const named = new RegExp(`^ {4}GPU#${d.index}, Name: (.*), (Work size|Cuda threads)`, 'm').exec(output);
  if (named) return named[1];
  return d.backend === 'cuda' ? d.key.replace(/_/g, ' ').trim() : d.key;
}

module.exports = { openBackends, summaryName, BACKEND_NAMES };
