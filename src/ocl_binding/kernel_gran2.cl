// BLAKE2s-256 nonce search, two nonces per work item, reading the extended
// block (the host has also done v0 += v5, v1 += v6 and v12's first rotation
// of round 1's first two diagonal G's).
#define GRAN 2

// Hashes one nonce and stores it if it wins.
#define TRY_NONCE(n)           \
  do {                         \
    const ulong nonce = (n);   \
    LOAD_WORDS(nonce);         \
    NS_ROUND1_EXTENDED;        \
    NS_ROUNDS_2_TO_9;          \
    FINISH_AND_STORE(nonce);   \
  } while (0)

__kernel void blake2s_hash(ulong startNonce, __constant uint* DATA, __global ulong* resNonce) {
  const ulong nonce0 = FIRST_NONCE(startNonce);
  // In order, so that when both win the slot ends with the second.
  TRY_NONCE(nonce0);
  TRY_NONCE(nonce0 + 1);
}
