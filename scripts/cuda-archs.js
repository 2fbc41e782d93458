#!/usr/bin/env node
'use strict';
// Prints the nvcc -gencode flags for nvsieve: machine code (SASS) for every GPU
// generation below that this nvcc can target, plus PTX of the newest so that later
// GPUs can still JIT it. NVSIEVE_ARCHS="sm_86 sm_90" replaces the list.
// Usage: node scripts/cuda-archs.js [path/to/nvcc]
//        node scripts/cuda-archs.js --list [path/to/nvcc]   (the SASS built, e.g. 75,80,86)
const { execFileSync } = require('child_process');
const path = require('path');

const ARCHS = 'sm_35 sm_37 sm_50 sm_52 sm_60 sm_61 sm_70 sm_75 sm_80 sm_86 sm_89 sm_90 sm_100 sm_120';

const args = process.argv.slice(2);
const listOnly = args[0] === '--list';
if (listOnly) args.shift();

function nvccPath() {
  if (args[0]) return args[0];
  if (process.env.NVCC) return process.env.NVCC;
  const root = require('./find-cuda').cudaRoot();
  return root ? path.join(root, 'bin', 'nvcc') : 'nvcc';
}

// The architectures built, as numbers (75 for sm_75), oldest first.
function builtArchs(nvcc) {
  const wanted = (process.env.NVSIEVE_ARCHS || ARCHS).split(/\s+/).filter(Boolean);
  const supported = new Set(execFileSync(nvcc, ['--list-gpu-code'], { encoding: 'utf8' })
    .split(/\s+/).filter(Boolean));
  const archs = wanted.filter((a) => supported.has(a));
  if (archs.length === 0) {
    throw new Error(`cuda-archs: ${nvcc} supports none of: ${wanted.join(' ')}`);
  }
  return archs.map((a) => Number(a.replace(/^sm_/, ''))).sort((a, b) => a - b);
}

function gencodeFlags(nvcc) {
  const archs = builtArchs(nvcc);
  const flags = archs.map((n) => `-gencode arch=compute_${n},code=sm_${n}`);
  const newest = archs[archs.length - 1];
  flags.push(`-gencode arch=compute_${newest},code=compute_${newest}`);
  return flags.join(' ');
}

if (require.main === module) {
  try {
    process.stdout.write((listOnly ? builtArchs(nvccPath()).join(',') : gencodeFlags(nvccPath())) + '\n');
  } catch (err) {
    process.stderr.write(`${err.message}\n`);
    process.exit(1);
  }
}

module.exports = { ARCHS, builtArchs, gencodeFlags };
