#!/usr/bin/env bash
# Compiles nvsieve's device code to the portable PTX (ISA 4.3, .target sm_35)
# with clang's NVPTX backend: every driver since CUDA 8 compiles it for any
# GPU from Kepler on. No CUDA headers are used (src/binding/clang_cuda.h).
# Usage: scripts/portable-ptx.sh SRC OUT.ptx
#   CLANG  the clang to use (default: clang-14, then clang)
# Without clang it says so in one line and writes an empty OUT: the module is
# then built without the portable PTX.
set -euo pipefail
src=$1 out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
clang=${CLANG:-}
if [ -z "$clang" ]; then
  for c in clang-14 clang; do
    if command -v "$c" >/dev/null; then clang=$c; break; fi
  done
fi
if [ -z "$clang" ]; then
  echo "noncesieve: nvsieve is built without its portable PTX (no clang; Debian/Ubuntu: apt-get install clang-14), so GPUs older than the CUDA toolkit's oldest SASS, or drivers older than it, cannot run it" >&2
  : >"$out"
  exit 0
fi
# -ptx75/+ptx43: PTX ISA 4.3 (clang 14 writes 3.2 unless told which ISA).
"$clang" -x cuda --cuda-device-only -nocudainc -nocudalib --cuda-gpu-arch=sm_35 \
  -Wno-unknown-cuda-version -Xclang -target-feature -Xclang -ptx75 \
  -Xclang -target-feature -Xclang +ptx43 -O3 -S \
  -include "$root/src/binding/clang_cuda.h" -I "$root/src/common" -o "$out.tmp" "$src"
mv "$out.tmp" "$out"
