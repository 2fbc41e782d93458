'use strict';
// The CLI's device work, run in a child process: the modules print their own
// summaries on standard output and end the process on a GPU failure, so the
// CLI keeps its own output and its own life apart. Messages to the parent are
// JSON lines behind MARK on standard output; everything else there is the
// modules' own output.
const pow = require('./pow');
const { openBackends, BACKEND_NAMES } = require('./devices');
const readline = require('readline');
const { LaneRunner, scanOnce } = require('./search');
const health = require('./health');
const { noncesPerScan, workSizeProblem, WORK_SIZE_STEP } = require('./work');
const { knownAnswers, judgeScan } = require('./selftest');
const sweep = require('./sweep');

const MARK = '\u001eNS ';
const send = (message) => process.stdout.write(MARK + JSON.stringify(message) + '\n');

// Exit statuses of the command.
const EXIT = Object.freeze({
  OK: 0,             // a winner was found, the self-test passed, the command did its work
  NONE: 1,           // no winner within --max-nonces (or below 2^48); a self-test check failed
  USAGE: 2,          // bad usage: an option, a work size or a device the command refuses
  NO_DEVICE: 3,      // no usable device
  DEVICE_FAILURE: 4, // a device or its module failed (the device process ended early)
});

class CommandError extends Error {
  constructor(message, status, details = {}) {
    super(message);
    this.status = status;
    this.details = details;
  }
}

// The self-test's own work size: its ranges are checked nonce by nonce on the host.
const SELFTEST_WORK = 65536;

// The backends that the options name: --backend, or the prefixes of --device.
function backendChoices(options) {
  if (options.backend !== 'auto') return [options.backend];
  const prefixes = new Set(options.devices.map((id) => (/^(cuda|opencl):/.exec(id) || [])[1]));
  if (options.devices.length === 0 || prefixes.has(undefined)) return ['auto'];
  return [...prefixes];
}

// Opens the chosen backends and devices: [{ backend, gpu, index, key }]. With
// `all`, devices that cannot run are listed too, with their reason. Each
// backend that was tried and gave no device is put in `missing`, with why;
// when no device is found at all, the error says so per backend.
function chooseDevices(options, { all = false, missing = [] } = {}) {
  const named = options.devices;
  const matched = new Set();
  const chosen = [];
  const why = (backend, reason) => missing.push({ backend, reason });
  let seen = 0;
  for (const choice of backendChoices(options)) {
    for (const { backend, gpu, devices, widened } of openBackends(choice, (line) => send({ log: line }), why)) {
      for (const { index, unsupported, ...cuda } of devices) {
        seen++;
        const id = `${backend}:${index}`;
        const names = [id, String(index)].filter((n) => named.includes(n));
        if (named.length && names.length === 0) continue;
        names.forEach((n) => matched.add(n));
        // clsieve names a device only once it is initialised (below).
        const d = { backend, gpu, index, id, key: backend === 'cuda' ? gpu.get_key(index) : null, cuda,
          amd: backend === 'opencl' && amdPlatform(widened) };
        if (unsupported && !all) {
          if (named.length) {
            throw new CommandError(`${id} (${d.key}) cannot be used: ${unsupported}`, EXIT.USAGE, { option: 'devices' });
          }
          send({ log: `Skipping ${id} (${d.key}): ${unsupported}` });
          continue;
        }
        chosen.push(unsupported ? { ...d, unsupported } : d);
      }
    }
  }
  if (seen === 0) {
    throw new CommandError(`no device found${missing.map((m) => `; ${BACKEND_NAMES[m.backend]}: ${m.reason}`).join('')}`,
      EXIT.NO_DEVICE, { missing });
  }
  const unknown = named.filter((n) => !matched.has(n));
  if (unknown.length) {
    throw new CommandError(`no device ${unknown.join(', ')} (see "noncesieve devices")`, EXIT.USAGE,
      { option: 'devices' });
  }
  if (chosen.length === 0) throw new CommandError('no usable device found (see "noncesieve devices")', EXIT.NO_DEVICE);
  return chosen;
}

