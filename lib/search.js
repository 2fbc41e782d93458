'use strict';
// The mining loop: every lane (one slot of one device) keeps one scan in
// flight, each taking the next range of the current job's nonce space, and
// every nonce a device reports is checked on the host before it counts. A
// new job supersedes the running one at once: each lane's next scan is on the
// new job, and what the old job's scans report afterwards is dropped.
const pow = require('./pow');

function scanOnce(lane, header, target, start) {
  return new Promise((resolve) => {
    lane.gpu.scan_nonces(resolve, header, target, start, lane.device, lane.slot);
  });
}

// Where the next scan of `span` nonces starts, given the first nonce not yet
// handed out: below 2^48 always. The last scan is moved back to end exactly at
// 2^48 (it searches some nonces twice), since nonces from 2^48 on do not fit
// the header's nonce field; null once everything below 2^48 is handed out.
function nextScanStart(next, span) {
  if (next >= pow.NONCE_LIMIT) return null;
  return next + span <= pow.NONCE_LIMIT ? next : Math.max(0, pow.NONCE_LIMIT - span);
}

// A nonce a scan of [from, from + span) may report: inside its range and a
// real winner.
function acceptable(header, target, nonce, from, span) {
  if (!Number.isSafeInteger(nonce) || nonce < from || nonce >= from + span) return false;
  return pow.verifyNonce(header, target, nonce);
}

// How far back rates() looks.
const RATE_WINDOW_MS = 5000;

/**
 * Runs jobs on `lanes` ([{ gpu, device, slot, span }], span being the nonces
 * one scan covers). `setBlock(header, target)` gives every context a new job;
 * the modules keep scans queued before it on the old job's block. The lanes
 * idle between jobs until close().
 */
class LaneRunner {
  constructor(lanes, { setBlock = () => {} } = {}) {
    this.lanes = lanes;
    this.setBlock = setBlock;
    this.job = null;
    this.closed = false;
    this.wake = null;
    this.began = Date.now();
    // Per lane: [time, nonces] of each scan that came back within the window.
    this.history = lanes.map(() => []);
    this.working = lanes.filter((lane) => lane.span > 0).length;
    this.loops = Promise.all(lanes.map((lane, n) => this.laneLoop(lane, n)));
  }

  /**
   * Starts a job, superseding the running one (which settles with
   * superseded: true). Resolves to { nonce, scanned, rejected, elapsedMs, end,
   * exhausted, superseded, aborted, perLane } once a verified winner came back
   * (nonce), or every nonce up to maxNonces, 2^48 or `until` (a time) was
   * handed out and scanned, or stop() was called (aborted). end is the first
   * nonce not handed out; ranges still in flight when a job settles are
   * finished by their devices, and what they report reaches onFound and
   * onRejected only while no other job has started.
   */
  search({ header, target, start = 0, maxNonces = Infinity, until = Infinity, onProgress,
    progressMs = 1000, onRejected = () => {}, onFound = () => {}, onStarted = () => {} }) {
    if (this.closed) throw new Error('the lanes are closed');
    if (this.job) this.retire(this.job);
    this.setBlock(header, target);
    const job = {
      header, target, start, maxNonces, until, next: start, scanned: 0, rejected: 0, inFlight: 0,
      winner: null, result: null, retired: false, began: Date.now(), onRejected, onFound, onStarted,
      started: new Set(), perLane: this.lanes.map(() => ({ scanned: 0, rejected: 0 })),
    };
    job.promise = new Promise((resolve) => { job.resolve = resolve; });
    job.stop = () => this.retire(job, { aborted: true });
    job.progress = onProgress && setInterval(() => onProgress({ scanned: job.scanned,
      elapsedMs: Date.now() - job.began, end: job.next, perLane: job.perLane }), progressMs);
    this.job = job;
    if (this.working === 0 || !this.hasWork(job)) this.settle(job);
    this.rouse();
    return job;
  }

  // Nonces per second of each lane over the last few seconds.
  rates(now = Date.now()) {
    const since = Math.max(now - RATE_WINDOW_MS, this.began);
    const seconds = Math.max(now - since, 1) / 1000;
    return this.history.map((h) => {
      this.forget(h, since);
      return h.reduce((sum, [, nonces]) => sum + nonces, 0) / seconds;
    });
  }

  // Drops the scans of a lane's history that came back before `since`.
  forget(h, since) {
    while (h.length && h[0][0] < since) h.shift();
  }

