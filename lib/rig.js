'use strict';
// A mining script's whole loop in one object: openRig() starts the devices in
// a child process (the device process, as the command's), and the Rig hands
// it jobs, hears its scans' results, and survives its failures: a GPU
// failure there ends that process, and here it is an event and a rejected
// promise.
const { EventEmitter } = require('events');
const pow = require('./pow');
const { workSizeProblem, MAX_SLOTS } = require('./work');
const { startDeviceProcess } = require('./device-process');
const { EXIT } = require('./cli-worker');
const { summaryName } = require('./devices');

const BACKENDS = ['auto', 'cuda', 'opencl'];
const KERNELS = ['auto', ...require('./sweep').KERNELS];

// Error codes of the rig's own errors.
const CODES = Object.freeze({
  NO_DEVICE: 'NONCESIEVE_NO_DEVICE',
  DEVICE_FAILURE: 'NONCESIEVE_DEVICE_FAILURE',
  CLOSED: 'NONCESIEVE_RIG_CLOSED',
});

function codedError(message, code, extra = {}) {
  return Object.assign(new Error(message), { code }, extra);
}

function refuseUnknown(where, options, known) {
  if (options === null || typeof options !== 'object') {
    throw new TypeError(`${where}: options must be an object, not ${options === null ? 'null' : typeof options}`);
  }
  for (const name of Object.keys(options)) {
    if (!known.includes(name)) throw new TypeError(`${where}: unknown option "${name}"`);
  }
}

function oneOf(where, name, value, choices) {
  if (typeof value !== 'string') throw new TypeError(`${where}: ${name} must be a string, not ${typeof value}`);
  if (!choices.includes(value)) {
    throw new RangeError(`${where}: ${name} must be ${choices.map((c) => `'${c}'`).join(', ')}, not '${value}'`);
  }
  return value;
}

function wholeNumber(where, name, value, { min, max = Number.MAX_SAFE_INTEGER, below }) {
  if (typeof value !== 'number') throw new TypeError(`${where}: ${name} must be a number, not ${typeof value}`);
  if (!Number.isSafeInteger(value) || value < min || value > max || (below !== undefined && value >= below)) {
    const upper = below !== undefined ? ` below ${below}` : max !== Number.MAX_SAFE_INTEGER ? ` to ${max}` : '';
    throw new RangeError(`${where}: ${name} must be a whole number from ${min}${upper}, not ${value}`);
  }
  return value;
}

const OPEN_OPTIONS = ['backend', 'devices', 'slots', 'workSize', 'kernel', 'onLog', 'onOutput'];

// The device process's options for openRig's, checked.
function rigOptions(options) {
  const where = 'openRig';
  refuseUnknown(where, options, OPEN_OPTIONS);
  const o = { backend: 'auto', devices: [], slots: 2, workSize: 'auto', kernel: 'auto', ...options };
  oneOf(where, 'backend', o.backend, BACKENDS);
  if (!Array.isArray(o.devices)) throw new TypeError(`${where}: devices must be an array of device ids`);
  const devices = o.devices.map((id) => {
    if (typeof id === 'number' && Number.isSafeInteger(id) && id >= 0) return String(id);
    if (typeof id !== 'string') throw new TypeError(`${where}: devices: ${String(id)} is not a device id`);
    if (!/^((cuda|opencl):)?\d+$/.test(id)) {
      throw new RangeError(`${where}: devices: "${id}" is not a device id (opencl:0, cuda:1 or 0)`);
    }
    return id;
  });
  wholeNumber(where, 'slots', o.slots, { min: 1, max: MAX_SLOTS });
  if (o.workSize !== 'auto') {
    wholeNumber(where, 'workSize', o.workSize, { min: 1, max: 2 ** 31 - 1 });
    const problem = o.backend !== 'auto' && workSizeProblem(o.backend, o.workSize);
    if (problem) throw new RangeError(`${where}: workSize: ${problem}`);
  }
  oneOf(where, 'kernel', o.kernel, KERNELS);
  for (const name of ['onLog', 'onOutput']) {
    if (o[name] !== undefined && typeof o[name] !== 'function') {
      throw new TypeError(`${where}: ${name} must be a function`);
    }
  }
  return {
    worker: { command: 'rig', backend: o.backend, devices, slots: o.slots,
      workSize: o.workSize === 'auto' ? undefined : o.workSize, kernel: o.kernel },
    onLog: o.onLog || ((line) => process.stderr.write(`noncesieve: ${line}\n`)),
    onOutput: o.onOutput || (() => {}),
  };
}

function exactBytes(where, name, view, bytes) {
  if (!ArrayBuffer.isView(view)) throw new TypeError(`${where}: ${name} must be a Buffer or typed array`);
  if (view.byteLength !== bytes) {
    throw new RangeError(`${where}: ${name} must be ${bytes} bytes, not ${view.byteLength}`);
  }
  return Buffer.from(view.buffer, view.byteOffset, bytes).toString('hex');
}

