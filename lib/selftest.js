'use strict';
// What `noncesieve selftest` checks on each device: the module's own
// self-test, judged on the host, and known-answer scans whose answers the
// host computes with Node's BLAKE2s: a range that holds exactly one winner,
// one that holds none, and one whose best hash equals the target (a tie
// does not win).
const pow = require('./pow');

const SELFTEST_HEADER = Buffer.from(pow.SELFTEST.header, 'hex');
// The CUDA self-test writes this nonce into the header's nonce field first.
const CUDA_SELFTEST_NONCE_FIELD = Buffer.from('fdfeffff0f00', 'hex');

// Every nonce in [start, start + count) whose hash is below `top`.
function winnersBelow(header, top, start, count) {
  const found = [];
  for (let n = start; n < start + count; n++) {
    if (pow.hashTop64(header, n) < top) found.push(n);
  }
  return found;
}

function targetWithTop(top) {
  const target = Buffer.alloc(pow.TARGET_BYTES, 0xff);
  target.writeBigUInt64LE(top, 24);
  return target;
}

const knownCache = new Map();

/**
 * The known-answer scans for a device whose scans cover `span` nonces: the
 * built-in header, two adjacent ranges of `span` nonces from just below 2^32,
 * and targets placed at the lowest hash of the two. The lowest hash must lie
 * at or above 2^32, so that a kernel that drops the nonce's high word, or does
 * not carry into it, misses the winner; when it does not, the two ranges move
 * up by 2 x span. Returns [{ what, header, target, start, span, winners }],
 * winners computed by the host for each range.
 */
function knownAnswers(span) {
  if (knownCache.has(span)) return knownCache.get(span);
  const header = SELFTEST_HEADER;
  let first = 2 ** 32 - Math.floor(span / 2);
  let tops;
  let best;
  for (;; first += 2 * span) {
    tops = [];
    for (let n = first; n < first + 2 * span; n++) tops.push(pow.hashTop64(header, n));
    best = 0;
    tops.forEach((top, i) => { if (top < tops[best]) best = i; });
    if (first + best >= 2 ** 32) break;
  }
  const withWinner = best < span ? first : first + span;
  const without = withWinner === first ? first + span : first;
  const above = targetWithTop(tops[best] + 1n);
  const tie = targetWithTop(tops[best]);
  const answers = [
    { what: 'a range with one winner', target: above, start: withWinner },
    { what: 'a range without a winner', target: above, start: without },
    { what: 'a hash equal to the target', target: tie, start: withWinner },
  ].map((k) => {
    const top = pow.targetTop64(k.target);
    const winners = [];
    for (let n = k.start; n < k.start + span; n++) if (tops[n - first] < top) winners.push(n);
    return { ...k, header, span, winners };
  });
  knownCache.set(span, answers);
  return answers;
}

/**
 * What was wrong with a scan's answer, or null: a reported nonce must lie in
 * the range and be one of its winners; a range with winners must report one.
 */
function judgeScan({ start, span, winners }, seen) {
  if (seen === pow.NOT_FOUND) {
    return winners.length ? `expected ${winners.join(' or ')}, saw none` : null;
  }
  if (!Number.isSafeInteger(seen) || seen < start || seen >= start + span) {
    return `reported ${seen}, outside the range scanned`;
  }
  if (winners.includes(seen)) return null;
  return winners.length
    ? `expected ${winners.join(' or ')}, saw ${seen}, which does not win`
    : `expected none, saw ${seen}, which does not win`;
}

/**
 * The range the module's own self-test scans: the CUDA one from 0 with its
 * own nonce field, the OpenCL one from SELFTEST.startNonce.
 */
function moduleTestRange(backend, span) {
  if (backend === 'cuda') {
    const header = Buffer.from(SELFTEST_HEADER);
    CUDA_SELFTEST_NONCE_FIELD.copy(header, 280);
    return { header, start: 0, span };
  }
  return { header: SELFTEST_HEADER, start: pow.SELFTEST.startNonce, span };
}

/**
 * Judges the output of a module's test(): its "Result:" line must be a
 * winner of the range it scanned, or the not-found value when that range
 * holds none. Returns { result, ms, problem }.
 */
function judgeModuleTest(backend, span, output) {
  const m = /^Result: (\d+)$/m.exec(output);
  const ms = (/^(.*) ms$/m.exec(output) || [, null])[1];
  if (!m) return { result: null, ms, problem: 'its self-test printed no "Result:" line' };
  const result = Number(m[1]);
  const range = moduleTestRange(backend, span);
  const target = Buffer.from(pow.SELFTEST.target, 'hex');
  const top = pow.targetTop64(target);
  let problem;
  if (result === pow.NOT_FOUND) {
    const missed = winnersBelow(range.header, top, range.start, span);
    problem = missed.length ? `its self-test reported none, but ${missed[0]} wins` : null;
  } else {
    const winners = result >= range.start && result < range.start + span &&
      pow.hashTop64(range.header, result) < top ? [result] : [];
    problem = judgeScan({ ...range, winners }, result);
    if (problem) problem = `its self-test ${problem}`;
  }
  return { result: result === pow.NOT_FOUND ? null : result, ms: ms === null ? null : Number(ms), problem };
}

module.exports = { knownAnswers, judgeScan, judgeModuleTest };