  // Lets the scans in flight finish; resolves once every lane has stopped.
  close() {
    this.closed = true;
    if (this.job) this.retire(this.job, { closed: true });
    this.rouse();
    return this.loops;
  }

  rouse() {
    if (this.wake) this.wake();
    this.wake = null;
  }

  idle() {
    return new Promise((resolve) => {
      const before = this.wake;
      this.wake = () => { if (before) before(); resolve(); };
    });
  }

  hasWork(job) {
    return job.result === null && job.next < pow.NONCE_LIMIT && job.next - job.start < job.maxNonces &&
      Date.now() < job.until;
  }

  // A job no longer current: settled now if it was still running, and what
  // its scans report from now on is dropped.
  retire(job, how = { superseded: true }) {
    job.retired = true;
    this.settle(job, how);
  }

  settle(job, { superseded = false, aborted = false, closed = false } = {}) {
    if (job.result) return;
    if (job.progress) clearInterval(job.progress);
    job.result = { nonce: job.winner, scanned: job.scanned, rejected: job.rejected,
      elapsedMs: Date.now() - job.began, end: job.next,
      exhausted: job.winner === null && job.next >= pow.NONCE_LIMIT && !superseded && !aborted && !closed,
      superseded, aborted, closed, perLane: job.perLane };
    job.resolve(job.result);
  }

  async laneLoop(lane, n) {
    if (lane.span <= 0) return;
    while (!this.closed) {
      const job = this.job;
      if (!job || !this.hasWork(job)) {
        await this.idle();
        continue;
      }
      const from = nextScanStart(job.next, lane.span);
      const fresh = Math.min(job.next + lane.span, pow.NONCE_LIMIT) - job.next;
      job.next += fresh;
      job.inFlight++;
      // Told once: when the last lane starts its first scan of the job.
      if (!job.started.has(n)) {
        job.started.add(n);
        if (job.started.size === this.working) job.onStarted(Date.now() - job.began);
      }
      const nonce = await scanOnce(lane, job.header, job.target, from);
      job.inFlight--;
      const now = Date.now();
      this.history[n].push([now, fresh]);
      this.forget(this.history[n], now - RATE_WINDOW_MS);
      if (job.retired) continue;
      if (!job.result) {
        job.scanned += fresh;
        job.perLane[n].scanned += fresh;
      }
      if (nonce !== pow.NOT_FOUND) this.report(job, lane, n, nonce, from);
      if (!job.result && !this.hasWork(job) && job.inFlight === 0) this.settle(job);
    }
  }

  report(job, lane, n, nonce, from) {
    if (acceptable(job.header, job.target, nonce, from, lane.span)) {
      job.onFound({ nonce, lane, from });
      if (job.winner === null && !job.result) {
        job.winner = nonce;
        this.settle(job);
      }
      return;
    }
    if (!job.result) {
      job.rejected++;
      job.perLane[n].rejected++;
    }
    job.onRejected({ nonce, lane, from });
  }
}

/**
 * One job on `lanes`, as LaneRunner.search runs it, the caller having set
 * its block on every context; the lanes stop when it settles.
 */
async function searchJob(options) {
  const runner = new LaneRunner(options.lanes);
  const result = await runner.search(options).promise;
  runner.close();
  return result;
}

/**
 * Keeps every lane busy for `seconds`, each scan taking the next range from
 * `start` (back to 0 before 2^48), whatever it finds. Resolves to { counts,
 * elapsedMs, next, scanMs }: the nonces each lane scanned, the first nonce not
 * handed out, and how long each scan took from its call to its callback.
 */
function keepBusy({ lanes, header, target, seconds, start = 0, onProgress, progressMs = 250 }) {
  const counts = lanes.map(() => 0);
  const scanMs = [];
  let next = start;
  const began = Date.now();
  const until = began + seconds * 1000;
  const progress = onProgress && setInterval(() => onProgress(counts, Date.now() - began), progressMs);
  return Promise.all(lanes.map(async (lane, n) => {
    if (lane.span <= 0) return;
    while (Date.now() < until) {
      if (next + lane.span > pow.NONCE_LIMIT) next = 0;
      const from = next;
      next += lane.span;
      const called = process.hrtime.bigint();
      await scanOnce(lane, header, target, from);
      scanMs.push(Number(process.hrtime.bigint() - called) / 1e6);
      counts[n] += lane.span;
    }
  })).then(() => {
    if (progress) clearInterval(progress);
    return { counts, elapsedMs: Date.now() - began, next, scanMs };
  });
}

module.exports = { LaneRunner, searchJob, keepBusy, scanOnce, nextScanStart };
