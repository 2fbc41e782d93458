'use strict';
// The path a losing nonce takes through a kernel: the shortest path from the
// first instruction to an exit that passes no store to memory. Kernels here
// have no loops, so every branch goes forward or ends the kernel; a path that
// comes back to an instruction is not followed again.
//
// `instructions` is an array of { store, exit, conditional, target } where
// exit marks an instruction that ends the thread, target (an index) a branch,
// and conditional says that an exit or branch may fall through instead.
// Returns the indices of the path's instructions, in order, or null.
function losingPath(instructions) {
  const from = new Array(instructions.length).fill(-2);  // -2: not reached yet
  const queue = [0];
  from[0] = -1;
  const step = (at, next) => {
    if (next < 0 || next >= instructions.length || from[next] !== -2) return;
    if (instructions[next].store) return;
    from[next] = at;
    queue.push(next);
  };
  for (let q = 0; q < queue.length; q++) {
    const at = queue[q];
    const ins = instructions[at];
    // Breadth first: the first exit reached ends the shortest path. (Past a
    // conditional exit the path where it is not taken is longer anyway.)
    if (ins.exit) return trace(from, at);
    if (ins.target !== undefined) step(at, ins.target);
    if (ins.target === undefined || ins.conditional) step(at, at + 1);
  }
  return null;
}

function trace(from, end) {
  const path = [];
  for (let at = end; at !== -1; at = from[at]) path.push(at);
  return path.reverse();
}

module.exports = { losingPath };
