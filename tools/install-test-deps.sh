#!/bin/sh
# Installs, on a Debian machine, everything the test suites need: the native
# tool chain and GoogleTest, strace and e2fsprogs for the fault and lock cases,
# and MinGW-w64, 32-bit Wine, Xvfb, xdotool and ImageMagick for the Windows
# executable's tests (64-bit Wine and the x86-64 MinGW-w64 too, for machines
# whose kernel cannot run 32-bit code); osslsigncode, openssl and git for the
# release test, which signs with a certificate of its own. Packages already
# present are left alone.
set -eu

need=""
want() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed" || need="$need $1"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386  # wine32:i386 then counts as missing: apt-get update runs
fi

for p in build-essential cmake ninja-build libgtest-dev libgmock-dev python3 strace e2fsprogs \
         util-linux mount valgrind clang-format \
         g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
         wine wine32:i386 wine64 fonts-wine xvfb xauth xdotool x11-utils \
         imagemagick libimage-exiftool-perl icoutils binutils hyperfine \
         osslsigncode openssl git; do
  want "$p"
done

if [ -n "$need" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends $need
fi
