#!/usr/bin/env node
'use strict';
// Prints the CUDA toolkit root (the folder holding bin/nvcc) when nvsieve can be
// built with it, or nothing after one line that says why not and how to retry.
// binding.gyp builds nvsieve only when this prints something.
// NONCESIEVE_NO_CUDA=1 leaves nvsieve out.
const fs = require('fs');
const path = require('path');

function isFile(p) {
  try { return fs.statSync(p).isFile(); } catch (_) { return false; }
}

const NVCC = process.platform === 'win32' ? 'nvcc.exe' : 'nvcc';

function cudaDisabled() {
  return Boolean(process.env.NONCESIEVE_NO_CUDA && process.env.NONCESIEVE_NO_CUDA !== '0');
}

// The toolkit an nvcc belongs to. A link (/usr/bin/nvcc -> /opt/cuda/bin/nvcc) is
// followed, but /usr/local/cuda is kept as written rather than the versioned folder
// it points to. A wrapper script (/usr/local/bin/nvcc that execs the toolkit's own)
// leaves a folder with no CUDA headers: nvcc then says where its toolkit is, as the
// TOP of a dry run.
function rootOf(nvcc) {
  const real = fs.lstatSync(nvcc).isSymbolicLink() ? fs.realpathSync(nvcc) : nvcc;
  const root = path.dirname(path.dirname(real));
  if (isFile(path.join(root, 'include', 'cuda_runtime.h'))) return root;
  const r = require('child_process').spawnSync(nvcc, ['--dryrun', '-c', 'probe.cu'],
    { encoding: 'utf8', timeout: 30000 });
  const top = /^#\$ TOP=(.+)$/m.exec(`${r.stdout || ''}${r.stderr || ''}`);
  return top ? path.resolve(top[1].trim()) : root;
}

// CUDA_PATH or CUDA_HOME names the toolkit when set; else the first complete toolkit
// of an nvcc on PATH or /usr/local/cuda, else the first incomplete one (so that the
// skip line can name what is missing).
function cudaRoot() {
  if (cudaDisabled()) return null;
  for (const root of [process.env.CUDA_PATH, process.env.CUDA_HOME]) {
    if (root && isFile(path.join(root, 'bin', NVCC))) return root;
  }
  const found = [];
  for (const dir of [...(process.env.PATH || '').split(path.delimiter), '/usr/local/cuda/bin']) {
    const nvcc = dir && path.join(dir, NVCC);
    if (!nvcc || !isFile(nvcc)) continue;
    const root = rootOf(nvcc);
    if (driverHeader(root)) return root;
    found.push(root);
  }
  return found[0] || null;
}

// cuda.h: the driver API's types (nothing of the toolkit is linked in).
function driverHeader(root) {
  const candidates = [path.join(root, 'include', 'cuda.h'),
    path.join(root, 'targets', 'x86_64-linux', 'include', 'cuda.h'), '/usr/include/cuda.h'];
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
  if (cudaDisabled()) {
    return skip('NONCESIEVE_NO_CUDA is set; unset it and run `npm rebuild noncesieve` to build it');
  }
  const root = cudaRoot();
  if (!root) {
    return skip('no nvcc was found on PATH, in /usr/local/cuda, $CUDA_PATH or $CUDA_HOME; ' +
      `install the CUDA toolkit or set CUDA_PATH to it, ${RETRY}`);
  }
  if (!driverHeader(root)) {
    return skip(`nvcc is in ${root} but cuda.h was not found; install the toolkit's ` +
      `headers or set CUDA_PATH to a complete toolkit, ${RETRY}`);
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
  process.stdout.write(usableRoot() || '');
}

module.exports = { cudaRoot, cudaDisabled };
