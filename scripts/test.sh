#!/usr/bin/env bash
# Everything CI runs after set-up: the core's C++ tests (plain, then under
# AddressSanitizer and UndefinedBehaviorSanitizer), the prebuilt binaries, then
# the module tests (among them the packed tarball installed on every Node line).
set -euo pipefail
cd "$(dirname "$0")/.."

for variant in plain sanitize; do
  dir=build/cpp-$variant
  sanitize=OFF
  [ "$variant" = sanitize ] && sanitize=ON
  cmake -S test/cpp -B "$dir" -DSANITIZE=$sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j"$(nproc)" >/dev/null
  echo "== C++ tests ($variant)"
  (cd "$dir" && ctest --output-on-failure)
done

# The emulated CUDA driver (build/emu-cuda/libcuda.so.1, which the module tests
# have nvsieve.node open), its PTX interpreter running the images the module
# build embedded, and their tests.
if [ -f build/Release/nvsieve.node ]; then
  cmake -S test/emu_cuda -B build/emu-cuda -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/emu-cuda -j"$(nproc)" >/dev/null
  echo "== emulated CUDA driver tests"
  (cd build/emu-cuda && ctest --output-on-failure)
fi

echo "== type declarations"
npx --no-install tsc -p test/types --noEmit && echo "types: ok"

# The binaries the package ships, for every Node line (kept between runs while
# their inputs are unchanged); test/js/as-shipped.test.js installs and runs them.
echo "== prebuilt binaries"
node scripts/prebuild.js

echo "== module tests"
node --test --test-concurrency=1 test/js/
