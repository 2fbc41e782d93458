'use strict';
// The CLI's device work, run in a child process: the modules print their own
// summaries on standard output and end the process on a GPU failure, so the
// CLI keeps its own output and its own life apart. Messages to the parent are
// JSON lines behind MARK on standard output; everything else there is the
// modules' own output.
const pow = require('./pow');
const { openBackends, BACKEND_NAMES } = require('./devices');
const { searchJob, keepBusy } = require('./search');

const MARK = '\u001eNS ';
const send = (message) => process.stdout.write(MARK + JSON.stringify(message) + '\n');

// Default work sizes: a scan of a few tens of milliseconds on a small device.
function defaultWork(backend, gpu, index) {
  if (backend === 'cuda') return Math.max(512, Math.min(gpu.get_batch_size(index), 4096) * 512);
  return 256 * Math.max(1, Math.min(gpu.get_batch_size(index, 1), 2048));
}

// Opens the chosen backends and devices: [{ backend, gpu, index, work }].
// Why each backend tried gave no device lands in `options.missing`.
function chooseDevices(options) {
  const chosen = [];
  options.missing = [];
  const why = (backend, reason) => options.missing.push({ backend, reason });
  for (const { backend, gpu, devices, widened } of openBackends(options.backend, (line) => send({ log: line }), why)) {
    if (widened) send({ widened: true });
    for (const { index } of devices) {
      const id = `${backend}:${index}`;
      if (options.devices.length && !options.devices.includes(id) &&
          !options.devices.includes(String(index))) continue;
      chosen.push({ backend, gpu, index, work: options.workSize || defaultWork(backend, gpu, index) });
    }
  }
  return chosen;
}

// Initialises the chosen devices, grouped by context.
function initialise(chosen, slots, missing = []) {
  if (chosen.length === 0) {
    throw new Error(`no device found${missing.map((m) => `; ${BACKEND_NAMES[m.backend]}: ${m.reason}`).join('')}`);
  }
  const byContext = new Map();
  for (const d of chosen) {
    if (!byContext.has(d.gpu)) byContext.set(d.gpu, []);
    byContext.get(d.gpu).push(d);
  }
  for (const [gpu, list] of byContext) {
    gpu.init_devices(list.map((d) => d.index), list.map(() => slots), list.map((d) => d.work), true);
    if (list[0].backend === 'cuda') gpu.create_buffers();
  }
  for (const d of chosen) d.gran = d.gpu.get_gran(d.index);
  return [...byContext.keys()];
}

// Every slot of every chosen device; `of` is the device's position in `chosen`.
function laneList(chosen, slots) {
  return chosen.flatMap((d, of) => Array.from({ length: slots },
    (_, slot) => ({ gpu: d.gpu, device: d.index, slot, span: d.work * d.gran, of })));
}

function describeDevice(d) {
  const info = { device: `${d.backend}:${d.index}`, backend: d.backend, index: d.index,
    key: d.gpu.get_key(d.index), work: d.work, gran: d.gran };
  info.batch = d.backend === 'cuda' ? d.gpu.get_batch_size(d.index) : d.gpu.get_batch_size(d.index, 1);
  return info;
}

const commands = {
  devices(options) {
    const chosen = chooseDevices(options);
    // clsieve knows a device's granularity only once it is initialised.
    if (chosen.length > 0) initialise(chosen, 0);
    send({ devices: chosen.map(describeDevice), missing: options.missing });
  },

  selftest(options) {
    const chosen = chooseDevices(options);
    initialise(chosen, 1, options.missing);
    for (const d of chosen) {
      send({ selftestBegin: describeDevice(d) });
      d.gpu.test(d.index);
      send({ selftestEnd: d.backend + ':' + d.index });
    }
  },

  async bench(options) {
    const chosen = chooseDevices(options);
    const contexts = initialise(chosen, options.slots, options.missing);
    const header = Buffer.from(pow.SELFTEST.header, 'hex');
    const target = Buffer.from(pow.SELFTEST.target, 'hex');
    for (const gpu of contexts) gpu.set_block(header, target);
    send({ devices: chosen.map(describeDevice), missing: options.missing });
    const lanes = laneList(chosen, options.slots);
    // Nonces per device, from the lanes' counts.
    const perDevice = (counts) => chosen.map((_, n) =>
      counts.reduce((sum, c, i) => sum + (lanes[i].of === n ? c : 0), 0));
    const { counts, elapsedMs } = await keepBusy({
      lanes, header, target, seconds: options.seconds,
      onProgress: (c, ms) => send({ progress: perDevice(c), elapsedMs: ms }),
    });
    send({ bench: perDevice(counts), elapsedMs });
  },

  async search(options) {
    const header = Buffer.from(options.header, 'hex');
    const target = Buffer.from(options.target, 'hex');
    const chosen = chooseDevices(options);
    const contexts = initialise(chosen, options.slots, options.missing);
    for (const gpu of contexts) gpu.set_block(header, target);
    const lanes = laneList(chosen, options.slots);
    send({ devices: chosen.map(describeDevice), missing: options.missing });
    const result = await searchJob({
      lanes, header, target, start: options.start, maxNonces: options.maxNonces || Infinity,
      progressMs: 250, onProgress: (p) => send({ progress: p }),
      onRejected: ({ nonce, lane }) => send({ rejected: nonce, device: lane.device }),
    });
    send({ search: result });
  },
};

async function main() {
  const options = JSON.parse(process.argv[2]);
  await commands[options.command](options);
  process.exit(0);
}

if (require.main === module) {
  main().catch((err) => {
    send({ error: err.message });
    process.exit(1);
  });
}

module.exports = { MARK };
