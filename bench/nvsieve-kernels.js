#!/usr/bin/env node
'use strict';
// Times each of nvsieve's search kernels (NVSIEVE_KERNEL=default, balanced)
// on the real GPUs, through the module with every slot busy (the command's
// bench), and prints nonces/s per device beside the model's figure for that
// GPU, in a block ready to paste into a note. Run by scripts/gpu-check.sh.
//
//   node bench/nvsieve-kernels.js [--seconds 5] [--slots 4]
//
// The model (bench/nvsieve-sass.js) counts the losing path of the GPU's own
// code: SM-cycles per nonce = max(ALU / 64, FMA / 64, issued / 128), nonces/s
// = SMs x SM clock / that. The SM count and clock come from nvidia-smi and a
// table of SM counts by name (NVSIEVE_SMS=N overrides it); the cubins from the
// build (carry build/Release along).
const path = require('path');
const { spawnSync } = require('child_process');
const { KERNELS, kernelImages } = require('../scripts/cubin');
const { losingPathFigures } = require('./nvsieve-sass');
const { numericOptions } = require('./options');

const ROOT = path.join(__dirname, '..');
const args = numericOptions();
const SECONDS = args.seconds || 5;
const SLOTS = args.slots || 4;

// Multiprocessors by product name (first match wins, so longer names first).
const SM_COUNTS = [
  [/H100 PCIe/i, 114], [/H100|H200|GH200/i, 132], [/B200/i, 148], [/A100/i, 108],
  [/A30\b/i, 56], [/A10\b/i, 72], [/L40/i, 142], [/L4\b/i, 58], [/RTX 4090/i, 128],
  [/RTX 4080/i, 76], [/RTX 3090/i, 82], [/RTX 3080/i, 68], [/RTX 5090/i, 170],
  [/T4\b/i, 40], [/V100/i, 80],
];

// nvidia-smi's view of each GPU: name, compute capability, highest SM clock.
function smiGpus() {
  const r = spawnSync('nvidia-smi', ['--query-gpu=name,compute_cap,clocks.max.sm',
    '--format=csv,noheader,nounits'], { encoding: 'utf8' });
  if (r.status !== 0) return [];
  return r.stdout.trim().split('\n').map((line) => {
    const [name, cap, mhz] = line.split(',').map((s) => s.trim());
    const sms = Number(process.env.NVSIEVE_SMS) ||
      (SM_COUNTS.find(([re]) => re.test(name)) || [])[1] || null;
    return { name, arch: /^\d+\.\d+$/.test(cap) ? `sm_${cap.replace('.', '')}` : null,
      clockHz: Number(mhz) * 1e6 || null, sms };
  });
}

// The command's bench with one kernel; its JSON, or the reason it failed.
function bench(kernel) {
  const r = spawnSync(process.execPath, [path.join(ROOT, 'lib', 'cli.js'), 'bench', '--backend', 'cuda',
    '--seconds', String(SECONDS), '--slots', String(SLOTS), '--json'],
  { cwd: ROOT, env: { ...process.env, NVSIEVE_KERNEL: kernel }, encoding: 'utf8', timeout: 120000 });
  if (r.status !== 0) return { error: `exit ${r.status}: ${(r.stderr || '').trim()}` };
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

// Model cycles per nonce of a kernel for an architecture: its own image, or
// the newest carried one below it (what the driver would load).
function modelCycles(symbol, arch) {
  if (!arch) return null;
  const num = (a) => Number(a.slice(3));
  const images = kernelImages(undefined, symbol).filter((i) => i.code && num(i.arch) <= num(arch));
  const image = images[images.length - 1];
  const f = image && losingPathFigures(image.code);
  return f ? { cycles: f.cycles, arch: image.arch } : null;
}

const g = (x) => (x >= 1e8 ? `${(x / 1e9).toFixed(2)} G/s` : `${(x / 1e6).toFixed(2)} M/s`);

function main() {
  const gpus = smiGpus();
  const results = {};
  let failed = false;
  for (const kernel of Object.keys(KERNELS)) {
    results[kernel] = bench(kernel);
    if (results[kernel].error) {
      console.error(`nvsieve-kernels: timing the ${kernel} kernel failed (${results[kernel].error})`);
      failed = true;
    }
  }
  const first = Object.values(results).find((r) => !r.error);
  console.log('---- nvsieve kernels (paste from here) ----');
  console.log(`bench: ${SLOTS} slots busy, ${SECONDS} s per kernel, node ${process.version}`);
  for (const [i, d] of (first ? first.devices : []).entries()) {
    const gpu = gpus[i] || {};
    console.log(`${d.device}: ${gpu.name || d.key}, ${gpu.arch || 'compute capability unknown'}, ` +
      `${gpu.sms ? `${gpu.sms} SMs` : 'SM count unknown (set NVSIEVE_SMS)'}, ` +
      `${gpu.clockHz ? `max SM clock ${gpu.clockHz / 1e6} MHz` : 'clock unknown'}, work size ${d.work}`);
    console.log('  kernel     measured      model (code)          measured / model');
    for (const [kernel, symbol] of Object.entries(KERNELS)) {
      const r = results[kernel];
      const m = r.devices ? r.devices.find((x) => x.device === d.device) : null;
      const model = modelCycles(symbol, gpu.arch);
      const modelRate = model && gpu.sms && gpu.clockHz ? (gpu.sms * gpu.clockHz) / model.cycles : null;
      console.log(`  ${kernel.padEnd(9)}  ${(m ? g(m.noncesPerSecond) : 'failed').padEnd(12)}  ` +
        `${(modelRate ? `${g(modelRate)} (${model.arch})` : model ? `${model.cycles.toFixed(2)} SM-cycles/nonce` : 'no model')
          .padEnd(20)}  ${m && modelRate ? (m.noncesPerSecond / modelRate).toFixed(2) : ''}`);
    }
  }
  console.log('---- end ----');
  process.exit(failed ? 1 : 0);
}

main();
