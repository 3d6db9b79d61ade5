#!/bin/sh
# Installs what the tests need, then builds and tests all three builds: the
# Linux program, the Windows product (32-bit x86) and its x86-64 twin, which
# runs under Wine where this machine cannot run 32-bit code.
set -eu
cd "$(dirname "$0")/.."

./tools/install-test-deps.sh

for preset in linux windows windows64; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset" -j 2
done
