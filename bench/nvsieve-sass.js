#!/usr/bin/env node
'use strict';
// Per architecture and kernel: registers, stack, spills, the instructions of
// the whole kernel text, and those on the path a losing nonce takes (found by
// following the branches in the cubin: the shortest path to an exit that
// stores nothing), split by pipe. Each thread tests one nonce, so these are
// instructions per nonce. Read from the cubins the build kept (npm install
// builds them).
//
// Beside them, the H100 model: each SM has 64 lanes per clock on the ALU pipe
// (IADD3, LOP3, SHF, PRMT, LEA, ISETP, ...), 64 on the FMA pipe (the IMAD
// forms) and issues 128 thread-instructions per clock, so
//   SM-cycles per nonce = max(ALU / 64, FMA / 64, issued / 128)
//   nonces/s = 132 SMs x 1.98 GHz / SM-cycles per nonce
// (an H100 SXM at boost clock; it runs the sm_90 code, the other rows show
// what the same model makes of each architecture's code).
//
// Then the same for the portable PTX (build/Release/nvsieve_portable_ptx,
// clang's), compiled here by the toolkit's ptxas for sm_75, sm_86 and sm_90
// as a driver's JIT would: its losing path should equal nvcc's own.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { kernelImages, KERNELS } = require('../scripts/cubin');
const { losingPath } = require('./losing-path');

const H100 = { sms: 132, clockHz: 1.98e9 };

function losingPathFigures(code) {
  const path = losingPath(code);
  if (!path) return null;
  const pipes = { alu: 0, fma: 0 };
  for (const i of path) if (code[i].pipe in pipes) pipes[code[i].pipe]++;
  const cycles = Math.max(pipes.alu / 64, pipes.fma / 64, path.length / 128);
  return { issued: path.length, ...pipes, cycles, rate: (H100.sms * H100.clockHz) / cycles };
}

const PORTABLE = path.join(__dirname, '..', 'build', 'Release', 'nvsieve_portable_ptx');

// Cubins of the portable PTX for `archs`, in a new folder: { dir, report }.
function portableCubins(archs) {
  const root = require('../scripts/find-cuda').cudaRoot();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'nvsieve-portable-'));
  const report = path.join(dir, 'ptxas.txt');
  let text = '';
  for (const arch of archs) {
    // ptxas -v reports on stderr.
    const r = require('child_process').spawnSync(path.join(root, 'bin', 'ptxas'),
      ['-O3', '-v', `-arch=sm_${arch}`, PORTABLE, '-o', path.join(dir, `portable.compute_${arch}.cubin`)],
      { encoding: 'utf8' });
    if (r.status !== 0) throw new Error(`ptxas sm_${arch}: ${r.stderr}`);
    text += r.stderr;
  }
  fs.writeFileSync(report, text);
  return { dir, report };
}

function table(title, images) {
  const pad = (v, n) => String(v).padStart(n);
  console.log(title);
  console.log('kernel    arch    regs stack spills  text  losing   ALU   FMA  other  SM-cycles  H100 model');
  for (const [variant, symbol] of Object.entries(KERNELS)) {
    for (const i of images(symbol)) {
      if (!i.code) continue;
      const f = losingPathFigures(i.code);
      const figures = f
        ? `${pad(f.issued, 7)} ${pad(f.alu, 5)} ${pad(f.fma, 5)} ${pad(f.issued - f.alu - f.fma, 6)}` +
          `  ${pad(f.cycles.toFixed(2), 9)}  ${pad((f.rate / 1e9).toFixed(1), 6)} G/s`
        : '   (no path to an exit without a store)';
      console.log(`${variant.padEnd(9)} ${i.arch.padEnd(7)} ${pad(i.registers, 4)} ${pad(i.stack, 5)}` +
        ` ${pad(i.spillStores + i.spillLoads, 6)} ${pad(i.instructions, 5)} ${figures}`);
    }
  }
}

function main() {
  table('nvcc (the SASS the module carries)', (symbol) => kernelImages(undefined, symbol));
  if (!fs.existsSync(PORTABLE) || fs.statSync(PORTABLE).size === 0) {
    console.log('\nno portable PTX in this build (built without clang)');
    return;
  }
  const { dir, report } = portableCubins([75, 86, 90]);
  try {
    console.log('');
    table('the portable PTX (clang), compiled by ptxas', (symbol) => kernelImages(dir, symbol, report));
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

if (require.main === module) main();

module.exports = { losingPathFigures, H100 };
