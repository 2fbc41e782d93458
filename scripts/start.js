#!/usr/bin/env node
'use strict';
// npm start: the core's self-test on the host, then every device found runs
// its own self-test (checked on the host) and together they search the
// built-in job, with an easier target so that a first run on a CPU finds a
// winner in seconds.
const path = require('path');
const { spawnSync } = require('child_process');
const pow = require('../lib/pow');
const cli = require('../lib/cli');

// The built-in target raised sixteenfold: about one nonce in 1.6 million wins.
function easierTarget() {
  const target = Buffer.from(pow.SELFTEST.target, 'hex');
  target.writeBigUInt64LE(pow.targetTop64(target) << 4n, 24);
  return target.toString('hex');
}

async function main() {
  console.log('== Host self-test (the proof-of-work core)');
  const core = spawnSync(path.join(__dirname, '..', 'build', 'Release', 'core_selftest'),
    { stdio: 'inherit' });
  if (core.status !== 0) return 1;

  console.log('\n== Device self-tests (noncesieve selftest)');
  const checked = await cli.main(['selftest']);
  if (checked !== 0) return checked;

  console.log('\n== Search of the built-in job (noncesieve search)');
  return cli.main(['search', '--header', pow.SELFTEST.header, '--target', easierTarget()]);
}

main().then((code) => { process.exitCode = code; });
