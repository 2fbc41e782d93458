'use strict';
// What nvsieve's messages say of the GPU generations a build carries code for:
// unavailableReason (lib/nvsieve.js) and the device listing (lib/devices.js)
// say it in the same words.

// How unavailableReason starts when the driver runs but no device has an image.
const NO_CODE_FOR = 'nvsieve carries no code for the generation of ';

const OLDER_GPUS = 'Maxwell, Pascal and Volta GPUs (compute capability 5.0 to 7.2) need a build ' +
  'made with CUDA 12 (install CUDA 12, then `npm rebuild noncesieve --build-from-source`)';

module.exports = { NO_CODE_FOR, OLDER_GPUS };
