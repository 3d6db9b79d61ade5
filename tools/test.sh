#!/bin/sh
# Installs what the tests need, builds the three builds (the Linux program,
# the Windows product, 32-bit x86, and its x86-64 twin) and runs the default
# set of every suite: the Linux suites beside the Windows ones, whose Wine
# tests go in two lines (tests/CMakeLists.txt). The exhaustive sets:
# tools/reliability.sh.
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)

./tools/install-test-deps.sh
echo "=== test dependencies in place after $(($(date +%s) - start)) s"

# The three builds go at once, and the Wine prefix that every Windows
# session copies is made beside them: each alone leaves a core idle much of
# the time (configuring, linking, Wine starting its services). ctest then
# leaves out its own step that makes the prefix.
mkdir -p build/windows64/tests
python3 tests/wine/wine_runner.py --make-prefix build/windows64/tests/wine-prefix \
  >build/wine-prefix.log 2>&1 &
prefix=$!
builds=""
for preset in linux windows windows64; do
  # A build folder configured for another generator is configured afresh.
  fresh=""
  grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja$' "build/$preset/CMakeCache.txt" || fresh=--fresh
  { cmake --preset "$preset" $fresh >/dev/null && cmake --build --preset "$preset"; } \
    >"build/$preset.log" 2>&1 &
  builds="$builds $preset:$!"
done
built=0
for build in $builds; do
  wait "${build#*:}" || built=1
  cat "build/${build%:*}.log"
done
if [ "$built" -ne 0 ]; then
  kill "$prefix" 2>/dev/null || true  # its prefix would serve no test
  echo "=== a build failed (above)"
  exit 1
fi
echo "=== built after $(($(date +%s) - start)) s"

made_prefix="-E ^wine_prefix$ -FS ^wine_prefix$"
if wait "$prefix"; then
  echo "=== Wine prefix made beside the builds"
else
  echo "=== Wine prefix not made beside the builds: ctest makes it"
  cat build/wine-prefix.log
  made_prefix=""
fi

status=0
echo "=== linux (beside the Windows suites; its output follows theirs)"
ctest --preset linux -j 2 >build/linux/ctest.log 2>&1 &
linux=$!
echo "=== windows"
ctest --preset windows || status=1
echo "=== windows64"
ctest --preset windows64 -j 2 $made_prefix || status=1
wait "$linux" || status=1
echo "=== linux"
cat build/linux/ctest.log
echo "=== every suite built and run in $(($(date +%s) - start)) s"
exit "$status"
