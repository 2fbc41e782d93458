'use strict';
// Debian 11's userland (glibc 2.31, GCC 10's libstdc++), for running the
// packed modules as a rig on Debian 11 or Ubuntu 20.04 would: its libc6,
// libstdc++6, libgcc-s1 and ocl-icd-libopencl1 are fetched as Debian packages
// into the cache (without touching the machine's own apt state) and unpacked
// there, and a copy of this node is pointed at that release's loader and
// libraries (patchelf), so that every process it starts (the command's device
// process too) runs on them. Kept in the cache between runs.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { cacheDir } = require('../lib/cache-dir');

const PACKAGES = ['libc6', 'libstdc++6', 'libgcc-s1', 'ocl-icd-libopencl1'];
const LOADER = 'lib/x86_64-linux-gnu/ld-2.31.so';
const LIB_DIRS = ['lib/x86_64-linux-gnu', 'usr/lib/x86_64-linux-gnu'];

// The Debian mirror this machine's apt uses, else Debian's own.
function debianMirror() {
  const texts = [];
  for (const dir of ['/etc/apt/sources.list.d']) {
    try {
      for (const f of fs.readdirSync(dir)) texts.push(fs.readFileSync(path.join(dir, f), 'utf8'));
    } catch (_) { /* no such folder */ }
  }
  try { texts.push(fs.readFileSync('/etc/apt/sources.list', 'utf8')); } catch (_) { /* none */ }
  for (const text of texts) {
    const uri = /^URIs:\s*(\S+\/debian)\/?\s*$/m.exec(text) || /^deb\s+(?:\[[^\]]*\]\s+)?(\S+\/debian)\/?\s/m.exec(text);
    if (uri) return uri[1];
  }
  return 'http://deb.debian.org/debian';
}

function run(command, args, options = {}) {
  const r = spawnSync(command, args, { encoding: 'utf8', ...options });
  if (r.error) throw new Error(`${command} could not be run: ${r.error.message}`);
  if (r.status !== 0) throw new Error(`${command} ${args.slice(-3).join(' ')} failed: ${(r.stderr || r.stdout).trim().split('\n').pop()}`);
  return r.stdout;
}

// The unpacked release under the cache: its root folder.
function fetchRoot(dir) {
  const root = path.join(dir, 'root');
  if (fs.existsSync(path.join(root, '.complete'))) return root;
  fs.rmSync(dir, { recursive: true, force: true });
  for (const d of ['lists/partial', 'cache/archives/partial', 'debs']) fs.mkdirSync(path.join(dir, d), { recursive: true });
  const sources = path.join(dir, 'sources.list');
  fs.writeFileSync(sources, `deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${debianMirror()} bullseye main\n`);
  const apt = ['-o', `Dir::Etc::sourcelist=${sources}`, '-o', 'Dir::Etc::sourceparts=/dev/null',
    '-o', `Dir::State::Lists=${path.join(dir, 'lists')}`, '-o', `Dir::Cache=${path.join(dir, 'cache')}`,
    '-o', 'Dir::State::status=/dev/null', '-o', 'APT::Sandbox::User=root', '-qq'];
  run('apt-get', [...apt, 'update'], { timeout: 300000 });
  run('apt-get', [...apt, 'download', ...PACKAGES], { cwd: path.join(dir, 'debs'), timeout: 300000 });
  for (const deb of fs.readdirSync(path.join(dir, 'debs')).filter((f) => f.endsWith('.deb'))) {
    run('dpkg-deb', ['-x', path.join(dir, 'debs', deb), root]);
  }
  if (!fs.existsSync(path.join(root, LOADER))) throw new Error(`the unpacked libc6 has no ${LOADER}`);
  fs.writeFileSync(path.join(root, '.complete'), '');
  return root;
}

/**
 * Debian 11's userland: { root, node, glibc }, node being a copy of this
 * node that runs on it. Throws, saying why, when it cannot be had (no
 * network, no apt-get or patchelf).
 */
function debian11() {
  const dir = path.join(cacheDir(), 'debian11');
  const root = fetchRoot(dir);
  const node = path.join(dir, `node-${process.version}`);
  if (!fs.existsSync(node)) {
    const copy = `${node}.tmp`;
    fs.copyFileSync(fs.realpathSync(process.execPath), copy);
    run('patchelf', ['--set-interpreter', path.join(root, LOADER), '--force-rpath', '--set-rpath',
      LIB_DIRS.map((d) => path.join(root, d)).join(':'), copy]);
    fs.renameSync(copy, node);
  }
  return { root, node, glibc: '2.31' };
}

module.exports = { debian11 };
