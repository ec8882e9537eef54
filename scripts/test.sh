#!/usr/bin/env bash
# Installs what the tests need (when missing), builds zendrocast and runs every test, stage by
# stage, with the wall time of each:
#   build and test        the unit, binary, emulated-hidraw, MQTT bridge and hardening tests
#   sanitizers            the same under AddressSanitizer and UndefinedBehaviorSanitizer, and a
#                         60-second chaos run of the bridge
#   fuzz                  the libFuzzer targets for FUZZ_SECONDS (default 60) each
#   windows               both cross builds (and the 64-bit bridge, with OpenSSL and libmosquitto
#                         built from Debian's sources once): import tables, hardening, sizes;
#                         both installers
#   wine                  the 64-bit unit and black-box tests under Wine, the bridge in Wine's
#                         console; the installers
#   packages              the .deb and both .zip files, installed and checked
#   real HID stacks       Debian's kernel in a VM, all three builds against uhid devices
#                         (tests/realstack/run.sh, which runs on its own too)
#   arm                   armhf and arm64: cross builds, unit tests under qemu-user, packages,
#                         Debian's arm64 kernel in a VM (tests/arm/run.sh, on its own too)
# Usage: scripts/test.sh [STAGE...]   (stage names as above, first word; none: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
# The 32-bit Windows executable runs under Wine's 32-bit loader; the ARM VM's kernel and busybox
# are arm64 packages.
install_missing --architecture i386 --architecture arm64 --architecture armhf cmake g++ make \
  libgtest-dev googletest pkg-config libfuse3-dev fuse3 clang libclang-rt-14-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 wine32:i386 dpkg-dev lintian unzip man-db \
  qemu-system-x86 busybox-static g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user \
  qemu-system-arm libssl-dev mosquitto mosquitto-clients openssl udev systemd \
  libssl-dev:armhf libssl-dev:arm64 patch rabbitmq-server python3 python3-jinja2 nodejs chromium \
  msitools wixl
# libmosquitto's source, which the bridge's build compiles.
scripts/libmosquitto.sh

