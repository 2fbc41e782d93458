#!/usr/bin/env node
'use strict';
// Prints the CUDA toolkit root (the folder holding bin/nvcc) when nvsieve can be
// built with it, or nothing after one line that says why not and how to retry.
// binding.gyp builds nvsieve only when this prints something.
//   --cudart  print the path of libcudart_static.a instead (empty when missing)
// NONCESIEVE_NO_CUDA=1 leaves nvsieve out.
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

// Compiles a one-line kernel: catches an nvcc that cannot run its host
// compiler (an unsupported GCC, say) before the build depends on it.
function probeNvcc(root) {
  const dir = fs.mkdtempSync(path.join(require('os').tmpdir(), 'noncesieve-cuda-'));
  try {
    fs.writeFileSync(path.join(dir, 'probe.cu'), '__global__ void probe(int* p) { *p = 1; }\n');
    const r = require('child_process').spawnSync(path.join(root, 'bin', 'nvcc'),
      ['-c', 'probe.cu', '-o', 'probe.o'], { cwd: dir, encoding: 'utf8' });
    if (r.status === 0) return null;
    const output = `${r.stdout || ''}${r.stderr || ''}`.trim();
    return (output.split('\n').find((l) => /error/i.test(l)) || output.split('\n')[0] ||
      (r.error && r.error.message) || `status ${r.status}`).trim();
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

const RETRY = 'then run `npm rebuild noncesieve` (NONCESIEVE_NO_CUDA=1 leaves nvsieve out on purpose)';

// The toolkit root when nvsieve can be built, else null after the line that says why.
function usableRoot() {
  const { noteSkip, clearSkip, selected } = require('./skip-note');
  if (!selected('nvsieve')) return null;
  const skip = (why) => {
    noteSkip('nvsieve', `noncesieve: skipping nvsieve (CUDA): ${why}; building clsieve only`);
    return null;
  };
  if (process.env.NONCESIEVE_NO_CUDA && process.env.NONCESIEVE_NO_CUDA !== '0') {
    return skip('NONCESIEVE_NO_CUDA is set; unset it and run `npm rebuild noncesieve` to build it');
  }
  const root = cudaRoot();
  if (!root) {
    return skip('no nvcc was found on PATH, in /usr/local/cuda, $CUDA_PATH or $CUDA_HOME; ' +
      `install the CUDA toolkit or set CUDA_PATH to it, ${RETRY}`);
  }
  if (!cudartStatic(root)) {
    return skip(`nvcc is in ${root} but libcudart_static.a was not found; install the toolkit's ` +
      `runtime library or set CUDA_PATH to a complete toolkit, ${RETRY}`);
  }
  const failure = probeNvcc(root);
  if (failure) {
    return skip(`${root}/bin/nvcc cannot compile a test kernel (${failure}); install a host ` +
      `compiler this nvcc supports or set CUDA_PATH to another toolkit, ${RETRY}`);
  }
  clearSkip('nvsieve');
  return root;
}

if (require.main === module) {
  if (process.argv.includes('--cudart')) {
    const root = cudaRoot();
    process.stdout.write(root ? (cudartStatic(root) || '') : '');
  } else {
    process.stdout.write(usableRoot() || '');
  }
}

module.exports = { findNvcc, cudaRoot, cudartStatic };
