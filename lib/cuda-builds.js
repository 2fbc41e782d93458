'use strict';
// What nvsieve's messages say of the GPU generations and drivers it runs on:
// unavailableReason (lib/nvsieve.js) and the device listing (lib/devices.js)
// say it in the same words.

// How unavailableReason starts when the driver runs but no GPU runs the code.
const NO_CODE_FOR = 'no GPU can run nvsieve ';

// The drivers that run it: the module carries SASS made by the CUDA toolkit
// it was built with (CUDA 13: R580 or newer) and a portable PTX (ISA 4.3)
// that every driver since CUDA 8 (R375) compiles for any GPU it supports
// from Kepler (compute capability 3.5) on.
const DRIVER_FLOORS = 'any driver from R375 (CUDA 8) on that supports the GPU: R470 is the last ' +
  'for Kepler (compute capability 3.5, 3.7), R580 the last for Maxwell, Pascal and Volta (5.0 to 7.2); ' +
  'R580 or newer runs the SASS of Turing (7.5) and newer without a first-run compile';

module.exports = { NO_CODE_FOR, DRIVER_FLOORS };
