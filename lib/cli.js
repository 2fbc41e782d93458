#!/usr/bin/env node
'use strict';
// noncesieve: find, check, measure and use the GPUs of this machine.
const path = require('path');
const { spawn } = require('child_process');
const pow = require('./pow');
const { MARK } = require('./cli-worker');
const { BACKEND_NAMES } = require('./devices');

const USAGE = {
  main: `Usage: noncesieve <command> [options]

Commands:
  devices    list every device each backend finds
  selftest   run each device's built-in self-test and check its result on the host
  bench      measure nonces per second per device
  search     search one job for a winning nonce

Options for every command:
  --backend cuda|opencl|auto   auto (default): CUDA devices when usable, else AMD
                               OpenCL GPUs, else every OpenCL device
  --device ID                  only this device (e.g. opencl:0, cuda:1 or 0); repeatable
  --verbose                    show the modules' own output on standard error
  --help                       this text, or a command's with "noncesieve <command> --help"`,
  devices: 'Usage: noncesieve devices [--backend B] [--device ID] [--json]',
  selftest: `Usage: noncesieve selftest [--backend B] [--device ID] [--work-size N]
  Runs each device's self-test and checks the nonce it reports (or that the range
  truly holds none) with BLAKE2s on the host. Exit status 1 on any failure.`,
  bench: `Usage: noncesieve bench [--seconds N] [--device ID] [--slots N] [--work-size N] [--json]
  Keeps every slot busy for N seconds (default 10) and prints nonces per second.`,
  search: `Usage: noncesieve search --header HEX --target HEX [--start N] [--max-nonces N]
                        [--device ID] [--slots N] [--work-size N]
  Header: 286 bytes (572 hex digits); target: 32 bytes, little-endian (byte 31
  most significant). Stops at the first nonce that verifies on the host, or after
  --max-nonces. Exit status 0 when a winner was found, 1 when none, 2 on bad input.`,
};

const VALUED = new Set(['backend', 'device', 'seconds', 'slots', 'work-size', 'header', 'target',
  'start', 'max-nonces']);

class UsageError extends Error {}

function parse(argv) {
  const options = { command: argv[0], devices: [], backend: 'auto', slots: 2, seconds: 10,
    start: 0, json: false, verbose: false, help: false };
  for (let i = 1; i < argv.length; i++) {
    const m = /^--([a-z-]+)(?:=(.*))?$/.exec(argv[i]);
    if (!m) throw new UsageError(`unexpected argument "${argv[i]}"`);
    const [, name, inline] = m;
    if (!VALUED.has(name)) {
      if (!['json', 'verbose', 'help'].includes(name)) throw new UsageError(`unknown option --${name}`);
      options[name] = true;
      continue;
    }
    const value = inline !== undefined ? inline : argv[++i];
    if (value === undefined) throw new UsageError(`--${name} needs a value`);
    if (name === 'device') options.devices.push(...value.split(','));
    else if (name === 'backend') {
      if (!['cuda', 'opencl', 'auto'].includes(value)) throw new UsageError('--backend is cuda, opencl or auto');
      options.backend = value;
    } else if (name === 'header' || name === 'target') options[name] = value;
    else {
      const n = Number(value);
      const key = name.replace(/-([a-z])/g, (_, c) => c.toUpperCase());
      if (!Number.isSafeInteger(n) || n < 0 || (key !== 'start' && n === 0)) {
        throw new UsageError(`--${name} needs a whole number${key === 'start' ? '' : ' above 0'}`);
      }
      options[key] = n;
    }
  }
  if (options.workSize !== undefined && options.workSize % 256 !== 0) {
    throw new UsageError('--work-size must be a multiple of 256');
  }
  return options;
}

function hexBytes(text, bytes, name) {
  if (text === undefined) throw new UsageError(`--${name} is required`);
  if (!/^([0-9a-fA-F]{2})*$/.test(text)) throw new UsageError(`--${name} is not hex (pairs of 0-9, a-f)`);
  if (text.length !== 2 * bytes) {
    throw new UsageError(`--${name} must be ${bytes} bytes (${2 * bytes} hex digits), not ${text.length / 2}`);
  }
}