// clsieve lists AMD's GPUs unless its discovery was widened or pointed
// elsewhere: only those have the amdgpu driver's sensors.
function amdPlatform(widened) {
  const vendor = process.env.CLSIEVE_PLATFORM_VENDOR;
  return !widened && (vendor === undefined || vendor.includes('Advanced Micro Devices'));
}

// What a device runs: nvsieve's kernel (NVSIEVE_KERNEL), or clsieve's
// program, a prebuilt image (two nonces a work item) or the source.
function kernelOf(d) {
  if (d.backend === 'cuda') return process.env.NVSIEVE_KERNEL || sweep.KERNELS[0];
  return d.gran === undefined ? undefined : d.gran === 2 ? 'image' : 'source';
}

// The kernel nvsieve launches in this process, read when its context is
// made: the rig's option, else NVSIEVE_KERNEL, else the faster one on these
// devices as bench --sweep measured it (the first device's when they differ).
function chooseKernel(options) {
  if (options.kernel && options.kernel !== 'auto') {
    process.env.NVSIEVE_KERNEL = options.kernel;
    return;
  }
  if (process.env.NVSIEVE_KERNEL || options.backend === 'opencl') return;
  const keys = require('./nvsieve').deviceKeys();
  const kernel = keys.length ? sweep.cachedKernel(keys[0]) : null;
  if (kernel) process.env.NVSIEVE_KERNEL = kernel;
}

// Scans run on Node's worker pool, one pool thread per scan in flight: give
// every lane a thread, and one more for the rest of the process.
function sizeThreadPool(lanes) {
  const asked = Number(process.env.UV_THREADPOOL_SIZE) || 4;
  const size = Math.min(1024, Math.max(asked, lanes + 1));
  process.env.UV_THREADPOOL_SIZE = String(size);
  return size;
}

// Initialises the chosen devices, grouped by context, each with its `work`.
function initialise(chosen, slots) {
  const byContext = new Map();
  for (const d of chosen) {
    if (!byContext.has(d.gpu)) byContext.set(d.gpu, []);
    byContext.get(d.gpu).push(d);
  }
  for (const [gpu, list] of byContext) {
    gpu.init_devices(list.map((d) => d.index), list.map(() => slots), list.map((d) => d.work), true);
    if (list[0].backend === 'cuda') gpu.create_buffers();
  }
  for (const d of chosen) {
    d.slots = slots;
    d.gran = d.gpu.get_gran(d.index);
    d.span = noncesPerScan(d.backend, d.work, d.gran);
    if (d.key === null) d.key = d.gpu.get_key(d.index);
  }
  return [...byContext.keys()];
}

// The work size of every chosen device: --work-size when given (refused
// unless the device's backend accepts it), else `fallback(d)`.
async function chooseWork(chosen, options, fallback) {
  for (const d of chosen) {
    if (options.workSize !== undefined) {
      const problem = workSizeProblem(d.backend, options.workSize);
      if (problem) {
        throw new CommandError(`--work-size for ${d.id}: ${problem}`, EXIT.USAGE,
          { option: 'workSize', problem: `${d.id}: ${problem}` });
      }
      d.work = options.workSize;
    } else {
      d.work = await fallback(d);
    }
  }
}

// clsieve gives a device's key only once it is initialised: an initialisation
// with one slot is enough.
function nameDevice(d) {
  if (d.key !== null) return;
  d.gpu.init_devices([d.index], [1], [WORK_SIZE_STEP[d.backend]], true);
  d.key = d.gpu.get_key(d.index);
}

// The work size of the sweep's choice for this device and slot count: the
// one cached by an earlier sweep, else a short sweep now (cached for later).
async function sweptWork(d, options) {
  nameDevice(d);
  const cached = sweep.cachedChoice(d, options.slots);
  if (cached) return cached.work;
  send({ log: `Choosing a work size for ${d.id} (once; "noncesieve bench --sweep" measures more)` });
  const { choice } = await sweep.sweepDevice(d, { slots: [options.slots], quick: true });
  sweep.storeChoices(d, [choice]);
  return choice.work;
}

