#!/usr/bin/env bash
# Builds the OpenSSL that zendrocast-mqtt.exe links statically, for 64-bit Windows with
# mingw-w64, from Debian's own source package at a pinned version. (libmosquitto is compiled by
# the bridge's build, from scripts/libmosquitto.sh's source.)
# Usage: scripts/windows-deps.sh DIR
# DIR/x86_64 then holds include/ and lib/ for -DZENDROCAST_WIN_DEPS. A second run with the same
# versions builds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

openssl_version=3.0.20-1~deb12u2
triple=x86_64-w64-mingw32

dir=$(mkdir -p "$1" && cd "$1" && pwd)
prefix=$dir/x86_64
stamp=$prefix/versions
wanted="openssl $openssl_version"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
  echo "($wanted: built before)"
  exit 0
fi
rm -rf "$prefix" "$dir/src"
mkdir -p "$prefix/lib" "$prefix/include" "$dir/src"

need_deb_src
(cd "$dir/src" && quietly apt-get source "openssl=$openssl_version")

echo "(building OpenSSL ${openssl_version%%-*})"
# Only the libraries: no programs, no tests, no engines or modules to load at run time.
(cd "$dir/src/openssl-${openssl_version%%-*}" &&
  quietly ./Configure mingw64 --cross-compile-prefix="$triple-" no-shared no-tests no-module \
    no-engine no-dso --prefix="$prefix" --libdir=lib --openssldir="C:/Program Files/zendrocast/ssl" &&
  quietly make -j"$(nproc)" build_libs && quietly make install_dev)

# The sources are not needed again; the libraries and headers are.
rm -rf "$dir/src"
echo "$wanted" >"$stamp"