// Runs one command in the worker; calls onMessage for each message and
// collects the modules' own output.
function runWorker(options, onMessage) {
  return new Promise((resolve) => {
    const child = spawn(process.execPath, [path.join(__dirname, 'cli-worker.js'), JSON.stringify(options)],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    let pending = '';
    let chatter = '';
    let stderr = '';
    let reported = false;
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => {
      pending += chunk;
      let at;
      while ((at = pending.indexOf('\n')) >= 0) {
        const line = pending.slice(0, at);
        pending = pending.slice(at + 1);
        if (line.startsWith(MARK)) {
          const message = JSON.parse(line.slice(MARK.length));
          if (message.error) reported = true;
          onMessage(message, chatter);
        }
        else {
          chatter += line + '\n';
          if (options.verbose) process.stderr.write(line + '\n');
        }
      }
    });
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (chunk) => { stderr += chunk; });
    child.on('close', (code) => resolve({ code, stderr, chatter, reported }));
  });
}

// Progress of a running command: one line rewritten in place on a terminal,
// a plain line a second otherwise. done() ends the terminal's line.
function progressLine(enabled) {
  const tty = enabled && process.stdout.isTTY;
  let last = 0;
  return {
    show(nonces, elapsedMs) {
      if (!enabled) return;
      const line = `${(nonces / 1e6).toFixed(1)} M nonces, ` +
        `${(nonces / 1e3 / Math.max(elapsedMs, 1)).toFixed(1)} M/s, ${(elapsedMs / 1000).toFixed(1)} s`;
      if (tty) process.stdout.write(`\r${line}   `);
      else if (elapsedMs - last >= 1000) { last = elapsedMs; console.log(line); }
    },
    done() { if (tty) process.stdout.write('\n'); },
  };
}

// True when the worker failed; says why unless it already has.
function failWorker(result) {
  if (result.code === 0) return false;
  if (result.stderr) process.stderr.write(result.stderr);
  else if (!result.reported) process.stderr.write(`noncesieve: the device process ended with status ${result.code}\n`);
  return true;
}

// Names and memory as the modules report them: the names from their device
// summaries ("GPU#<n>, Name: <name>, ..."), the memory from clsieve's key or
// from nvsieve's batch size (80 % of the memory in 512 KiB units).
function nameAndMemory(d, chatter) {
  const named = new RegExp(`^ {4}GPU#${d.index}, Name: (.*), (Work size|Cuda threads)`, 'm').exec(chatter);
  const gb = /-(\d+)gb-\d+-\d+$/.exec(d.key);
  const memory = d.backend === 'cuda'
    ? `${(d.batch * 524288 / 0.8 / 2 ** 30).toFixed(1)} GiB`
    : gb ? `${gb[1]} GiB` : '?';
  return { name: named ? named[1] : d.key, memory };
}

async function devices(options) {
  let list = [];
  let missing = [];
  const result = await runWorker(options, (m, chatter) => {
    if (m.log) console.error(m.log);
    if (m.devices) list = m.devices.map((d) => ({ ...d, ...nameAndMemory(d, chatter) }));
    if (m.missing) missing = m.missing;
    if (m.error) console.error(`noncesieve: ${m.error}`);
  });
  if (failWorker(result)) return 1;
  if (options.json) {
    console.log(JSON.stringify(list));
    return 0;
  }
  if (list.length === 0) {
    console.log('No device found.');
    for (const m of missing) console.log(`${BACKEND_NAMES[m.backend]}: ${m.reason}.`);
    return 1;
  }
  console.log('device      batch  gran    memory  name (key)');
  for (const d of list) {
    console.log(`${d.device.padEnd(10)} ${String(d.batch).padStart(6)}  ${String(d.gran).padStart(4)}  ` +
      `${d.memory.padStart(8)}  ${d.name} (${d.key})`);
  }
  return 0;
}

// The self-test's range and header, as each backend scans them.
function selftestRange(d) {
  const header = Buffer.from(pow.SELFTEST.header, 'hex');
  if (d.backend === 'cuda') {
    Buffer.from('fdfeffff0f00', 'hex').copy(header, 280);
    return { header, start: 0, count: Math.floor(d.work / 512) * 512 };
  }
  return { header, start: pow.SELFTEST.startNonce, count: d.work * d.gran };
}

function checkSelftest(d, output) {
  const m = /^Result: (\d+)$/m.exec(output);
  if (!m) return 'no "Result:" line';
  const nonce = Number(m[1]);
  const target = Buffer.from(pow.SELFTEST.target, 'hex');
  const { header, start, count } = selftestRange(d);
  if (nonce !== pow.NOT_FOUND) {
    if (nonce < start || nonce >= start + count) return `nonce ${nonce} is outside the range scanned`;
    return pow.verifyNonce(header, target, nonce) ? null : `nonce ${nonce} does not verify`;
  }
  const t = pow.targetTop64(target);
  for (let n = start; n < start + count; n++) {
    if (pow.hashTop64(header, n) < t) return `reported no winner, but ${n} wins`;
  }
  return null;
}

