#!/usr/bin/env node
'use strict';
// The newest glibc and libstdc++ a binary needs, read from its dynamic
// symbols' versions (objdump -T), against the floor the prebuilt modules
// keep: glibc 2.28 (Debian 10, Ubuntu 18.10, RHEL 8) and GCC 8's libstdc++.
//   node scripts/symbol-floor.js FILE...   prints each file's newest needs and
//                                          every symbol above the floor
const { execFileSync } = require('child_process');

const FLOOR = Object.freeze({ GLIBC: '2.28', GLIBCXX: '3.4.25', CXXABI: '1.3.11' });

function compareVersions(a, b) {
  const x = a.split('.').map(Number);
  const y = b.split('.').map(Number);
  for (let i = 0; i < Math.max(x.length, y.length); i++) {
    const d = (x[i] || 0) - (y[i] || 0);
    if (d !== 0) return d;
  }
  return 0;
}

// Every versioned symbol `file` takes from glibc or libstdc++:
// [{ symbol, family, version }].
function versionNeeds(file) {
  const text = execFileSync('objdump', ['-T', file], { encoding: 'utf8', maxBuffer: 64 << 20 });
  const needs = [];
  for (const line of text.split('\n')) {
    // "0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.34) pthread_rwlock_rdlock"
    const m = /\*UND\*\s+\S+\s+\(?(GLIBC|GLIBCXX|CXXABI)_([0-9.]+)\)?\s+(\S+)$/.exec(line.trim());
    if (m) needs.push({ family: m[1], version: m[2], symbol: m[3] });
  }
  return needs;
}

// The newest version of each family that `needs` names: { GLIBC: '2.17', ... }.
function newest(needs) {
  const top = {};
  for (const { family, version } of needs) {
    if (!top[family] || compareVersions(version, top[family]) > 0) top[family] = version;
  }
  return top;
}

// The needs above the floor, as "symbol (FAMILY_version)".
function aboveFloor(needs) {
  return needs.filter((n) => compareVersions(n.version, FLOOR[n.family]) > 0)
    .map((n) => `${n.symbol} (${n.family}_${n.version})`);
}

if (require.main === module) {
  let failed = false;
  for (const file of process.argv.slice(2)) {
    const needs = versionNeeds(file);
    const top = newest(needs);
    const above = aboveFloor(needs);
    console.log(`${file}: ${Object.entries(top).map(([f, v]) => `${f}_${v}`).join(' ')}`);
    for (const s of above) console.log(`  above the floor: ${s}`);
    failed = failed || above.length > 0;
  }
  process.exit(failed ? 1 : 0);
}

module.exports = { FLOOR, compareVersions, versionNeeds, newest, aboveFloor };
