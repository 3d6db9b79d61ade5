#!/bin/sh
# Installs, on a Debian machine, everything the test suites need: the native
# tool chain, Ninja and GoogleTest (and its sources, built for MinGW),
# clang-format for the format check, strace and e2fsprogs for the fault and
# lock cases, and MinGW-w64, Wine (32- and 64-bit), Xvfb, xdotool and
# ImageMagick for the Windows executable's tests;
# osslsigncode, openssl and git for the release test, which signs with a
# certificate of its own. Where the kernel cannot run 32-bit code, qemu-user
# from the release's backports suite runs 32-bit Wine instead (the release's
# own qemu is too old for Wine). Packages already present are left alone.
set -eu

need=""
want() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed" || need="$need $1"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386  # wine32:i386 then counts as missing: apt-get update runs
fi

for p in build-essential cmake ninja-build libgtest-dev libgmock-dev googletest python3 strace e2fsprogs \
         util-linux mount clang-format \
         g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
         wine wine32:i386 wine64 fonts-wine xvfb xauth xdotool x11-utils \
         imagemagick libimage-exiftool-perl icoutils binutils \
         osslsigncode openssl libssl-dev git; do
  want "$p"
done

# The smallest i386 program: exit(0) through int 0x80. It runs where the
# kernel runs 32-bit code (or already hands it to an emulator).
runs_32bit() {
  probe=$(mktemp)
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$probe"
  chmod +x "$probe"
  if "$probe" 2>/dev/null; then ran=0; else ran=1; fi
  rm -f "$probe"
  return $ran
}

qemu_recent() { qemu-i386 --version 2>/dev/null | grep -Eq 'version ([89]|[1-9][0-9])\.'; }

if ! runs_32bit && ! qemu_recent; then
  # The backports of the release this machine runs, from the mirror its own
  # sources name (deb822 or one-line format).
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
             awk -v c="$codename" '/^URIs:/ { uri = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == c) print uri }' |
             head -n 1)
  [ -n "$mirror" ] || mirror=$(awk -v c="$codename" '$1 == "deb" && $3 == c { print $2; exit }' \
                                 /etc/apt/sources.list 2>/dev/null || true)
  if [ -z "$codename" ] || [ -z "$mirror" ]; then
    echo "install-test-deps: no Debian mirror named for ${codename:-this release}: 32-bit Wine will not run here" >&2
  else
    grep -qsr "^[^#]*$codename-backports" /etc/apt/sources.list /etc/apt/sources.list.d ||
      echo "deb $mirror $codename-backports main" >/etc/apt/sources.list.d/talven-backports.list
    need="$need qemu-user/$codename-backports"
  fi
fi

if [ -n "$need" ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in mid-sync can fail one index while every package is still to
  # be had: the install below says whether anything is really missing.
  apt-get update -q || echo "install-test-deps: some package lists did not download; going on" >&2
  if ! apt-get install -y -q --no-install-recommends $need; then
    # Without an index, the i386 libraries may not be had in the versions
    # their amd64 twins have: everything else is installed, and the Wine
    # tests say that 32-bit Wine cannot run (the x86-64 twin runs instead).
    echo "install-test-deps: installing again without the i386 packages (32-bit Wine)" >&2
    apt-get install -y -q --no-install-recommends $(echo $need | tr ' ' '\n' | grep -v -e ':i386$')
  fi
fi
