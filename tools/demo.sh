#!/bin/sh
# Builds the Linux program and runs one update on a sample client folder:
# the typical delivery of a new client executable, version file and library.
# Prints the folder before and after; the boxes appear on standard error.
set -eu
cd "$(dirname "$0")/.."

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q cmake g++
fi
cmake --preset linux >/dev/null
cmake --build --preset linux --target TalvenClient_SET >/dev/null

folder=build/demo/client
rm -rf "$folder" && mkdir -p "$folder"
cd "$folder"
printf 'client 7.0.000\n' > TALVENClient.exe
printf 'client 7.0.001\n' > TALVENClient_NEW.exe
printf '7.0.000\n' > TALVENClientVersion.txt
printf '7.0.001\n' > TALVENClient_VER.txt
printf 'netbridge 1\n' > TALVENNetBridge40.dll
printf 'netbridge 2\n' > TALVENNetBridge40_new.dll
printf 'viewhostpanel 1\n' > TALVENViewHostPanel.dll
printf 'viewhostpanel40 1\n' > TALVENViewHostPanel40.dll

show() {
  echo "== $1: $(pwd)"
  for f in *; do printf '  %-28s %s\n' "$f" "$(cat "$f")"; done
}
show before
echo "== running TalvenClient_SET (boxes answered at once)"
status=0
../../linux/TalvenClient_SET </dev/null 2>&1 || status=$?
show after
echo "== exit status $status"
