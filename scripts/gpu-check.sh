#!/usr/bin/env bash
# On a machine with an NVIDIA GPU and driver: builds the release nvsieve (or
# uses the one built here), runs the nvsieve test suite against it and the
# real GPU, runs each device's self-test checked on the host, and measures
# nonces per second per device through the public API. Under 5 minutes.
#
# Needs Node.js 20: `node` on PATH, or an xz-compressed binary at
# .devtools/node.xz (xz -9 < "$(command -v node)" > .devtools/node.xz; keep
# .devtools out of git). When the tree travels to another machine, carry
# .devtools, node_modules and build/Release along.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v node >/dev/null; then
  if [ -f .devtools/node.xz ]; then
    mkdir -p /tmp/noncesieve-node
    xz -dc .devtools/node.xz > /tmp/noncesieve-node/node
    chmod +x /tmp/noncesieve-node/node
    export PATH=/tmp/noncesieve-node:$PATH
  else
    echo "gpu-check: no node on PATH and no .devtools/node.xz" >&2
    exit 1
  fi
fi
echo "== $(node --version), $(nvidia-smi -L 2>/dev/null | head -n 4 || echo 'nvidia-smi not found')"

if [ ! -f build/Release/nvsieve.node ]; then
  [ -d node_modules/nan ] || npm install --ignore-scripts --no-audit --no-fund
  node scripts/build.js rebuild
fi
node -e "process.exit(require('./lib/nvsieve').isAvailable() ? 0 : 1)" || {
  echo "gpu-check: no usable CUDA driver or device" >&2
  exit 1
}

echo "== nvsieve tests on the GPU"
NVSIEVE_TEST_REAL=1 node --test test/js/nvsieve.test.js

echo "== self-tests"
node lib/cli.js selftest --backend cuda

echo "== throughput (20 s, 4 slots)"
node lib/cli.js bench --backend cuda --seconds 20 --slots 4
node bench/nvsieve-sass.js
