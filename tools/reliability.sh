#!/bin/sh
# Builds the Linux program, runs the reliability suites (concurrent runs,
# kill points, injected faults, hostile folders) and rewrites their results
# in docs/reliability.md. Run as root for the rows that switch users or
# mount small file systems; without root they are recorded as skipped.
set -eu
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux --target TalvenClient_SET >/dev/null
exec python3 tests/reliability/record.py build/linux/TalvenClient_SET docs/reliability.md
