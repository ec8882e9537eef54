#!/usr/bin/env bash
# Installs what the tests need (when missing), builds zendrocast and runs every test:
# the unit, binary and emulated-hidraw suites, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, the fuzzers for a bounded time, and the Windows builds (32-bit
# and 64-bit, cross-compiled) with the 64-bit unit and black-box tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev googletest pkg-config libfuse3-dev fuse3 clang
  libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

jobs=$(nproc)
stages=0

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENDROCAST_TESTS=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs"
stages=$((stages + 1))

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZENDROCAST_SANITIZE=ON -DZENDROCAST_TESTS=ON
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j "$jobs"
stages=$((stages + 1))

echo "== fuzz the report-descriptor reader and the argument conversion (${FUZZ_SECONDS:=60} s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZENDROCAST_FUZZ=ON -DZENDROCAST_TESTS=OFF
cmake --build build-fuzz -j "$jobs"
# Scratch space for the fuzz corpora, their findings and the Wine prefix.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for target in report_descriptor argument_text; do
  corpus=$scratch/$target
  mkdir -p "$corpus"
  cp fuzz/corpus/"$target"/* "$corpus"/
  # Crash inputs land in scratch; the checked-in seeds stay as they are.
  ./build-fuzz/fuzz/${target}_fuzz -max_total_time="$FUZZ_SECONDS" -max_len=4096 \
    -artifact_prefix="$scratch/$target-" "$corpus" > "$scratch/$target.log" 2>&1 &
done
for job in $(jobs -p); do
  wait "$job" || status=1
done
for target in report_descriptor argument_text; do
  echo "$target: $(grep -E '^Done [0-9]+ runs' "$scratch/$target.log" || tail -n 20 "$scratch/$target.log")"
done
if [ "$status" -ne 0 ]; then
  echo "a fuzzer found a failing input:"
  ls "$scratch"
  exit 1
fi
stages=$((stages + 1))

echo "== Windows: 32-bit and 64-bit cross builds, import tables, hardening"
for arch in i686 x86_64; do
  # The executables as shipped, and the unit tests (which need the POSIX thread model).
  cmake -S . -B "build-win-$arch" -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake"
  cmake --build "build-win-$arch" -j "$jobs"
  cmake -S . -B "build-win-$arch-tests" -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=ON \
    -DZENDROCAST_MINGW_THREADS=posix -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake"
  cmake --build "build-win-$arch-tests" -j "$jobs" --target zendrocast_unit_tests
  scripts/check-windows-imports.sh "$arch-w64-mingw32-objdump" "build-win-$arch/zendrocast.exe" \
    "build-win-$arch-tests/tests/zendrocast_unit_tests.exe"
  scripts/check-hardening.sh pe "$arch-w64-mingw32-objdump" "build-win-$arch/zendrocast.exe"
done
stages=$((stages + 1))

echo "== Windows: 64-bit unit and black-box tests under Wine"
export WINEDEBUG=-all WINEPREFIX="$scratch/wineprefix"
wine=/usr/lib/wine/wine64
mkdir -p "$WINEPREFIX"
# One server for all the runs below, instead of one started and stopped per run.
/usr/lib/wine/wineserver64 -p120
"$wine" wineboot --init > /dev/null 2>&1
"$wine" build-win-x86_64-tests/tests/zendrocast_unit_tests.exe
ZENDROCAST_LAUNCHER="$wine" ZENDROCAST_EXE=build-win-x86_64/zendrocast.exe \
  build/tests/zendrocast_binary_tests
/usr/lib/wine/wineserver64 -k || true
stages=$((stages + 1))

echo "stages: $stages passed, 0 failed"
