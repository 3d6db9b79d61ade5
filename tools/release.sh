#!/bin/sh
# Builds the Windows product from this work tree in a fresh build folder and
# writes dist/TalvenClient_SET-<version>/ with TalvenClient_SET.exe, the
# administrators' TalvenClient_DELIVER.exe beside it, and SHA256SUMS (check
# it with `sha256sum -c SHA256SUMS` in that folder). The build is
# reproducible: anyone who builds the same source gets the same bytes, so a
# delivered exe can be checked against a build of one's own.
#
# usage: tools/release.sh [--key KEY.pem --cert CERT.pem [--timestamp URL]]
#                         [--preset PRESET]
#
# --key, --cert  sign both exes with Authenticode (SHA-256) before the
#                checksums are taken: KEY.pem is the PEM private key, CERT.pem its
#                code-signing certificate followed by the chain up to the
#                root. The signature is verified against CERT.pem and the
#                system's root certificates before the release is written.
# --timestamp    adds an RFC 3161 time stamp from this server, so that the
#                signature stays valid after the certificate expires.
# --preset       a build preset other than `windows` (the 32-bit product),
#                e.g. windows64, the x86-64 twin that the tests run under Wine
#                where 32-bit code cannot run; its folder name says so.
#
# The version comes from the build (the CMake project version); the exe's
# version resource must agree with it. Without --key the release is unsigned
# and says so.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
key="" cert="" timestamp="" preset=windows
usage() { echo "usage: $0 [--key KEY.pem --cert CERT.pem [--timestamp URL]] [--preset PRESET]" >&2; exit 2; }
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --key) key=$(realpath "$2") ;;
    --cert) cert=$(realpath "$2") ;;
    --timestamp) timestamp=$2 ;;
    --preset) preset=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if { [ -n "$key" ] && [ -z "$cert" ]; } || { [ -z "$key" ] && [ -n "$cert" ]; }; then
  echo "--key and --cert go together" >&2
  exit 2
fi
if [ -n "$timestamp" ] && [ -z "$key" ]; then
  echo "--timestamp needs --key and --cert" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A fresh build folder: nothing left over from another configuration or an
# earlier build can reach the release. CMake writes the project version for
# this script from inside the configured project.
printf 'file(WRITE "${CMAKE_BINARY_DIR}/release-version" "${PROJECT_VERSION}")\n' >"$work/version.cmake"
cd "$top"
cmake --preset "$preset" -B "$work/build" -DBUILD_TESTING=OFF \
  -DCMAKE_PROJECT_TalvenClient_SET_INCLUDE="$work/version.cmake" >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build" --target TalvenClient_SET TalvenClient_DELIVER -j 2 >"$work/build.log" ||
  { cat "$work/build.log" >&2; exit 1; }
version=$(cat "$work/build/release-version")
exe="$work/build/TalvenClient_SET.exe"
deliver="$work/build/TalvenClient_DELIVER.exe"

# What Explorer shows in the file's properties is the version resource: it
# must name the same version as the release's folder.
resource=$(exiftool -s3 -FileVersionNumber "$exe")
case $resource in
  "$version" | "$version".*) ;;
  *) echo "the exe's version resource says $resource, the project version is $version" >&2; exit 1 ;;
esac

name="TalvenClient_SET-$version"
[ "$preset" = windows ] || name="$name-$preset"
out="$top/dist/$name"

built=$(sha256sum "$exe" | cut -d' ' -f1)
built_deliver=$(sha256sum "$deliver" | cut -d' ' -f1)
# sign FILE DESCRIPTION: signs FILE in place and verifies the signature.
sign() {
  signing=$1
  set -- -h sha256 -n "$2" -certs "$cert" -key "$key" -in "$signing" -out "$work/signed.exe"
  [ -z "$timestamp" ] || set -- "$@" -ts "$timestamp"
  osslsigncode sign "$@" >"$work/sign.log" 2>&1 ||
    { cat "$work/sign.log" >&2; echo "signing failed" >&2; exit 1; }
  # Trusted here means: chains up to a root in CERT.pem or the system's store.
  # Revocation lists are not fetched: a build machine may have no network.
  cat "$cert" >"$work/trusted.pem"
  [ ! -r /etc/ssl/certs/ca-certificates.crt ] || cat /etc/ssl/certs/ca-certificates.crt >>"$work/trusted.pem"
  # osslsigncode before 2.6 (Debian 12's own) fetches no lists and has no
  # -ignore-cdp; later ones are told not to.
  set -- -CAfile "$work/trusted.pem" -TSA-CAfile "$work/trusted.pem"
  ! osslsigncode verify --help 2>&1 | grep -q -- -ignore-cdp || set -- "$@" -ignore-cdp
  osslsigncode verify "$@" -in "$work/signed.exe" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; echo "the signed $signing does not verify against $cert" >&2; exit 1; }
  mv "$work/signed.exe" "$signing"
}
if [ -n "$key" ]; then
  sign "$exe" "TALVEN Client Update Executable"
  sign "$deliver" "TALVEN Client Delivery"
fi

rm -rf "$out"
mkdir -p "$out"
cp "$exe" "$out/TalvenClient_SET.exe"
cp "$deliver" "$out/TalvenClient_DELIVER.exe"
(cd "$out" && sha256sum TalvenClient_SET.exe TalvenClient_DELIVER.exe >SHA256SUMS)

echo "release $version ($preset) in dist/$name:"
sed 's/^/  /' "$out/SHA256SUMS"
if [ -n "$key" ]; then
  subject=$(openssl x509 -noout -subject -nameopt oneline -in "$cert")
  echo "  signed (Authenticode, SHA-256) by $subject${timestamp:+, time-stamped by $timestamp}"
  echo "  before signing (and with the signature removed):"
  echo "    $built  TalvenClient_SET.exe"
  echo "    $built_deliver  TalvenClient_DELIVER.exe"
else
  echo "  UNSIGNED: no --key and --cert given"
fi
