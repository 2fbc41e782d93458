'use strict';
// What one scan covers. Every caller that hands out ranges of nonces (the
// command's lanes, the benchmarks, the examples) advances by this, so that a
// range is never handed out without being searched.

// Work sizes the backends accept: nvsieve launches whole blocks of 512
// threads; clsieve's kernels run in work-groups of 256.
const WORK_SIZE_STEP = Object.freeze({ cuda: 512, opencl: 256 });
// Slots (scans in flight at once) a device may have, as both modules' init_devices take them.
const MAX_SLOTS = 64;

function backendOf(name) {
  if (name !== 'cuda' && name !== 'opencl') {
    throw new TypeError(`backend must be 'cuda' or 'opencl', not ${String(name)}`);
  }
  return name;
}

/**
 * A scan covers, from its start nonce, the work size times the device's
 * granularity (get_gran) on clsieve, and floor(work size / 512) x 512 on
 * nvsieve (whole blocks of 512 threads, one nonce each: nvsieve takes only
 * multiples of 512, of which a scan covers all). A CUDA device without an
 * image in this build (granularity 0) covers none.
 */
function noncesPerScan(backend, workSize, gran) {
  backendOf(backend);
  if (!Number.isSafeInteger(workSize) || workSize < 0) {
    throw new RangeError(`workSize must be a whole number >= 0, not ${workSize}`);
  }
  if (!Number.isSafeInteger(gran) || gran < 0) {
    throw new RangeError(`gran must be a whole number >= 0 (what get_gran reports), not ${gran}`);
  }
  if (backend === 'cuda') return gran === 0 ? 0 : Math.floor(workSize / 512) * 512;
  return workSize * gran;
}

/**
 * Why `workSize` is refused for `backend`, or null when it is accepted: a
 * CUDA work size must be a positive multiple of 512, an OpenCL one a
 * positive multiple of 256.
 */
function workSizeProblem(backend, workSize) {
  const step = WORK_SIZE_STEP[backendOf(backend)];
  if (Number.isSafeInteger(workSize) && workSize > 0 && workSize % step === 0) return null;
  return backend === 'cuda'
    ? `a CUDA work size must be a positive multiple of 512 (nvsieve launches whole blocks of 512 threads), not ${workSize}`
    : `an OpenCL work size must be a positive multiple of 256 (the kernel's work-group size), not ${workSize}`;
}

module.exports = { WORK_SIZE_STEP, MAX_SLOTS, noncesPerScan, workSizeProblem };
