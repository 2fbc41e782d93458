#!/usr/bin/env node
'use strict';
// Per architecture: registers and SASS instructions of blake2s_hash, which
// tests one nonce per thread, so the count is instructions per nonce. Read
// from the cubins the build kept (npm install builds them).
const { kernelImages } = require('../scripts/cubin');

const images = kernelImages();
console.log('arch     registers  instructions/nonce  stack  spills  local');
for (const i of images) {
  console.log(`${i.arch.padEnd(8)} ${String(i.registers).padStart(9)}  ${String(i.instructions).padStart(18)}` +
    `  ${String(i.stack).padStart(5)}  ${String(i.spillStores + i.spillLoads).padStart(6)}  ${String(i.localMemory).padStart(5)}`);
}
