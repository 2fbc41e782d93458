#!/usr/bin/env node
'use strict';
// noncesieve: find, check, measure and use the GPUs of this machine.
const pow = require('./pow');
const { judgeModuleTest } = require('./selftest');
const { workSizeProblem, MAX_SLOTS } = require('./work');
const { EXIT } = require('./cli-worker');
const { startDeviceProcess } = require('./device-process');
const { openRig, CODES } = require('./rig');
const { storeKernel, KERNELS } = require('./sweep');
const { BACKEND_NAMES, summaryName } = require('./devices');

const VERSION = require('../package.json').version;

const STATUS_TEXT = `Exit status: 0 winner found, self-test passed or command done; 1 no winner
within --max-nonces or below 2^48, or a self-test check failed; 2 bad usage
(an option, work size or device refused); 3 no usable device; 4 a device or
its module failed (or, without a winner, reported nonces that do not win).`;

const USAGE = {
  main: `Usage: noncesieve <command> [options]

Commands:
  devices    list every device each backend finds, and why one cannot be used
  selftest   check each device against answers computed on the host
  bench      measure nonces per second per device (--sweep: choose a work size)
  search     search one job for a winning nonce

Options for every command:
  --backend cuda|opencl|auto   default auto: CUDA devices when usable, else AMD
                               OpenCL GPUs, else every OpenCL device
  --device ID                  only this device (e.g. opencl:0, cuda:1 or 0);
                               repeatable; default every usable device
  --verbose                    show the modules' own output on standard error
  -h, --help                   this text, or a command's: noncesieve <command> --help
  --version                    the version of noncesieve

A scan covers work size x get_gran nonces; a work size is a positive multiple
of 256 on OpenCL and of 512 on CUDA.

${STATUS_TEXT}`,
  devices: `Usage: noncesieve devices [--backend B] [--device ID] [--json]
  Lists each device with its batch size, granularity, memory, name and key;
  a device this build cannot run is listed as unsupported, with the reason,
  and a backend that found no device says why.
  --json    one JSON array instead of the table (memory in bytes)

${STATUS_TEXT}`,
  selftest: `Usage: noncesieve selftest [--backend B] [--device ID] [--work-size N] [--json]
  On every chosen device: the module's own self-test, judged on the host, and
  known-answer scans of the built-in header: a range holding one winner, one
  holding none, and a hash equal to the target (which does not win). The
  answers are computed with BLAKE2s on the host.
  --work-size N   work size of the scans (default 65536; each range is hashed
                  nonce by nonce on the host too)
  --json          one JSON object: passed, and per device every check

${STATUS_TEXT}`,
  bench: `Usage: noncesieve bench [--seconds N] [--slots N] [--work-size N] [--sweep] [--json]
  Keeps every slot busy and prints nonces per second.
  --seconds N     how long (default 10; with --sweep, per point: default 0.5)
  --slots N       scans in flight per device, 1 to 64 (default 2)
  --work-size N   work size per scan (default: the sweep's choice for the device,
                  from an earlier --sweep, else from a short sweep at first use)
  --sweep         measure each device over work sizes and slot counts (1, 2, 4, or
                  --slots), print rate and scan time of each, and the choice: the
                  smallest work size within 2 % of the best rate whose scan takes
                  at most 100 ms; the choice is kept for search and bench
  --json          one JSON object

${STATUS_TEXT}`,
  search: `Usage: noncesieve search --header HEX --target HEX [--start N] [--max-nonces N]
                        [--device ID] [--slots N] [--work-size N] [--json]
  --header HEX      286 bytes (572 hex digits)
  --target HEX      32 bytes, little-endian (byte 31 most significant)
  --start N         first nonce (default 0; below 2^48, the nonce field's end)
  --max-nonces N    stop after handing out this many nonces (default: no limit;
                    the search ends at 2^48 in any case)
  --slots N         scans in flight per device, 1 to 64 (default 2)
  --work-size N     work size per scan (default: the sweep's choice, see bench)
  --json            one JSON object: winner, hash, range searched, per device
  Stops at the first nonce that verifies on the host.

${STATUS_TEXT}`,
};