const SEARCH_OPTIONS = ['header', 'target', 'start', 'maxNonces', 'signal', 'onProgress'];

function checkedJob(job) {
  const where = 'rig.search';
  refuseUnknown(where, job, SEARCH_OPTIONS);
  const { start = 0, maxNonces = Infinity, signal, onProgress } = job;
  const checked = {
    header: exactBytes(where, 'header', job.header, pow.HEADER_BYTES),
    target: exactBytes(where, 'target', job.target, pow.TARGET_BYTES),
    start: wholeNumber(where, 'start', start, { min: 0, below: pow.NONCE_LIMIT }),
    maxNonces: maxNonces === Infinity ? null : wholeNumber(where, 'maxNonces', maxNonces, { min: 1 }),
  };
  if (signal !== undefined && !(signal instanceof AbortSignal)) {
    throw new TypeError(`${where}: signal must be an AbortSignal`);
  }
  if (onProgress !== undefined && typeof onProgress !== 'function') {
    throw new TypeError(`${where}: onProgress must be a function`);
  }
  return checked;
}

function abortError(signal) {
  const err = new Error('The operation was aborted', { cause: signal.reason });
  err.name = 'AbortError';
  err.code = 'ABORT_ERR';
  return err;
}

// What a device process that ended early said last: the CUDA module writes
// its failure to standard error, the OpenCL module to standard output.
function lastWords({ stderr, output }) {
  const last = (text) => text.split('\n').map((l) => l.trim()).filter(Boolean).pop();
  return last(stderr) || last(output) || null;
}

/**
 * A set of devices ready for jobs. Created by openRig(); see index.d.ts for
 * its methods and events.
 */
class Rig extends EventEmitter {
  constructor() {
    super();
    this.devices = [];
    this.closed = false;
    this.jobs = new Map();     // job id -> { resolve, reject, onProgress, called, switchMs }
    this.requests = new Map(); // request id -> { resolve, reject }
    this.nextId = 1;
    this.current = null; // the latest search's job: only its scans' results are heard
  }

  // Starts the device process; resolves once its devices are ready.
  open({ worker, onLog, onOutput }) {
    return new Promise((resolve, reject) => {
      this.ready = { resolve, reject };
      this.process = startDeviceProcess(worker, {
        input: true,
        onOutput,
        onMessage: (message, output) => this.hear(message, onLog, output),
      });
      this.process.done.then((ended) => this.ended(ended));
    });
  }

  hear(m, onLog, output) {
    if (m.log) onLog(m.log);
    else if (m.ready) {
      this.devices = Object.freeze(m.ready.map((d) => Object.freeze({ device: d.device, backend: d.backend,
        index: d.index, name: summaryName(d, output), key: d.key, workSize: d.work, slots: d.slots, gran: d.gran,
        noncesPerScan: d.noncesPerScan, kernel: d.kernel })));
      this.ready.resolve(this);
      this.ready = null;
    } else if (m.error) {
      this.refusal = m;
    } else if (m.progress) {
      const job = this.jobs.get(m.progress.job);
      const progress = this.progressOf(m.progress);
      this.emit('progress', progress);
      if (job && job.onProgress) job.onProgress(progress);
    } else if (m.started) {
      const job = this.jobs.get(m.started.job);
      if (job) job.switchMs = performance.now() - job.called;
    } else if ((m.found || m.rejected) && (m.found || m.rejected).job !== this.current) {
      // A scan of a job that a newer search has superseded: its results are not the new job's.
    } else if (m.found) {
      this.emit('found', { device: m.found.device, nonce: m.found.nonce, range: m.found.range,
        hashTop64: BigInt(m.found.hashTop64) });
    } else if (m.rejected) {
      this.emit('rejected', { device: m.rejected.device, nonce: m.rejected.nonce, range: m.rejected.range });
    } else if (m.settled) {
      this.settle(m.settled);
    } else if (m.reply) {
      const request = this.requests.get(m.reply);
      this.requests.delete(m.reply);
      if (request) request.resolve(m.value);
    }
  }

  progressOf({ scanned, elapsedMs, end, devices, rates }) {
    return { scanned, elapsedMs, end,
      devices: this.devices.map((d, n) => ({ device: d.device, scanned: devices[n], rate: rates[n] })) };
  }

  settle({ job: id, ...result }) {
    const job = this.jobs.get(id);
    if (!job) return;
    this.jobs.delete(id);
    if (result.aborted) return; // already rejected, when its signal fired
    if (result.closed) {
      job.reject(codedError('rig.search: the rig was closed before the search ended', CODES.CLOSED));
      return;
    }
    job.resolve({
      nonce: result.nonce,
      hashTop64: result.nonce === null ? null : pow.hashTop64(job.header, result.nonce),
      scanned: result.scanned, rejected: result.rejected, elapsedMs: result.elapsedMs, end: result.end,
      exhausted: result.exhausted, superseded: result.superseded,
      switchMs: job.switchMs === undefined ? null : job.switchMs, devices: result.devices,
    });
  }

