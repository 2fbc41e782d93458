#!/usr/bin/env node
'use strict';
// Runs node-gyp against the headers of the running Node when they are installed,
// so the build works offline (unless npm_config_nodedir names other headers);
// otherwise node-gyp downloads them as usual.
// Usage: node scripts/build.js [rebuild|build|configure|clean ...] [node-gyp options]
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

function findNodeGyp() {
  if (process.env.npm_config_node_gyp && fs.existsSync(process.env.npm_config_node_gyp)) {
    return [process.execPath, process.env.npm_config_node_gyp];
  }
  const prefix = path.dirname(path.dirname(process.execPath));
  for (const dir of [path.join(prefix, 'lib', 'node_modules', 'npm'),
    path.join(path.dirname(process.execPath), 'node_modules', 'npm')]) {
    try {
      return [process.execPath, require.resolve('node-gyp/bin/node-gyp.js', { paths: [dir] })];
    } catch (_) { /* try the next place */ }
  }
  return ['node-gyp'];
}

const args = process.argv.slice(2);
if (args.length === 0) args.push('rebuild');
const prefix = path.dirname(path.dirname(process.execPath));
if (fs.existsSync(path.join(prefix, 'include', 'node', 'node.h')) && !process.env.npm_config_nodedir &&
    !args.some((a) => a.startsWith('--nodedir'))) {
  args.push(`--nodedir=${prefix}`);
}

const [cmd, ...pre] = findNodeGyp();
const r = spawnSync(cmd, [...pre, ...args], {
  cwd: path.join(__dirname, '..'),
  stdio: 'inherit',
  shell: process.platform === 'win32' && cmd === 'node-gyp',
});
if (r.error) {
  console.error(`build: cannot run node-gyp: ${r.error.message}`);
  process.exit(1);
}
process.exit(r.status === null ? 1 : r.status);
