#!/bin/sh
# Builds the Linux programs and shows one update on a sample client folder:
# the administrator delivers a new client executable, version file and
# library with TalvenClient_DELIVER, then a user's run swaps them in. Prints
# the folder before, after the delivery and after the run; the boxes appear
# on standard error.
set -eu
cd "$(dirname "$0")/.."

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null || [ ! -e /usr/include/openssl/evp.h ]; then
  # A mirror in mid-sync can fail one index while these packages are still
  # to be had: the install says whether anything is really missing.
  apt-get update -q || echo "demo: some package lists did not download; going on" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q cmake g++ libssl-dev
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target TalvenClient_SET TalvenClient_DELIVER >/dev/null

rm -rf build/demo
mkdir -p build/demo/client "build/demo/new files"
cd build/demo/client
printf 'client 7.0.000\n' > TALVENClient.exe
printf '7.0.000\n' > TALVENClientVersion.txt
printf 'netbridge 1\n' > TALVENNetBridge40.dll
printf 'viewhostpanel 1\n' > TALVENViewHostPanel.dll
printf 'viewhostpanel40 1\n' > TALVENViewHostPanel40.dll
cd "../new files"
printf 'client 7.0.001\n' > TALVENClient.exe
printf '7.0.001\n' > TALVENClientVersion.txt
printf 'netbridge 2\n' > TALVENNetBridge40.dll
cd ../client

show() {
  echo "== $1: $(pwd)"
  for f in *; do printf '  %-28s %s\n' "$f" "$(cat "$f")"; done
}
deliver() { ../../linux/TalvenClient_DELIVER "$@" "../new files" . 2>&1; }

show before
echo "== TalvenClient_DELIVER --check: is the folder on the new release?"
deliver --check || echo "   (exit status $?: not current)"
echo "== TalvenClient_DELIVER: the administrator's delivery"
deliver
show "after the delivery"
echo "== running TalvenClient_SET (boxes answered at once)"
status=0
../../linux/TalvenClient_SET </dev/null 2>&1 || status=$?
show "after the update run"
echo "== exit status $status"
echo "== TalvenClient_DELIVER --check"
deliver --check
