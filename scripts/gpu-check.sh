#!/usr/bin/env bash
# On a machine with an NVIDIA GPU and driver: builds the release nvsieve (or
# uses the one built here), runs the nvsieve test suite against it and the
# real GPU, prints the driver and which image each GPU loaded (SASS, or PTX
# the driver compiled), runs the command's self-test with each search kernel, then times
# each kernel (NVSIEVE_KERNEL=default, balanced) through the module with every
# slot busy and prints nonces/s per GPU beside the model's figure, in a block
# ready to paste into a note. Under 5 minutes; every check runs, and the ones
# that failed are named at the end (exit status 1).
#
# Needs Node.js 20: `node` on PATH, or an xz-compressed binary at
# .devtools/node.xz (xz -9 < "$(command -v node)" > .devtools/node.xz; keep
# .devtools out of git). When the tree travels to another machine, carry
# .devtools, node_modules and build/Release along (the kept cubins under
# build/Release feed the model).
set -uo pipefail
cd "$(dirname "$0")/.."

failed=()
# check NAME COMMAND...: runs one check, remembers it when it fails.
check() {
  local name=$1
  shift
  echo "== $name"
  if ! "$@"; then
    echo "gpu-check: FAILED: $name" >&2
    failed+=("$name")
  fi
}

if ! command -v node >/dev/null; then
  if [ -f .devtools/node.xz ]; then
    mkdir -p /tmp/noncesieve-node
    xz -dc .devtools/node.xz > /tmp/noncesieve-node/node
    chmod +x /tmp/noncesieve-node/node
    export PATH=/tmp/noncesieve-node:$PATH
  else
    echo "gpu-check: FAILED: no node on PATH and no .devtools/node.xz" >&2
    exit 1
  fi
fi
echo "== $(node --version), $(nvidia-smi -L 2>/dev/null | head -n 4 || echo 'nvidia-smi not found')"

if [ ! -f build/Release/nvsieve.node ]; then
  { [ -d node_modules/nan ] || npm install --ignore-scripts --no-audit --no-fund; } &&
    node scripts/build.js rebuild || { echo "gpu-check: FAILED: building nvsieve" >&2; exit 1; }
fi
node -e "process.exit(require('./lib/nvsieve').isAvailable() ? 0 : 1)" || {
  echo "gpu-check: FAILED: no usable CUDA driver or device" >&2
  exit 1
}

# Which path each GPU took: its own SASS, or PTX the driver compiled (the
# first run's JIT happens here and lands in the driver's cache).
check "driver and images" node -e '
const r = require("./lib/nvsieve").driverReport();
console.log(`driver: ${r.driver}`);
r.gpus.forEach((g, i) => console.log(`GPU ${i}: ${g.name}, compute capability ${g.major}.${g.minor}: ${g.image || `runs nothing: ${g.failure}`}`));
process.exit(r.gpus.some((g) => g.image) ? 0 : 1);'
check "nvsieve tests on the GPU" env NVSIEVE_TEST_REAL=1 node --test test/js/nvsieve.test.js
for kernel in default balanced; do
  check "self-test, $kernel kernel" env NVSIEVE_KERNEL=$kernel node lib/cli.js selftest --backend cuda
done
check "kernel timing (5 s each, 4 slots)" node bench/nvsieve-kernels.js --seconds 5 --slots 4
check "kernel code counts" node bench/nvsieve-sass.js

if [ ${#failed[@]} -gt 0 ]; then
  echo "gpu-check: ${#failed[@]} check(s) failed:" >&2
  printf '  - %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "gpu-check: all checks passed"
