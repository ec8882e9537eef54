#!/usr/bin/env bash
# Builds what zendrocast-mqtt.exe links statically, for 64-bit Windows with mingw-w64: OpenSSL
# and libmosquitto, from Debian's own source packages at pinned versions.
# Usage: scripts/windows-deps.sh DIR
# DIR/x86_64 then holds include/ and lib/ for -DZENDROCAST_WIN_DEPS. A second run with the same
# versions builds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

openssl_version=3.0.20-1~deb12u2
mosquitto_version=2.0.11-1.2+deb12u2
triple=x86_64-w64-mingw32

dir=$(mkdir -p "$1" && cd "$1" && pwd)
prefix=$dir/x86_64
stamp=$prefix/versions
wanted="openssl $openssl_version, mosquitto $mosquitto_version"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
  echo "($wanted: built before)"
  exit 0
fi
rm -rf "$prefix" "$dir/src"
mkdir -p "$prefix/lib" "$prefix/include" "$dir/src"

# Source packages need a deb-src entry beside Debian's deb one.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ &&
  ! grep -qs '^deb-src' /etc/apt/sources.list; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      $sudo tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  fi
  $sudo apt-get update -qq
fi
(cd "$dir/src" && quietly apt-get source "openssl=$openssl_version" "mosquitto=$mosquitto_version")

echo "(building OpenSSL ${openssl_version%%-*})"
# Only the libraries: no programs, no tests, no engines or modules to load at run time.
(cd "$dir/src/openssl-${openssl_version%%-*}" &&
  quietly ./Configure mingw64 --cross-compile-prefix="$triple-" no-shared no-tests no-module \
    no-engine no-dso --prefix="$prefix" --libdir=lib --openssldir="C:/Program Files/zendrocast/ssl" &&
  quietly make -j"$(nproc)" build_libs && quietly make install_dev)

echo "(building libmosquitto ${mosquitto_version%%-*})"
build=$dir/src/mosquitto-build
cmake_c=$(command -v "$triple-gcc-posix")
quietly cmake -S "$dir/src/mosquitto-${mosquitto_version%%-*}" -B "$build" \
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$cmake_c" \
  -DCMAKE_CXX_COMPILER="$triple-g++-posix" -DCMAKE_RC_COMPILER="$triple-windres" \
  -DCMAKE_FIND_ROOT_PATH="/usr/$triple;$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=ON -DWITH_STATIC_LIBRARIES=ON \
  -DWITH_THREADING=ON -DDOCUMENTATION=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF \
  -DWITH_PLUGINS=OFF -DWITH_CJSON=OFF -DWITH_SRV=OFF
quietly cmake --build "$build" -j"$(nproc)" --target libmosquitto_static
cp "$build"/lib/libmosquitto_static.a "$prefix/lib/libmosquitto.a"
cp "$dir/src/mosquitto-${mosquitto_version%%-*}"/include/{mosquitto.h,mqtt_protocol.h} \
  "$prefix/include/"
# The sources are not needed again; the libraries and headers are.
rm -rf "$dir/src"
echo "$wanted" >"$stamp"
