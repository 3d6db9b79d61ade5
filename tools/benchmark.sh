#!/bin/sh
# Measures the update program and prints one table: the copy routine on a
# 1 GiB client executable beside cp + sync (and cloning on btrfs and xfs),
# the delivery program delivering that executable beside cp + sync,
# the typical run's wall time, system calls and heap allocations, and the
# Windows executable's size and imports. Rewrites docs/performance.md.
# Takes a few minutes; run as root, for the loop-device file systems.
# Not a test: nothing here passes or fails on a slow machine. Arguments go to
# bench/benchmark.py (--help lists them; --size-mib 64 for a quick look).
set -eu
cd "$(dirname "$0")/.."

need=""
for tool in cmake:cmake g++:g++ gcc:gcc python3:python3 strace:strace valgrind:valgrind \
            filefrag:e2fsprogs findmnt:util-linux mkfs.btrfs:btrfs-progs mkfs.xfs:xfsprogs; do
  command -v "${tool%%:*}" >/dev/null || need="$need ${tool#*:}"
done
[ -e /usr/include/openssl/evp.h ] || need="$need libssl-dev"  # the delivery program's SHA-256
if [ -n "$need" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in mid-sync can fail one index while these are still to be had.
    apt-get update -q >/dev/null || echo "benchmark: some package lists did not download; going on" >&2
    apt-get install -y -q --no-install-recommends $need >/dev/null
  else
    echo "benchmark: missing$need (install them, or run as root)" >&2
  fi
fi

echo "-- building the Linux program and the benchmark helpers" >&2
cmake --preset linux >/dev/null
cmake --build --preset linux --target TalvenClient_SET TalvenClient_DELIVER >/dev/null
mkdir -p build/bench
CXXFLAGS="-std=c++20 -O3 -DNDEBUG -Wall -Wextra"
# The copy routine comes from the Linux build's own platform library.
g++ $CXXFLAGS -Iplatform bench/copy_file.cpp build/linux/libtalven_platform.a \
  -o build/bench/copy_file
g++ $CXXFLAGS bench/empty_main.cpp -o build/bench/empty_main
gcc -O2 -Wall -Wextra -shared -fPIC bench/count_allocations.c -ldl \
  -o build/bench/count_allocations.so

# The Windows product, where its cross compiler is installed
# (tools/install-test-deps.sh installs it); otherwise it is reported as not
# built, or measured as last built.
if command -v i686-w64-mingw32-g++-win32 >/dev/null || command -v i686-w64-mingw32-g++ >/dev/null; then
  echo "-- building the Windows executable" >&2
  if ! { cmake --preset windows >/dev/null && cmake --build --preset windows --target TalvenClient_SET >/dev/null; }; then
    echo "benchmark: the Windows build failed; measuring the last one built, if any" >&2
  fi
else
  echo "benchmark: no i686-w64-mingw32 compiler; the Windows executable is not rebuilt" >&2
fi

exec python3 bench/benchmark.py "$@"
