'use strict';
// The PTX nvsieve ships, executed: both texts (the portable one clang makes
// and nvcc's inside the fatbin), both kernels, run by the emulated driver's
// interpreter (build/emu-cuda/ptx_run) and checked against Node's BLAKE2s.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { ROOT, pow } = require('./helpers');

const RUN = path.join(ROOT, 'build', 'emu-cuda', 'ptx_run');
const TEXTS = {
  portable: path.join(ROOT, 'build', 'Release', 'nvsieve_portable_ptx'),
  nvcc: path.join(ROOT, 'build', 'Release', 'nvsieve_fatbin'),
};
const KERNELS = ['_Z12blake2s_hashmPm', '_Z21blake2s_hash_balancedmPmj'];
const missing = [RUN, ...Object.values(TEXTS)].find((f) => !fs.existsSync(f) || fs.statSync(f).size === 0);

// Runs jobs [{ header, target3, start, blocks, threads }] through one kernel
// of one text; returns what each left in the slot (a BigInt, or null).
function runJobs(text, kernel, jobs) {
  const lines = jobs.map((j) => {
    const target = Buffer.alloc(32, 0xff);
    target.writeBigUInt64LE(j.target3, 24);
    return `${j.header.toString('hex')} ${target.toString('hex')} ${j.start} ${j.blocks || 1} ${j.threads || 1}`;
  });
  const r = spawnSync(RUN, [TEXTS[text], kernel], { input: lines.join('\n') + '\n', encoding: 'utf8',
    maxBuffer: 1 << 26 });
  assert.strictEqual(r.status, 0, r.stderr);
  return r.stdout.trim().split('\n').map((l) => (l === '-' ? null : BigInt(l)));
}

// A deterministic stream of random bytes (xorshift), so a failure repeats.
function randomBytes(seed) {
  let s = BigInt(seed) | 1n;
  const M = (1n << 64n) - 1n;
  return (n) => {
    const out = Buffer.alloc(n);
    for (let i = 0; i < n; i++) {
      s ^= (s << 13n) & M; s ^= s >> 7n; s ^= (s << 17n) & M;
      out[i] = Number(s & 0xffn);
    }
    return out;
  };
}

const top = (header, nonce) => pow.hashTop64(header, nonce);

for (const text of Object.keys(TEXTS)) {
  for (const kernel of KERNELS) {
    const name = `${text} PTX, ${kernel}`;

    test(`${name}: 10,000 random pairs win at hash + 1 and lose at a tie of all 64 bits`,
      { skip: missing && `${missing} is not built` }, () => {
      const rand = randomBytes(text.length * 31 + kernel.length);
      const jobs = [];
      const expect = [];
      for (let i = 0; i < 10000; i++) {
        const header = rand(286);
        // Nonces of 48 bits, half of them above 2^32, some at the edges.
        const n = rand(6).readUIntLE(0, 6);
        const nonce = [n, n % 2 ** 32, 2 ** 32, 2 ** 48 - 1][i % 9 < 6 ? 0 : i % 9 < 7 ? 1 : i % 9 < 8 ? 2 : 3];
        const h = top(header, nonce);
        if (h < (1n << 64n) - 1n) {
          jobs.push({ header, target3: h + 1n, start: nonce });
          expect.push(BigInt(nonce));
        }
        jobs.push({ header, target3: h, start: nonce });
        expect.push(null);
      }
      const got = runJobs(text, kernel, jobs);
      assert.strictEqual(got.length, jobs.length);
      const wrong = got.map((g, i) => (g === expect[i] ? null : i)).filter((i) => i !== null);
      assert.deepStrictEqual(wrong.slice(0, 5).map((i) => ({ nonce: jobs[i].start, target3: jobs[i].target3,
        got: got[i], want: expect[i] })), []);
    });

    test(`${name}: ties of hash word 7 are settled by word 6`, { skip: missing && `${missing} is not built` }, () => {
      const rand = randomBytes(7 + kernel.length);
      const jobs = [];
      const expect = [];
      for (let i = 0; i < 200; i++) {
        const header = rand(286);
        const nonce = 2 ** 32 + i * 977;
        const h = top(header, nonce);
        const h7 = h >> 32n, h6 = h & 0xffffffffn;
        const cases = [
          [(h7 << 32n) | 0xffffffffn, h6 !== 0xffffffffn],  // word 7 equal, word 6 above: wins
          [(h7 << 32n) | h6, false],                         // all equal: loses
          [h7 > 0n ? ((h7 - 1n) << 32n) | 0xffffffffn : 0n, false],  // word 7 below: loses
          [h7 < 0xffffffffn ? (h7 + 1n) << 32n : h, h7 < 0xffffffffn],  // word 7 above, word 6 0: wins
        ];
        for (const [target3, wins] of cases) {
          jobs.push({ header, target3, start: nonce });
          expect.push(wins ? BigInt(nonce) : null);
        }
      }
      assert.deepStrictEqual(runJobs(text, kernel, jobs), expect);
    });

    test(`${name}: every thread of a grid tests its own nonce (block index included)`,
      { skip: missing && `${missing} is not built` }, () => {
      // With the target at the lowest hash of the range + 1, exactly that
      // nonce wins: the kernel must report it wherever it lies in the grid.
      const rand = randomBytes(99 + kernel.length);
      const jobs = [];
      const expect = [];
      for (const start of [0, 2 ** 32 - 700, 123456789012]) {
        const header = rand(286);
        let best = 0;
        let low = 1n << 64n;
        for (let i = 0; i < 3 * 512; i++) {
          const h = top(header, start + i);
          if (h < low) [low, best] = [h, start + i];
        }
        jobs.push({ header, target3: low + 1n, start, blocks: 3, threads: 512 });
        expect.push(BigInt(best));
      }
      assert.deepStrictEqual(runJobs(text, kernel, jobs), expect);
    });
  }
}

test('the self-test\'s known answers, through both texts and both kernels', { skip: missing && `${missing} is not built` }, () => {
  const { knownAnswers } = require('../../lib/selftest');
  const answers = knownAnswers(1536);
  for (const text of Object.keys(TEXTS)) {
    for (const kernel of KERNELS) {
      const jobs = answers.map((k) => ({ header: k.header, target3: pow.targetTop64(k.target), start: k.start,
        blocks: 3, threads: 512 }));
      const got = runJobs(text, kernel, jobs);
      answers.forEach((k, i) => {
        const want = k.winners.length ? BigInt(k.winners[k.winners.length - 1]) : null;
        assert.strictEqual(got[i], want, `${text} ${kernel}: ${k.what}`);
      });
    }
  }
});
