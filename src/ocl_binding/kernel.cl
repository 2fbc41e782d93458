// BLAKE2s-256 nonce search, one nonce per work item, reading the basic block.
#define GRAN 1

__kernel void blake2s_hash(ulong startNonce, __constant uint* DATA, __global ulong* resNonce) {
  const ulong nonce = FIRST_NONCE(startNonce);
  LOAD_WORDS(nonce);
  NS_ROUND1_BASIC;
  NS_ROUNDS_2_TO_9;
  FINISH_AND_STORE(nonce);
}