const VALUED = new Set(['backend', 'device', 'seconds', 'slots', 'work-size', 'header', 'target',
  'start', 'max-nonces']);
const FLAGS = new Set(['json', 'verbose', 'help', 'sweep', 'version']);

class UsageError extends Error {}

function wholeNumber(name, value, { zero = false } = {}) {
  const n = Number(value);
  if (value === '' || !Number.isSafeInteger(n) || n < 0 || (!zero && n === 0)) {
    throw new UsageError(`--${name} needs a whole number${zero ? '' : ' above 0'}, not "${value}"`);
  }
  return n;
}

function parse(argv) {
  const options = { command: argv[0], devices: [], backend: 'auto', slots: 2, start: 0,
    json: false, verbose: false, help: false, sweep: false, version: false };
  for (let i = 1; i < argv.length; i++) {
    if (argv[i] === '-h') { options.help = true; continue; }
    const m = /^--([a-z-]+)(?:=(.*))?$/.exec(argv[i]);
    if (!m) throw new UsageError(`unexpected argument "${argv[i]}"`);
    const [, name, inline] = m;
    if (!VALUED.has(name)) {
      if (!FLAGS.has(name)) throw new UsageError(`unknown option --${name}`);
      options[name] = true;
      continue;
    }
    const value = inline !== undefined ? inline : argv[++i];
    if (value === undefined) throw new UsageError(`--${name} needs a value`);
    if (name === 'device') options.devices.push(...value.split(',').filter(Boolean));
    else if (name === 'backend') {
      if (!['cuda', 'opencl', 'auto'].includes(value)) throw new UsageError('--backend is cuda, opencl or auto');
      options.backend = value;
    } else if (name === 'header' || name === 'target') options[name] = value;
    else if (name === 'seconds') {
      const s = Number(value);
      if (value === '' || !Number.isFinite(s) || s <= 0) throw new UsageError(`--seconds needs a number above 0, not "${value}"`);
      options.seconds = s;
    } else if (name === 'start') {
      options.start = wholeNumber(name, value, { zero: true });
      if (options.start >= pow.NONCE_LIMIT) {
        throw new UsageError(`--start must be below 2^48 (${pow.NONCE_LIMIT}): nonces are 48 bits, header bytes 280-285`);
      }
    } else if (name === 'slots') {
      const n = Number(value);
      if (value === '' || !Number.isInteger(n) || n < 1 || n > MAX_SLOTS) {
        throw new UsageError(`--slots needs a count from 1 to ${MAX_SLOTS} (scans in flight per device), not "${value}"`);
      }
      options.slots = n;
      options.slotsGiven = true;
    } else {
      const key = name.replace(/-([a-z])/g, (_, c) => c.toUpperCase());
      options[key] = wholeNumber(name, value);
    }
  }
  if (options.workSize !== undefined && options.backend !== 'auto') {
    const problem = workSizeProblem(options.backend, options.workSize);
    if (problem) throw new UsageError(`--work-size: ${problem}`);
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

// Runs one command in the device process; calls onMessage for each message
// and collects the modules' own output. Resolves to { code, stderr, chatter,
// error }, error being the worker's own { error, status } when it sent one.
async function runWorker(options, onMessage, env = {}) {
  let error = null;
  const { done } = startDeviceProcess(options, {
    env: { ...process.env, ...env },
    onMessage(message, chatter) {
      if (message.log) console.error(message.log);
      if (message.error) error = message;
      else onMessage(message, chatter);
    },
    onOutput: (line) => { if (options.verbose) process.stderr.write(line + '\n'); },
  });
  const { code, signal, stderr, output } = await done;
  return { code, signal, stderr, chatter: output, error };
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

// The exit status of a worker that did not finish its work, or null when it
// did. Says why.
function workerFailure(result) {
  if (result.error) {
    console.error(`noncesieve ${result.error.status === EXIT.USAGE ? 'refused' : 'failed'}: ${result.error.error}`);
    return result.error.status;
  }
  if (result.code === 0) return null;
  if (result.stderr) process.stderr.write(result.stderr);
  console.error(`noncesieve: the device process ended with ${result.signal ? `signal ${result.signal}` :
    `status ${result.code}`} (a device or its module failed)`);
  return EXIT.DEVICE_FAILURE;
}

async function devices(options) {
  let list = [];
  let missing = [];
  const result = await runWorker(options, (m, chatter) => {
    if (m.devices) {
      list = m.devices.map((d) => ({ ...d, name: summaryName(d, chatter) }));
      missing = m.missing;
    }
  });
  if (result.error && result.error.status === EXIT.NO_DEVICE && !options.json) {
    console.log('No device found.');
    for (const m of result.error.missing || []) console.log(`${BACKEND_NAMES[m.backend]}: ${m.reason}.`);
    return EXIT.NO_DEVICE;
  }
  const failed = workerFailure(result);
  if (failed !== null) return failed;
  if (options.json) {
    console.log(JSON.stringify(list));
    return EXIT.OK;
  }
  console.log('device      batch  gran    memory  name (key)');
  for (const d of list) {
    const memory = d.memory === null ? '?' : `${(d.memory / 2 ** 30).toFixed(1)} GiB`;
    console.log(`${d.device.padEnd(10)} ${String(d.batch).padStart(6)}  ${String(d.gran).padStart(4)}  ` +
      `${memory.padStart(8)}  ${d.name} (${d.key})`);
    if (d.compute) {
      console.log(`           CUDA: compute capability ${d.compute}; runs ${d.runs || 'nothing'}; driver ${d.driver}`);
    }
    if (d.unsupported) console.log(`           unsupported: ${d.unsupported}`);
    const sensors = healthText(d.health);
    if (sensors) console.log(`           ${sensors}`);
  }
  for (const m of missing) console.log(`${BACKEND_NAMES[m.backend]}: ${m.reason}.`);
  return list.some((d) => !d.unsupported) ? EXIT.OK : EXIT.NO_DEVICE;
}

async function selftest(options) {
  const report = [];
  let current = null;
  let mark = 0;
  const result = await runWorker(options, (m, chatter) => {
    if (m.selftestBegin) {
      current = { ...m.selftestBegin, checks: [] };
      report.push(current);
      mark = chatter.length;
    }
    if (m.selftestEnd) {
      const judged = judgeModuleTest(current.backend, current.noncesPerScan, chatter.slice(mark));
      current.checks.push({ what: 'the module\'s self-test', ...judged });
    }
    if (m.knownAnswer) {
      const { device, ...check } = m.knownAnswer;
      current.checks.push(check);
    }
  });
  const failed = workerFailure(result);
  for (const d of report) d.passed = d.checks.length === 4 && d.checks.every((c) => !c.problem);
  const passed = failed === null && report.length > 0 && report.every((d) => d.passed);
  if (options.json) {
    console.log(JSON.stringify({ passed, devices: report }));
  } else {
    for (const d of report) {
      const time = d.checks[0] && d.checks[0].ms !== null ? `${d.checks[0].ms} ms` : '? ms';
      console.log(`${d.device.padEnd(10)} ${d.passed ? 'pass' : 'FAIL'}  ${time}  ${d.key}`);
      for (const c of d.checks.filter((x) => x.problem)) {
        const range = c.range ? ` [${c.range[0]}, ${c.range[1]})` : '';
        console.log(`           ${c.what}${range}: ${c.problem}`);
      }
    }
  }
  if (failed !== null) return failed;
  return passed ? EXIT.OK : EXIT.NONE;
}

function sweepTable(rows) {
  return rows.map((r) => `${r.device.padEnd(10)} ${String(r.work).padStart(11)} ${String(r.slots).padStart(5)} ` +
    `${(r.noncesPerSecond / 1e6).toFixed(1).padStart(9)} M/s ${r.scanMs.toFixed(1).padStart(8)} ms`);
}

// One sweep in a device process (with `env` added to its environment): its
// rows and choices, printed as they come unless --json.
async function sweepRun(options, env = {}) {
  const rows = [];
  const choices = [];
  const result = await runWorker({ ...options, command: 'sweep' }, (m) => {
    if (m.sweepBegin && !options.json) {
      const kernel = m.sweepBegin.kernel ? ` (${m.sweepBegin.kernel} kernel)` : '';
      console.log(`${m.sweepBegin.device}: ${m.sweepBegin.key}${kernel}\n` +
        'device       work size slots      rate  scan time');
    }
    if (m.sweepRow) {
      rows.push(m.sweepRow);
      if (!options.json) console.log(sweepTable([m.sweepRow])[0]);
    }
    if (m.sweepEnd) {
      for (const c of m.sweepEnd.choices) {
        choices.push({ device: m.sweepEnd.device, key: m.sweepEnd.key, kernel: m.sweepEnd.kernel, ...c });
        if (!options.json) {
          console.log(`${m.sweepEnd.device} choice with ${c.slots} slot${c.slots === 1 ? '' : 's'}: work size ` +
            `${c.work} (${(c.noncesPerSecond / 1e6).toFixed(1)} M/s, ${c.scanMs.toFixed(1)} ms a scan)`);
        }
      }
    }
  }, env);
  return { rows, choices, failed: workerFailure(result) };
}

// bench --sweep: work sizes on every chosen device; on CUDA devices, unless
// NVSIEVE_KERNEL names a kernel, for each of nvsieve's two kernels, keeping
// the faster one's name for the device's key.
async function benchSweep(options) {
  const chooseKernel = !process.env.NVSIEVE_KERNEL && options.backend !== 'opencl';
  const first = await sweepRun(options, chooseKernel ? { NVSIEVE_KERNEL: KERNELS[0] } : {});
  if (first.failed !== null) return first.failed;
  const { rows, choices } = first;
  const kernels = [];
  const cuda = [...new Set(choices.filter((c) => c.device.startsWith('cuda:')).map((c) => c.device))];
  if (chooseKernel && cuda.length) {
    const other = await sweepRun({ ...options, backend: 'cuda', devices: cuda }, { NVSIEVE_KERNEL: KERNELS[1] });
    if (other.failed !== null) return other.failed;
    rows.push(...other.rows);
    choices.push(...other.choices);
    for (const device of cuda) {
      const mine = choices.filter((c) => c.device === device);
      const best = (kernel) => Math.max(...mine.filter((c) => c.kernel === kernel).map((c) => c.noncesPerSecond));
      const rates = Object.fromEntries(KERNELS.map((k) => [k, best(k)]));
      const kernel = rates[KERNELS[1]] > rates[KERNELS[0]] ? KERNELS[1] : KERNELS[0];
      storeKernel(mine[0].key, kernel);
      kernels.push({ device, key: mine[0].key, kernel, noncesPerSecond: rates });
      if (!options.json) {
        console.log(`${device} kernel: ${kernel} (${KERNELS.map((k) => `${k} ${(rates[k] / 1e6).toFixed(1)} M/s`)
          .join(', ')}); search, bench and openRig use it unless NVSIEVE_KERNEL says otherwise`);
      }
    }
  }
  if (options.json) console.log(JSON.stringify({ rows, choices, kernels }));
  return EXIT.OK;
}

// A device's health in a few words: the figures it reports, and why any
// could not be read; '' when it reports none.
function healthText(h) {
  const parts = [];
  if (h.temperature !== null) parts.push(`${h.temperature} °C`);
  if (h.power !== null) parts.push(`${h.power.toFixed(1)} W`);
  if (h.fan !== null) parts.push(`fan ${h.fan} ${h.fanUnit === 'rpm' ? 'RPM' : '%'}`);
  if (h.coreClock !== null || h.memoryClock !== null) {
    parts.push(`core ${h.coreClock ?? '?'} MHz, memory ${h.memoryClock ?? '?'} MHz`);
  }
  if (h.why) parts.push(`(${h.why})`);
  return parts.join(', ');
}

// The command's rig: the device process's notes on standard error, and the
// modules' own output there too with --verbose.
function commandRig(options) {
  return openRig({
    backend: options.backend, devices: options.devices, slots: options.slots,
    workSize: options.workSize === undefined ? 'auto' : options.workSize,
    onLog: (line) => console.error(line),
    onOutput: (line) => { if (options.verbose) process.stderr.write(line + '\n'); },
  });
}

// The exit status for an error of the rig, saying why.
function rigFailure(err) {
  const message = err.message.replace(/^openRig: /, '');
  if (err instanceof TypeError || err instanceof RangeError) {
    console.error(`noncesieve refused: ${message}`);
    return EXIT.USAGE;
  }
  if (err.code === CODES.NO_DEVICE) {
    console.error(`noncesieve failed: ${message}`);
    return EXIT.NO_DEVICE;
  }
  if (err.code !== CODES.DEVICE_FAILURE) throw err;
  if (err.stderr) process.stderr.write(err.stderr);
  else console.error(message);
  console.error(`noncesieve: the device process ended with ${err.signal ? `signal ${err.signal}` :
    `status ${err.status}`} (a device or its module failed)`);
  return EXIT.DEVICE_FAILURE;
}

// A device of the rig as the command reports it, with `extra` (its counts).
const deviceRow = (d, extra) => ({ device: d.device, backend: d.backend, index: d.index, key: d.key,
  work: d.workSize, gran: d.gran, noncesPerScan: d.noncesPerScan, kernel: d.kernel, ...extra });

// Opens the command's rig and runs `use(rig)` on it; closes it after.
async function withRig(options, use) {
  let rig;
  try {
    rig = await commandRig(options);
    const status = await use(rig);
    await rig.close();
    return status;
  } catch (err) {
    return rigFailure(err);
  }
}

function bench(options) {
  if (options.sweep) return benchSweep(options);
  const seconds = options.seconds || 10;
  const progress = progressLine(!options.json);
  return withRig(options, async (rig) => {
    rig.on('progress', (p) => progress.show(p.scanned, p.elapsedMs));
    const result = await rig.bench(seconds);
    const health = await rig.health();
    progress.done();
    const rows = rig.devices.map((d, n) => {
      const noncesPerSecond = result.devices[n].scanned / (result.elapsedMs / 1000);
      const { device, ...figures } = health[n];
      // Nonces per joule where the power is known.
      const perJoule = figures.power ? { noncesPerJoule: noncesPerSecond / figures.power } : {};
      return deviceRow(d, { noncesPerSecond, health: figures, ...perJoule });
    });
    const total = rows.reduce((a, r) => a + r.noncesPerSecond, 0);
    if (options.json) {
      console.log(JSON.stringify({ seconds: result.elapsedMs / 1000, slots: options.slots, devices: rows,
        totalNoncesPerSecond: total }));
      return EXIT.OK;
    }
    for (const r of rows) {
      console.log(`${r.device.padEnd(10)} ${(r.noncesPerSecond / 1e6).toFixed(1).padStart(9)} M/s  ` +
        `work size ${r.work}  ${r.key}`);
      const sensors = healthText(r.health);
      const perJoule = r.noncesPerJoule ? `, ${(r.noncesPerJoule / 1e6).toFixed(2)} M nonces/J` : '';
      if (sensors) console.log(`${' '.repeat(10)} ${sensors}${perJoule}`);
    }
    console.log(`${'total'.padEnd(10)} ${(total / 1e6).toFixed(1).padStart(9)} M/s`);
    return EXIT.OK;
  });
}

async function search(options) {
  hexBytes(options.header, pow.HEADER_BYTES, 'header');
  hexBytes(options.target, pow.TARGET_BYTES, 'target');
  const say = options.json ? () => {} : (line) => console.log(line);
  const progress = progressLine(!options.json);
  const header = Buffer.from(options.header, 'hex');
  return withRig(options, async (rig) => {
    say(`Searching from ${options.start} on ` +
      `${rig.devices.map((d) => `${d.device} (work size ${d.workSize})`).join(', ')}`);
    rig.on('rejected', (r) => console.error(`${r.device} reported ${r.nonce} for [${r.range[0]}, ${r.range[1]}), ` +
      'which is not a winner of that range'));
    const outcome = await rig.search({ header, target: Buffer.from(options.target, 'hex'), start: options.start,
      maxNonces: options.maxNonces === undefined ? Infinity : options.maxNonces,
      onProgress: (p) => progress.show(p.scanned, p.elapsedMs) });
    progress.done();
    const hash = outcome.nonce === null ? null : outcome.hashTop64.toString(16).padStart(16, '0');
    if (options.json) {
      console.log(JSON.stringify({
        winner: outcome.nonce, hashTop64: hash === null ? null : `0x${hash}`,
        range: { start: options.start, end: outcome.end }, scanned: outcome.scanned,
        elapsedMs: outcome.elapsedMs, exhausted: outcome.exhausted, rejected: outcome.rejected,
        devices: rig.devices.map((d, n) => deviceRow(d, { scanned: outcome.devices[n].scanned,
          rejected: outcome.devices[n].rejected })),
      }));
    } else {
      const took = `${(outcome.scanned / 1e6).toFixed(1)} M nonces in ${(outcome.elapsedMs / 1000).toFixed(1)} s`;
      if (outcome.nonce !== null) {
        say(`Winner: ${outcome.nonce} (hash bytes 24-31 0x${hash}), verified on the host, after ${took}.`);
      } else if (outcome.rejected > 0) {
        say(`No verified winner after ${took}; but ${outcome.rejected} scan${outcome.rejected === 1 ? '' : 's'} ` +
          'reported a nonce that is not a winner of its range, so those ranges may hide one.');
      } else if (outcome.exhausted) {
        say(`No winner from ${options.start} up to 2^48, where the 48-bit nonce field ends (${took}).`);
      } else {
        say(`No winner after ${took}.`);
      }
    }
    if (outcome.nonce !== null) return EXIT.OK;
    // A device that reports wrong nonces may have missed the right ones.
    return outcome.rejected > 0 ? EXIT.DEVICE_FAILURE : EXIT.NONE;
  });
}

const COMMANDS = { devices, selftest, bench, search };

async function main(argv) {
  if (argv.length === 0 || argv[0] === '--help' || argv[0] === '-h' || argv[0] === 'help') {
    console.log(USAGE.main);
    return argv.length === 0 ? EXIT.USAGE : EXIT.OK;
  }
  if (argv[0] === '--version') {
    console.log(VERSION);
    return EXIT.OK;
  }
  if (!COMMANDS[argv[0]]) {
    console.error(`noncesieve: unknown command "${argv[0]}"\n\n${USAGE.main}`);
    return EXIT.USAGE;
  }
  try {
    const options = parse(argv);
    if (options.help) {
      console.log(USAGE[options.command]);
      return EXIT.OK;
    }
    if (options.version) {
      console.log(VERSION);
      return EXIT.OK;
    }
    return await COMMANDS[options.command](options);
  } catch (err) {
    if (!(err instanceof UsageError)) throw err;
    console.error(`noncesieve ${argv[0]}: ${err.message}\n\n${USAGE[argv[0]]}`);
    return EXIT.USAGE;
  }
}

if (require.main === module) {
  main(process.argv.slice(2)).then((code) => { process.exitCode = code; });
}

module.exports = { main, parse, EXIT };