// Every slot of every chosen device; `of` is the device's position in `chosen`.
function laneList(chosen, slots) {
  return chosen.flatMap((d, of) => Array.from({ length: slots },
    (_, slot) => ({ gpu: d.gpu, device: d.index, slot, span: d.span, of })));
}

// A device's memory in bytes, to the MiB, from an uncapped batch size (80 %
// of the memory in 512 KiB units). Null when the batch size is 0.
function memoryBytes(batch) {
  return batch > 0 ? Math.round(batch * 524288 / 0.8 / 2 ** 20) * 2 ** 20 : null;
}

function describeDevice(d) {
  // CUDA devices also say what they run, their compute capability and the driver.
  const info = { device: d.id, backend: d.backend, index: d.index, key: d.key, ...d.cuda };
  info.batch = d.backend === 'cuda' ? d.gpu.get_batch_size(d.index) : d.gpu.get_batch_size(d.index, 1);
  // clsieve caps its batch size at 4200 MiB per unit of the multiplier: a large one lifts the cap.
  info.memory = memoryBytes(d.backend === 'cuda' ? info.batch : d.gpu.get_batch_size(d.index, 2 ** 20));
  if (d.unsupported) return { ...info, gran: 0, unsupported: d.unsupported };
  return { ...info, work: d.work, slots: d.slots, gran: d.gran, noncesPerScan: d.span, kernel: kernelOf(d) };
}

const commands = {
  devices(options) {
    const missing = [];
    const chosen = chooseDevices(options, { all: true, missing });
    const usable = chosen.filter((d) => !d.unsupported);
    // clsieve knows a device's granularity only once it is initialised (one slot).
    for (const d of usable) d.work = WORK_SIZE_STEP[d.backend];
    initialise(usable, 1);
    send({ devices: chosen.map((d) => ({ ...describeDevice(d), health: health.readHealth(d) })), missing });
  },

  async selftest(options) {
    const chosen = chooseDevices(options);
    sizeThreadPool(chosen.length);
    await chooseWork(chosen, options, () => SELFTEST_WORK);
    initialise(chosen, 1);
    for (const d of chosen) {
      send({ selftestBegin: describeDevice(d) });
      d.gpu.test(d.index);
      send({ selftestEnd: d.id });
      for (const known of knownAnswers(d.span)) {
        d.gpu.set_block(known.header, known.target);
        const seen = await scanOnce({ gpu: d.gpu, device: d.index, slot: 0 }, known.header, known.target,
          known.start);
        send({ knownAnswer: { device: d.id, what: known.what, range: [known.start, known.start + known.span],
          expected: known.winners, seen: seen === pow.NOT_FOUND ? null : seen,
          problem: judgeScan(known, seen) } });
      }
    }
  },

  async sweep(options) {
    const chosen = chooseDevices(options);
    const slotCounts = options.slotsGiven ? [options.slots] : [1, 2, 4];
    sizeThreadPool(Math.max(...slotCounts));
    for (const d of chosen) {
      nameDevice(d);
      send({ sweepBegin: { device: d.id, key: d.key, kernel: kernelOf(d) } });
      const result = await sweep.sweepDevice(d, { slots: slotCounts, seconds: options.seconds,
        onRow: (row) => send({ sweepRow: { device: d.id, kernel: kernelOf(d), ...row } }) });
      sweep.storeChoices(d, result.choices);
      send({ sweepEnd: { device: d.id, key: d.key, kernel: kernelOf(d), choices: result.choices } });
    }
  },

  // A rig: the chosen devices kept ready for jobs that arrive on standard
  // input, until it says close or ends.
  async rig(options) {
    const chosen = chooseDevices(options);
    sizeThreadPool(chosen.length * options.slots);
    await chooseWork(chosen, options, (d) => sweptWork(d, options));
    const contexts = initialise(chosen, options.slots);
    const lanes = laneList(chosen, options.slots);
    const runner = new LaneRunner(lanes, {
      setBlock: (header, target) => { for (const gpu of contexts) gpu.set_block(header, target); },
    });
    send({ ready: chosen.map(describeDevice) });
    await serveRig(runner, chosen, lanes);
  },
};