async function selftest(options) {
  options.workSize = options.workSize || 65536;
  let failures = 0;
  let current = null;
  let mark = 0;
  const result = await runWorker(options, (m, chatter) => {
    if (m.log) console.error(m.log);
    if (m.selftestBegin) { current = m.selftestBegin; mark = chatter.length; }
    if (m.selftestEnd) {
      const output = chatter.slice(mark);
      const problem = checkSelftest(current, output);
      const time = (/^(.*) ms$/m.exec(output) || [, '?'])[1];
      if (problem) failures++;
      console.log(`${current.device.padEnd(10)} ${problem ? 'FAIL' : 'pass'}  ${time} ms  ${current.key}` +
        (problem ? `: ${problem}` : ''));
    }
    if (m.error) { console.error(`noncesieve: ${m.error}`); failures++; }
  });
  if (failWorker(result)) return 1;
  return failures ? 1 : 0;
}

async function bench(options) {
  const progress = progressLine(!options.json);
  let list = [];
  let final = null;
  const result = await runWorker(options, (m) => {
    if (m.log) console.error(m.log);
    if (m.devices) list = m.devices;
    if (m.progress) progress.show(m.progress.reduce((a, b) => a + b, 0), m.elapsedMs);
    if (m.bench) final = m;
    if (m.error) console.error(`noncesieve: ${m.error}`);
  });
  progress.done();
  if (failWorker(result) || !final) return 1;
  const rows = list.map((d, n) => ({ ...d, noncesPerSecond: final.bench[n] / (final.elapsedMs / 1000) }));
  const total = rows.reduce((a, r) => a + r.noncesPerSecond, 0);
  if (options.json) {
    console.log(JSON.stringify({ seconds: final.elapsedMs / 1000, slots: options.slots, devices: rows,
      totalNoncesPerSecond: total }));
    return 0;
  }
  for (const r of rows) {
    console.log(`${r.device.padEnd(10)} ${(r.noncesPerSecond / 1e6).toFixed(1).padStart(9)} M/s  ${r.key}`);
  }
  console.log(`${'total'.padEnd(10)} ${(total / 1e6).toFixed(1).padStart(9)} M/s`);
  return 0;
}

async function search(options) {
  hexBytes(options.header, pow.HEADER_BYTES, 'header');
  hexBytes(options.target, pow.TARGET_BYTES, 'target');
  const progress = progressLine(true);
  let outcome = null;
  const result = await runWorker(options, (m) => {
    if (m.log) console.error(m.log);
    if (m.devices) {
      console.log(`Searching from ${options.start} on ${m.devices.map((d) => d.device).join(', ')}`);
    }
    if (m.progress) progress.show(m.progress.scanned, m.progress.elapsedMs);
    if (m.rejected !== undefined) console.error(`device ${m.device} reported ${m.rejected}, which does not verify`);
    if (m.search) outcome = m.search;
    if (m.error) console.error(`noncesieve: ${m.error}`);
  });
  progress.done();
  if (failWorker(result) || !outcome) return 1;
  const took = `${(outcome.scanned / 1e6).toFixed(1)} M nonces in ${(outcome.elapsedMs / 1000).toFixed(1)} s`;
  if (outcome.nonce === null) {
    console.log(`No winner after ${took}.`);
    return 1;
  }
  const header = Buffer.from(options.header, 'hex');
  const hash = pow.hashTop64(header, outcome.nonce).toString(16).padStart(16, '0');
  console.log(`Winner: ${outcome.nonce} (hash bytes 24-31 0x${hash}), verified on the host, after ${took}.`);
  return 0;
}

const COMMANDS = { devices, selftest, bench, search };

async function main(argv) {
  if (argv.length === 0 || argv[0] === '--help' || argv[0] === 'help') {
    console.log(USAGE.main);
    return argv.length === 0 ? 2 : 0;
  }
  if (!COMMANDS[argv[0]]) {
    console.error(`noncesieve: unknown command "${argv[0]}"\n\n${USAGE.main}`);
    return 2;
  }
  try {
    const options = parse(argv);
    if (options.help) {
      console.log(USAGE[options.command]);
      return 0;
    }
    return await COMMANDS[options.command](options);
  } catch (err) {
    if (!(err instanceof UsageError)) throw err;
    console.error(`noncesieve ${argv[0]}: ${err.message}\n\n${USAGE[argv[0]]}`);
    return 2;
  }
}

if (require.main === module) {
  main(process.argv.slice(2)).then((code) => { process.exitCode = code; });
}

module.exports = { main, parse };
