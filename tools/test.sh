#!/bin/sh
# Installs what the tests need, builds the three builds (the Linux program,
# the Windows product, 32-bit x86, and its x86-64 twin) and runs the default
# set of every suite: the Linux suites beside the Windows ones, which take
# turns under Wine. The exhaustive sets: tools/reliability.sh.
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)

./tools/install-test-deps.sh
echo "=== test dependencies in place after $(($(date +%s) - start)) s"

for preset in linux windows windows64; do
  # A build folder configured for another generator is configured afresh.
  fresh=""
  grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja$' "build/$preset/CMakeCache.txt" || fresh=--fresh
  cmake --preset "$preset" $fresh >/dev/null
  cmake --build --preset "$preset"
done

status=0
echo "=== linux (beside the Windows suites; its output follows theirs)"
ctest --preset linux -j 2 >build/linux/ctest.log 2>&1 &
linux=$!
echo "=== windows"
ctest --preset windows || status=1
echo "=== windows64"
ctest --preset windows64 -j 2 || status=1
wait "$linux" || status=1
echo "=== linux"
cat build/linux/ctest.log
echo "=== every suite built and run in $(($(date +%s) - start)) s"
exit "$status"