  ended(ended) {
    const wasClosed = this.closed;
    this.closed = true;
    if (this.ready) {
      // It never got ready: the devices were refused, none was found, or it failed.
      const r = this.refusal;
      let err;
      if (r && r.status === EXIT.USAGE) err = new RangeError(`openRig: ${r.option}: ${r.problem || r.error}`);
      else if (r && r.status === EXIT.NO_DEVICE) err = codedError(`openRig: ${r.error}`, CODES.NO_DEVICE, { missing: r.missing });
      else err = this.failure(ended, r && r.error);
      this.ready.reject(err);
    } else if (!wasClosed || ended.code !== 0) {
      const err = this.failure(ended, this.refusal && this.refusal.error);
      this.emit('device-failure', { message: err.message, status: ended.code, signal: ended.signal });
      for (const job of this.jobs.values()) job.reject(err);
      for (const request of this.requests.values()) request.reject(err);
      this.jobs.clear();
      this.requests.clear();
    }
    this.emit('close');
  }

  failure(ended, said) {
    const how = ended.signal ? `signal ${ended.signal}` : `status ${ended.code}`;
    // A signal came from outside: what the modules printed last says nothing about it.
    const message = said || (ended.signal ? null : lastWords(ended)) || `the device process ended with ${how}`;
    return codedError(message, CODES.DEVICE_FAILURE, { status: ended.code, signal: ended.signal,
      stderr: ended.stderr });
  }

  refuseClosed(where) {
    return Promise.reject(codedError(`${where}: the rig is closed`, CODES.CLOSED));
  }

  /** A new job: supersedes the running search. See index.d.ts. */
  search(job) {
    if (this.closed) return this.refuseClosed('rig.search');
    let checked;
    try {
      checked = checkedJob(job);
    } catch (err) {
      return Promise.reject(err);
    }
    const { signal, onProgress } = job;
    if (signal && signal.aborted) return Promise.reject(abortError(signal));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      const entry = { resolve, reject, onProgress, called: performance.now(), header: Buffer.from(checked.header, 'hex') };
      if (signal) {
        const onAbort = () => {
          if (!this.jobs.has(id)) return;
          this.process.send({ op: 'abort', job: id });
          reject(abortError(signal));
        };
        signal.addEventListener('abort', onAbort, { once: true });
        const settleWith = (f) => (v) => { signal.removeEventListener('abort', onAbort); f(v); };
        entry.resolve = settleWith(resolve);
        entry.reject = settleWith(reject);
      }
      this.jobs.set(id, entry);
      this.current = id;
      this.process.send({ op: 'search', job: id, ...checked });
    });
  }

  // Keeps every lane on the built-in job, which no nonce wins, for `seconds`:
  // what the command's bench measures.
  bench(seconds) {
    if (this.closed) return this.refuseClosed('rig.bench');
    if (typeof seconds !== 'number' || !(seconds > 0) || !Number.isFinite(seconds)) {
      return Promise.reject(new RangeError(`rig.bench: seconds must be a number above 0, not ${seconds}`));
    }
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.jobs.set(id, { resolve, reject, called: performance.now(), header: Buffer.from(pow.SELFTEST.header, 'hex') });
      this.process.send({ op: 'search', job: id, header: pow.SELFTEST.header, target: '00'.repeat(32),
        start: 0, maxNonces: null, seconds });
    });
  }

  request(op, where) {
    if (this.closed) return this.refuseClosed(where);
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.requests.set(id, { resolve, reject });
      this.process.send({ op, request: id });
    });
  }

  /** Nonces per second of each device over the last few seconds. */
  async rates() {
    const rates = await this.request('rates', 'rig.rates');
    return this.devices.map((d, n) => ({ device: d.device, rate: rates[n] }));
  }

  /** Temperature, power, fan and clocks of each device (null where unknown). */
  async health() {
    const figures = await this.request('health', 'rig.health');
    return this.devices.map((d, n) => ({ device: d.device, ...figures[n] }));
  }

  /** Lets the scans in flight finish and ends the device process. */
  close() {
    if (this.closed) return this.refuseClosed('rig.close');
    this.closed = true;
    return new Promise((resolve) => {
      this.once('close', resolve);
      this.process.send({ op: 'close' });
    });
  }
}

/** Opens the chosen devices in a device process. See index.d.ts. */
async function openRig(options = {}) {
  const checked = rigOptions(options);
  return new Rig().open(checked);
}

module.exports = { openRig, CODES };
