#!/bin/sh
# Runs the exhaustive sets of the reliability suites (CTest label
# "exhaustive") and regenerates the record, docs/reliability.md, one block
# per part:
#   linux  the Linux program: concurrent runs, kill points, injected faults,
#          hostile folders. Run as root for the rows that switch users or
#          mount small file systems; without root they are recorded as skipped.
#   wine   the Windows executable under Wine (the 32-bit product wherever
#          32-bit Wine runs, natively or through qemu-i386; else the x86-64
#          twin): runs at once, files held for a moment, a delivery over 4 GiB,
#          a kill at every kill point of the typical run
#          (in the exe and in the wineserver) and each call failing with every
#          errno. Takes a few hours on two cores.
# usage: tools/reliability.sh [linux] [wine]      (no argument: both)
set -eu
cd "$(dirname "$0")/.."
status=0
for part in ${*:-linux wine}; do
  case $part in
    linux) presets=linux ;;
    wine) presets="windows windows64" ;;
    *)
      echo "usage: $0 [linux] [wine]" >&2
      exit 2
      ;;
  esac
  for preset in $presets; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
  done
  ctest --test-dir "build/${presets##* }" -L exhaustive --output-on-failure || status=$?
done
exit "$status"