jobs=$(nproc)
wanted=("$@")
passed=()
# Scratch space for the fuzz corpora, their findings and the Wine prefix.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# stage NAME FUNCTION: runs the stage when it is wanted, with its wall time.
stage() {
  local name=$1 function=$2 started
  if [ ${#wanted[@]} -gt 0 ] && ! printf '%s\n' "${wanted[@]}" | grep -qx "${name%% *}"; then
    return 0
  fi
  echo "== $name"
  started=$(date +%s)
  "$function"
  echo "-- $name: $(($(date +%s) - started)) s"
  passed+=("$name")
}

stage_build_and_test() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENDROCAST_TESTS=ON
  cmake --build build -j "$jobs"
  ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs"
}

stage_sanitizers() {
  cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZENDROCAST_SANITIZE=ON \
    -DZENDROCAST_TESTS=ON
  cmake --build build-sanitize -j "$jobs"
  # The RabbitMQ cluster's test once, in the stage before: it is of the cluster more than of the
  # bridge, whose requests, host order and MQTT 3.1.1 the other tests run here too.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j "$jobs" \
    -E OnARabbitMqCluster
  # Faults at random moments (the seed printed) while commands flow; it fails when a command the
  # broker took has no result, or two, or a box got a report of no command sent to it.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    build-sanitize/tests/zendrocast_bridge_benchmark --chaos 60
}

stage_fuzz() {
  local seconds=${FUZZ_SECONDS:-60} status=0 target
  echo "(${seconds} s each)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENDROCAST_FUZZ=ON -DZENDROCAST_TESTS=OFF
  cmake --build build-fuzz -j "$jobs"
  for target in report_descriptor argument_text; do
    mkdir -p "$scratch/$target"
    cp fuzz/corpus/"$target"/* "$scratch/$target"/
    # Crash inputs land in scratch; the checked-in seeds stay as they are.
    ./build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=4096 \
      -artifact_prefix="$scratch/$target-" "$scratch/$target" >"$scratch/$target.log" 2>&1 &
  done
  for job in $(jobs -p); do
    wait "$job" || status=1
  done
  for target in report_descriptor argument_text; do
    echo "$target: $(grep -E '^Done [0-9]+ runs' "$scratch/$target.log" ||
      tail -n 20 "$scratch/$target.log")"
  done
  if [ "$status" -ne 0 ]; then
    echo "a fuzzer found a failing input:"
    ls "$scratch"
    return 1
  fi
}

stage_windows() {
  local arch
  # The executables and installers as shipped (and the 64-bit bridge), then the unit tests, which
  # need the POSIX thread model.
  build_windows "$jobs"
  for arch in i686 x86_64; do
    cmake -S . -B "build-win-$arch-tests" -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=ON \
      -DZENDROCAST_MINGW_THREADS=posix \
      -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake"
    cmake --build "build-win-$arch-tests" -j "$jobs" --target zendrocast_unit_tests
    scripts/check-windows-imports.sh "$arch-w64-mingw32-objdump" "build-win-$arch/zendrocast.exe" \
      "build-win-$arch-tests/tests/zendrocast_unit_tests.exe"
    scripts/check-hardening.sh pe "$arch-w64-mingw32-objdump" "build-win-$arch/zendrocast.exe"
  done
  cmake --build build-win-x86_64-tests -j "$jobs" --target zendrocast_bridge_unit_tests
  scripts/check-windows-imports.sh x86_64-w64-mingw32-objdump build-win-x86_64-tests/zendrocast-mqtt.exe
  SIZE_LIMIT=6000000 scripts/check-hardening.sh pe x86_64-w64-mingw32-objdump \
    build-win-x86_64-tests/zendrocast-mqtt.exe
}

stage_wine() {
  export WINEDEBUG=-all WINEPREFIX="$scratch/wineprefix"
  local loader=/usr/lib/wine/wine64
  mkdir -p "$WINEPREFIX"
  # One server for all the runs below, instead of one started and stopped per run.
  /usr/lib/wine/wineserver64 -p120
  "$loader" wineboot --init >/dev/null 2>&1
  "$loader" build-win-x86_64-tests/tests/zendrocast_unit_tests.exe
  "$loader" build-win-x86_64-tests/tests/zendrocast_bridge_unit_tests.exe
  ZENDROCAST_LAUNCHER="$loader" ZENDROCAST_EXE=build-win-x86_64/zendrocast.exe \
    build/tests/zendrocast_binary_tests
  local version
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win-x86_64/CMakeCache.txt)
  build_windows_next "$jobs" "$version"
  scripts/check-msi.sh "$version" "build-win-x86_64/zendrocast-$version-x64.msi" \
    "build-win-i686/zendrocast-$version-x86.msi" \
    "build-win-next/zendrocast-$(next_version "$version")-x64.msi"
  # The Windows bridge in Wine's console, against the rig's Mosquitto (after the black-box tests,
  # which count the HID interfaces Wine offers).
  ZENDROCAST_WINE="$loader" ZENDROCAST_MQTT="$PWD/build-win-x86_64-tests/zendrocast-mqtt.exe" \
    build/tests/zendrocast_bridge_tests --gtest_filter='Bridge.TheWindowsBridgeUnderWine*'
  /usr/lib/wine/wineserver64 -k || true
}

stage_packages() {
  # The README's build: no build type, so Release.
  cmake -S . -B build-release -DZENDROCAST_TESTS=OFF
  cmake --build build-release -j "$jobs"
  local version
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release/CMakeCache.txt)
  (cd build-release && cpack -G DEB)
  (cd build-win-i686 && cpack)
  (cd build-win-x86_64 && cpack)
  scripts/check-packages.sh "$version" build-release/zendrocast_"$version"_*.deb \
    build-release/zendrocast-mqtt_"$version"_*.deb \
    build-win-i686/zendrocast-"$version"-win32.zip build-win-x86_64/zendrocast-"$version"-win64.zip
}

stage_real_hid_stacks() {
  tests/realstack/run.sh
}

stage_arm() {
  tests/arm/run.sh
}

stage "build and test" stage_build_and_test
stage "sanitizers" stage_sanitizers
stage "fuzz" stage_fuzz
stage "windows" stage_windows
stage "wine" stage_wine
stage "packages" stage_packages
stage "real HID stacks" stage_real_hid_stacks
stage "arm" stage_arm

if printf '%s\n' "${passed[@]}" | grep -qx "real HID stacks" && not_installed wine32:i386; then
  echo "not tested: the 32-bit Windows builds in the VM (wine32:i386 could not be installed)"
fi
echo "stages: ${#passed[@]} passed, 0 failed: $(printf '%s, ' "${passed[@]}" | sed 's/, $//')"
