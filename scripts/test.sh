#!/usr/bin/env bash
# Everything CI runs after set-up: the core's C++ tests (plain, then under
# AddressSanitizer and UndefinedBehaviorSanitizer), then the module tests.
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

echo "== module tests"
node --test --test-concurrency=1 test/js/
