'use strict';
// The mining loop on one job: every lane (one slot of one device) keeps one
// scan in flight, each taking the next range of the nonce space, and every
// nonce a device reports is checked on the host before it counts.
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

/**
 * lanes: [{ gpu, device, slot, span }], span being the nonces one scan
 * covers (noncesPerScan of the device and its work size). The caller has set
 * the job's block on every context. Scans stop at 2^48, the end of the nonce
 * field. Resolves to { nonce, scanned, elapsedMs, rejected, end, exhausted,
 * perLane }: nonce null when maxNonces were scanned without a winner, the
 * nonce field ran out (exhausted) or stop() was called; end is the first
 * nonce not handed out; perLane the nonces and rejects of each lane.
 */
function searchJob({ lanes, header, target, start = 0, maxNonces = Infinity, onProgress,
  progressMs = 1000, onRejected }) {
  let next = start;
  let scanned = 0;
  let rejected = 0;
  let winner = null;
  let stopped = false;
  const perLane = lanes.map(() => ({ scanned: 0, rejected: 0 }));
  const began = Date.now();
  const progress = onProgress && setInterval(() => {
    onProgress({ scanned, elapsedMs: Date.now() - began, next });
  }, progressMs);

  async function run(lane, n) {
    if (lane.span <= 0) return;
    while (winner === null && !stopped && next - start < maxNonces) {
      const from = nextScanStart(next, lane.span);
      if (from === null) break;
      const fresh = Math.min(next + lane.span, pow.NONCE_LIMIT) - next;
      next += fresh;
      const nonce = await scanOnce(lane, header, target, from);
      scanned += fresh;
      perLane[n].scanned += fresh;
      if (nonce === pow.NOT_FOUND) continue;
      if (acceptable(header, target, nonce, from, lane.span)) {
        if (winner === null) winner = nonce;
      } else {
        rejected++;
        perLane[n].rejected++;
        if (onRejected) onRejected({ nonce, lane, from });
      }
    }
  }

  const done = Promise.all(lanes.map(run)).then(() => {
    if (progress) clearInterval(progress);
    return { nonce: winner, scanned, elapsedMs: Date.now() - began, rejected, end: next,
      exhausted: winner === null && next >= pow.NONCE_LIMIT, perLane };
  });
  done.stop = () => { stopped = true; };
  return done;
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

module.exports = { searchJob, keepBusy, scanOnce, nextScanStart };
