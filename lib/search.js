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

/**
 * lanes: [{ gpu, device, slot, span }], span being the nonces one scan
 * covers (work size x granularity). The caller has set the job's block on
 * every context. Resolves to { nonce, scanned, elapsedMs, rejected }, nonce
 * null when maxNonces were scanned without a winner or stop() was called.
 */
function searchJob({ lanes, header, target, start = 0, maxNonces = Infinity, onProgress,
  progressMs = 1000, onRejected }) {
  let next = start;
  let scanned = 0;
  let rejected = 0;
  let winner = null;
  let stopped = false;
  const began = Date.now();
  const progress = onProgress && setInterval(() => {
    onProgress({ scanned, elapsedMs: Date.now() - began, next });
  }, progressMs);

  async function run(lane) {
    while (winner === null && !stopped && next - start < maxNonces) {
      const from = next;
      next += lane.span;
      const nonce = await scanOnce(lane, header, target, from);
      scanned += lane.span;
      if (nonce === pow.NOT_FOUND) continue;
      if (pow.verifyNonce(header, target, nonce)) {
        if (winner === null) winner = nonce;
      } else {
        rejected++;
        if (onRejected) onRejected({ nonce, lane, from });
      }
    }
  }

  const done = Promise.all(lanes.map(run)).then(() => {
    if (progress) clearInterval(progress);
    return { nonce: winner, scanned, elapsedMs: Date.now() - began, rejected };
  });
  done.stop = () => { stopped = true; };
  return done;
}

/**
 * Keeps every lane busy for `seconds`, each scan taking the next range from
 * `start`, whatever it finds. Resolves to { counts, elapsedMs, next }: the
 * nonces each lane scanned, and the first nonce not handed out.
 */
function keepBusy({ lanes, header, target, seconds, start = 0, onProgress, progressMs = 250 }) {
  const counts = lanes.map(() => 0);
  let next = start;
  const began = Date.now();
  const until = began + seconds * 1000;
  const progress = onProgress && setInterval(() => onProgress(counts, Date.now() - began), progressMs);
  return Promise.all(lanes.map(async (lane, n) => {
    while (Date.now() < until) {
      const from = next;
      next += lane.span;
      await scanOnce(lane, header, target, from);
      counts[n] += lane.span;
    }
  })).then(() => {
    if (progress) clearInterval(progress);
    return { counts, elapsedMs: Date.now() - began, next };
  });
}

module.exports = { searchJob, keepBusy, scanOnce };
