#!/bin/sh
# Regenerates the record, docs/reliability.md, one block per part:
#   linux  builds the Linux program, runs the reliability suites (concurrent
#          runs, kill points, injected faults, hostile folders) and rewrites
#          the Linux block. Run as root for the rows that switch users or
#          mount small file systems; without root they are recorded as skipped.
#   wine   builds the Windows executable (the x86-64 twin where 32-bit Wine
#          cannot run) and rewrites the Wine block from its runs under Wine:
#          runs at once, files held for a moment, a delivery over 4 GiB, a kill
#          at every file-system call of the typical run (in the exe and in the
#          wineserver, strace attached to both) and each such call failing.
# usage: tools/reliability.sh [linux] [wine]      (no argument: both)
set -eu
cd "$(dirname "$0")/.."
status=0
for part in ${*:-linux wine}; do
  case $part in
    linux)
      cmake --preset linux >/dev/null
      cmake --build --preset linux --target TalvenClient_SET >/dev/null
      python3 tests/reliability/record.py build/linux/TalvenClient_SET docs/reliability.md ||
        status=$?
      ;;
    wine)
      cmake --preset windows64 >/dev/null
      cmake --build --preset windows64 --target TalvenClient_SET talven_holder >/dev/null
      python3 tests/wine/wine_reliability.py --record docs/reliability.md \
        --holder build/windows64/tests/talven_holder.exe \
        build/windows/TalvenClient_SET.exe build/windows64/TalvenClient_SET.exe || status=$?
      ;;
    *)
      echo "usage: $0 [linux] [wine]" >&2
      exit 2
      ;;
  esac
done
exit "$status"
