#!/usr/bin/env node
'use strict';
// Prints the CUDA toolkit root (the folder holding bin/nvcc), or nothing when there is none.
// binding.gyp builds nvsieve only when this prints something.
//   --cudart  print the path of libcudart_static.a instead (empty when missing)
// NONCESIEVE_NO_CUDA=1 pretends no toolkit is installed.
const fs = require('fs');
const path = require('path');

function isFile(p) {
  try { return fs.statSync(p).isFile(); } catch (_) { return false; }
}

function findNvcc() {
  if (process.env.NONCESIEVE_NO_CUDA && process.env.NONCESIEVE_NO_CUDA !== '0') return null;
  const exe = process.platform === 'win32' ? 'nvcc.exe' : 'nvcc';
  for (const dir of (process.env.PATH || '').split(path.delimiter)) {
    if (dir && isFile(path.join(dir, exe))) return path.join(dir, exe);
  }
  const roots = ['/usr/local/cuda', process.env.CUDA_PATH, process.env.CUDA_HOME];
  for (const root of roots) {
    if (root && isFile(path.join(root, 'bin', exe))) return path.join(root, 'bin', exe);
  }
  return null;
}

function cudaRoot() {
  const nvcc = findNvcc();
  if (!nvcc) return null;
  // Follow a linked nvcc (/usr/bin/nvcc -> /opt/cuda/bin/nvcc gives /opt/cuda), but keep
  // /usr/local/cuda as written rather than the versioned folder it points to.
  const real = fs.lstatSync(nvcc).isSymbolicLink() ? fs.realpathSync(nvcc) : nvcc;
  return path.dirname(path.dirname(real));
}

function cudartStatic(root) {
  const candidates = ['lib64', 'lib', path.join('targets', 'x86_64-linux', 'lib'),
    path.join('targets', 'sbsa-linux', 'lib')].map((d) => path.join(root, d, 'libcudart_static.a'));
  // Debian's nvidia-cuda-toolkit keeps its libraries in the multiarch folder.
  candidates.push('/usr/lib/x86_64-linux-gnu/libcudart_static.a',
    '/usr/lib/aarch64-linux-gnu/libcudart_static.a');
  return candidates.find(isFile) || null;
}

if (require.main === module) {
  const root = cudaRoot();
  if (process.argv.includes('--cudart')) {
    process.stdout.write(root ? (cudartStatic(root) || '') : '');
  } else if (root && cudartStatic(root)) {
    process.stdout.write(root);
  } else if (root) {
    process.stderr.write(`noncesieve: skipping nvsieve (CUDA): nvcc is in ${root} but ` +
      'libcudart_static.a was not found; building clsieve only\n');
  } else {
    process.stderr.write('noncesieve: skipping nvsieve (CUDA): no nvcc was found on PATH, ' +
      'in /usr/local/cuda, $CUDA_PATH or $CUDA_HOME; building clsieve only\n');
  }
}

module.exports = { findNvcc, cudaRoot, cudartStatic };
