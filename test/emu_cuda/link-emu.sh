#!/usr/bin/env bash
# Links nvsieve_emu.node: nvsieve.node's own link, replayed with the emulated CUDA
# runtime in place of libcudart_static.a. Same objects, same order, same flags, so
# the module under test is the shipped one but for the runtime underneath.
# Usage: test/emu_cuda/link-emu.sh PRODUCT_DIR RUNTIME_ARCHIVE OUT
# (run by the nvsieve_emu target of binding.gyp, after nvsieve is linked)
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 PRODUCT_DIR RUNTIME_ARCHIVE OUT" >&2
  exit 2
fi
product=$(cd "$1" && pwd)
runtime=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
out=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")

# gyp's make build runs in the folder above PRODUCT_DIR and records each link
# command, paths relative to that folder, in .deps/<target>.d.
top=$(dirname "$product")
config=$(basename "$product")
record=$product/.deps/$config/obj.target/nvsieve.node.d
if [ ! -f "$record" ]; then
  echo "link-emu: $record not found: nvsieve.node must be built by node-gyp's make build first" >&2
  exit 1
fi
cmd=$(sed -n '1s/^cmd_[^ ]* := //p' "$record")
case $cmd in
  *\"* | *\'* | *\\* | *\$*)
    echo "link-emu: unexpected quoting in the link command of nvsieve.node:" >&2
    echo "  $cmd" >&2
    exit 1
    ;;
esac
read -r -a words <<<"$cmd"

args=()
swapped=0
i=0
while [ $i -lt ${#words[@]} ]; do
  w=${words[$i]}
  case $w in
    -o)
      args+=(-o "$out")
      i=$((i + 1))
      ;;
    -Wl,-soname=*)
      args+=("-Wl,-soname=$(basename "$out")")
      ;;
    */libcudart_static.a | libcudart_static.a)
      args+=("$runtime")
      swapped=$((swapped + 1))
      ;;
    *)
      args+=("$w")
      ;;
  esac
  i=$((i + 1))
done
if [ $swapped -ne 1 ]; then
  echo "link-emu: expected libcudart_static.a once in the link command of nvsieve.node:" >&2
  echo "  $cmd" >&2
  exit 1
fi

cd "$top"
"${args[@]}"

# A module may leave symbols for the process to supply, so the linker cannot
# catch a runtime function the emulator lacks; check for CUDA ones here. And none
# may be exported: a real runtime loaded in the same process would take the calls.
undefined=$(nm -D --undefined-only "$out" | grep -E ' (__)?cuda[A-Z]' || true)
exported=$(nm -D --defined-only "$out" | grep -E ' (__)?cuda[A-Z]' || true)
if [ -n "$undefined$exported" ]; then
  [ -z "$undefined" ] || printf 'link-emu: runtime functions the emulator lacks:\n%s\n' "$undefined" >&2
  [ -z "$exported" ] || printf 'link-emu: runtime functions exported:\n%s\n' "$exported" >&2
  rm -f "$out"
  exit 1
fi
