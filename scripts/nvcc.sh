#!/usr/bin/env bash
# Compiles nvsieve's device code to a fatbin (SASS for every architecture this
# nvcc builds, PTX of the newest): every nvcc flag lives here.
# Usage: scripts/nvcc.sh SRC OUT.fatbin [extra nvcc args, e.g. -I dirs]
#   NVCC        nvcc to use (default: the toolkit scripts/find-cuda.js finds)
#   NVSIEVE_ARCHS  GPU list for scripts/cuda-archs.js, e.g. "sm_86 sm_90"
#   NONCESIEVE_NVCC_CACHE  a folder of objects by content: the device code does not
#               depend on Node's headers, so builds for several Node versions compile it once
# Side outputs next to OUT: OUT.ptxas.txt (ptxas register/shared memory report) and
# keep-<name>/ (intermediate .ptx/.cubin files, for inspecting the generated code).
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 SRC OUT [nvcc args...]" >&2
  exit 2
fi
src=$1 out=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${NVCC:-}" ]; then
  cuda=$(node "$root/scripts/find-cuda.js")
  [ -n "$cuda" ] || exit 1
  NVCC=$cuda/bin/nvcc
fi
read -r -a gencode <<<"$(node "$root/scripts/cuda-archs.js" "$NVCC")"

name=$(basename "$src")
if [ -n "${NONCESIEVE_NVCC_CACHE:-}" ]; then
  key=$({ cat "$0" "$src" "$root"/src/common/*.h "$root"/src/binding/*.h "$root"/src/binding/*.cuh 2>/dev/null
    printf '%s\n' "${gencode[@]}" "$@"; "$NVCC" --version; } | sha256sum | cut -c1-32)
  cached=$NONCESIEVE_NVCC_CACHE/${name%.*}-$key.fatbin
  if [ -f "$cached" ] && [ -f "$cached.ptxas.txt" ]; then
    cp "$cached" "$out" && cp "$cached.ptxas.txt" "$out.ptxas.txt"
    exit 0
  fi
fi
keep=$(dirname "$out")/keep-${name%.*}
rm -rf "$keep"
mkdir -p "$keep"

# The PTX stays uncompressed: the emulated driver of the tests reads and runs it.
flags=(-O3 -std=c++17 -I "$root/src/common" "${gencode[@]}" -Xfatbin --compress=false
  -Xptxas -v --keep --keep-dir "$keep")

# ptxas -v writes its report to stderr; keep it in a file and show only the rest.
if "$NVCC" "${flags[@]}" "$@" -fatbin "$src" -o "$out" 2>"$out.ptxas.txt"; then
  grep -Ev -e '^ptxas info' -e '^ +[0-9]+ bytes stack frame' -e '^$' "$out.ptxas.txt" >&2 || true
  if [ -n "${NONCESIEVE_NVCC_CACHE:-}" ]; then
    mkdir -p "$NONCESIEVE_NVCC_CACHE"
    cp "$out.ptxas.txt" "$cached.ptxas.txt.$$" && cp "$out" "$cached.$$" &&
      mv "$cached.ptxas.txt.$$" "$cached.ptxas.txt" && mv "$cached.$$" "$cached"
  fi
else
  rc=$?
  cat "$out.ptxas.txt" >&2
  rm -f "$out"
  exit "$rc"
fi
