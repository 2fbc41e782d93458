#!/usr/bin/env node
'use strict';
// Instructions per nonce of the OpenCL kernels on AMD GPUs, without one:
// each kernel, as the module embeds it, compiled by clang's AMDGPU backend
// (clang 14 or later: apt-get install clang-14) for a few targets, counted
// on the path a losing nonce takes (the shortest path to s_endpgm that
// stores nothing; for the two-nonce kernel, both nonces losing), split into
// scalar (s_) and vector instructions, per nonce.
//
//   node bench/clsieve-amdgpu.js [gfx900 gfx803 gfx1030]
//
// Without the ROCm device library (-nogpulib) the work-item functions,
// rotate() and upsample() would stay calls; the few lines put in front of the
// source here give them as the builtins and plain expressions the library
// would inline.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync, spawnSync } = require('child_process');
const { losingPath } = require('./losing-path');

const ROOT = path.join(__dirname, '..');
const KERNELS = [{ file: 'kernel.cl', gran: 1 }, { file: 'kernel_gran2.cl', gran: 2 }];
const TARGETS = process.argv.slice(2).length ? process.argv.slice(2) : ['gfx900', 'gfx803', 'gfx1030'];
const LIBRARY = `
#define get_group_id(d) __builtin_amdgcn_workgroup_id_x()
#define get_local_id(d) __builtin_amdgcn_workitem_id_x()
#define get_local_size(d) (*((__constant ushort*)__builtin_amdgcn_dispatch_ptr() + 2))
#define upsample(hi, lo) ((((ulong)(hi)) << 32) | (ulong)(lo))
#define rotate(x, n) (((x) << (n)) | ((x) >> (32U - (n))))
`;

function findClang() {
  for (const c of ['clang-14', 'clang-15', 'clang-16', 'clang']) {
    if (spawnSync(c, ['--version']).status === 0) return c;
  }
  return null;
}

// The kernel's instructions from clang's assembly: labels resolved to
// indices, branches, the end of the program, stores.
function parseAssembly(text) {
  const lines = text.split('\n');
  const start = lines.findIndex((l) => /^blake2s_hash:/.test(l));
  const labels = {};
  const raw = [];
  for (let i = start + 1; i < lines.length; i++) {
    const l = lines[i];
    if (/^\.Lfunc_end/.test(l)) break;
    const label = /^(\.LBB\w+):/.exec(l);
    if (label) { labels[label[1]] = raw.length; continue; }
    const m = /^\t([a-z][\w.]*)\s*(.*)$/.exec(l);
    if (m) raw.push({ op: m[1], args: m[2] });
  }
  return raw.map(({ op, args }) => {
    const ins = { op, store: /_store_/.test(op), exit: op === 's_endpgm', conditional: false };
    if (op === 's_branch' || op.startsWith('s_cbranch_')) {
      ins.target = labels[args.trim()];
      ins.conditional = op !== 's_branch';
    }
    return ins;
  });
}

function main() {
  const clang = findClang();
  if (!clang) {
    console.log('clsieve-amdgpu: no clang on PATH (apt-get install clang-14); nothing measured');
    return;
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'clsieve-amdgpu-'));
  console.log(`${execFileSync(clang, ['--version'], { encoding: 'utf8' }).split('\n')[0]}`);
  console.log('kernel            target    VGPRs  losing path  scalar  vector  per nonce');
  for (const k of KERNELS) {
    const source = path.join(dir, k.file);
    fs.writeFileSync(source, LIBRARY + execFileSync(process.execPath,
      [path.join(ROOT, 'scripts', 'embed.js'), '--source', path.join(ROOT, 'src', 'ocl_binding', k.file)]));
    for (const target of TARGETS) {
      const out = path.join(dir, `${k.file}.${target}.s`);
      execFileSync(clang, ['-cl-std=CL1.2', '-target', 'amdgcn-amd-amdhsa', `-mcpu=${target}`, '-nogpulib',
        '-Xclang', '-finclude-default-header', '-O3', '-S', source, '-o', out]);
      const text = fs.readFileSync(out, 'utf8');
      const code = parseAssembly(text);
      const p = losingPath(code);
      const scalar = p ? p.filter((i) => code[i].op.startsWith('s_')).length : 0;
      const vgprs = (/\.vgpr_count:\s*(\d+)/.exec(text) || /NumVgprs:\s*(\d+)/.exec(text) || [])[1];
      console.log(`${k.file.padEnd(17)} ${target.padEnd(8)} ${String(vgprs).padStart(6)}` +
        `  ${p ? String(p.length).padStart(11) : '    no path'}  ${String(scalar).padStart(6)}` +
        `  ${String(p ? p.length - scalar : 0).padStart(6)}  ${p ? String(p.length / k.gran).padStart(9) : ''}`);
    }
  }
  fs.rmSync(dir, { recursive: true, force: true });
}

main();
