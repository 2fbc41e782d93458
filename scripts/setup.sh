#!/usr/bin/env bash
# Installs what noncesieve needs on a Debian machine and builds the modules
# (clang-14 makes nvsieve's portable PTX).
# Safe to run again: it installs only what is missing and rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ make cmake python3 clang-14 ocl-icd-opencl-dev opencl-c-headers opencl-clhpp-headers pocl-opencl-icd
  libgtest-dev patchelf)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages; run as root:"
    echo "  apt-get update && apt-get install -y ${missing[*]}"
    exit 1
  fi
fi

# npm install when the dependencies changed (it also builds the modules);
# otherwise an incremental build.
if [ ! -f node_modules/.package-lock.json ] || [ package.json -nt node_modules/.package-lock.json ] ||
   [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm install --no-audit --no-fund
else
  node scripts/build.js build
fi