// Per device: the sum over its lanes of `pick(lane's entry)`.
function perDevice(chosen, lanes, entries, pick) {
  return chosen.map((_, n) => entries.reduce((sum, e, i) => sum + (lanes[i].of === n ? pick(e) : 0), 0));
}

// Answers the rig's requests: a job (search), its abort, rates, health and
// close. Resolves once the lanes have stopped.
function serveRig(runner, chosen, lanes) {
  const jobs = new Map();
  const where = ({ lane, from }) => ({ device: chosen[lane.of].id, range: [from, from + lane.span] });
  const rates = () => {
    const perLane = runner.rates();
    return perDevice(chosen, lanes, perLane, (r) => r);
  };
  const handlers = {
    search({ job: id, header, target, start, maxNonces, seconds }) {
      const h = Buffer.from(header, 'hex');
      const t = Buffer.from(target, 'hex');
      const job = runner.search({
        header: h, target: t, start, maxNonces: maxNonces === null ? Infinity : maxNonces,
        until: seconds ? Date.now() + seconds * 1000 : Infinity, progressMs: 250,
        onProgress: (p) => send({ progress: { job: id, scanned: p.scanned, elapsedMs: p.elapsedMs, end: p.end,
          devices: perDevice(chosen, lanes, p.perLane, (l) => l.scanned), rates: rates() } }),
        onStarted: (ms) => send({ started: { job: id, ms } }),
        onFound: (f) => send({ found: { job: id, nonce: f.nonce, ...where(f),
          hashTop64: String(pow.hashTop64(h, f.nonce)) } }),
        onRejected: (r) => send({ rejected: { job: id, nonce: r.nonce, ...where(r) } }),
      });
      jobs.set(id, job);
      job.promise.then((result) => {
        jobs.delete(id);
        send({ settled: { job: id, ...result, perLane: undefined,
          devices: chosen.map((d, n) => ({ device: d.id,
            scanned: perDevice(chosen, lanes, result.perLane, (l) => l.scanned)[n],
            rejected: perDevice(chosen, lanes, result.perLane, (l) => l.rejected)[n] })) } });
      });
    },
    abort({ job: id }) {
      if (jobs.has(id)) jobs.get(id).stop();
    },
    rates({ request }) {
      send({ reply: request, value: rates() });
    },
    health({ request }) {
      send({ reply: request, value: chosen.map((d) => health.readHealth(d)) });
    },
  };
  return new Promise((resolve) => {
    const input = readline.createInterface({ input: process.stdin });
    const close = () => {
      input.close();
      runner.close().then(resolve);
    };
    input.on('line', (line) => {
      const message = JSON.parse(line);
      if (message.op === 'close') close();
      else handlers[message.op](message);
    });
    // The rig's process has gone: nobody is left to hear the results.
    input.on('close', () => { if (!runner.closed) close(); });
  });
}

async function main() {
  const options = JSON.parse(process.argv[2]);
  // CUDA numbers devices by PCI bus, as NVML does, so that each device's
  // health is read from its own GPU.
  if (!process.env.CUDA_DEVICE_ORDER) process.env.CUDA_DEVICE_ORDER = 'PCI_BUS_ID';
  chooseKernel(options);
  await commands[options.command](options);
  process.exit(EXIT.OK);
}

if (require.main === module) {
  main().catch((err) => {
    const status = err instanceof CommandError ? err.status : EXIT.DEVICE_FAILURE;
    send({ error: err.message, status, ...(err.details || {}) });
    process.exit(status);
  });
}

module.exports = { MARK, EXIT, laneList, initialise };
