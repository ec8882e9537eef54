#!/usr/bin/env bash
# ARM: the tool for armhf (a Raspberry Pi's 32-bit userland) and arm64, end to end.
#   - cross-builds both with the project's warnings as errors and checks their hardening;
#   - runs the scripted-platform unit tests under qemu-user, with the cross C libraries;
#   - makes the .deb of each and checks it as the amd64 one is checked;
#   - boots Debian's arm64 kernel under qemu-system-aarch64 (software emulation, a CPU that runs
#     32-bit programs too) from a RAM disk holding busybox, statically linked builds of the tool
#     for both, and the uhid device program and scenario runner, and runs tests/arm/scenarios.txt
#     there; the results come back over the serial console.
# Installs what it needs when missing; fails when a step fails or the guest does not power off
# within the hard timeout.
#
# Usage: tests/arm/run.sh
# Environment: ZENDROCAST_VM_TIMEOUT (seconds, default 600), ZENDROCAST_CACHE (where the kernel is
# kept between runs, default ~/.cache/zendrocast).
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$(date +%s)

source scripts/lib.sh
# The arm64 kernel and busybox are fetched as packages of that architecture.
install_missing --architecture arm64 --architecture armhf g++-arm-linux-gnueabihf \
  g++-aarch64-linux-gnu qemu-user qemu-system-arm busybox-static cmake googletest dpkg-dev lintian \
  man-db libssl-dev:armhf libssl-dev:arm64 systemd python3 python3-jinja2
# libmosquitto's source, which the bridge's build compiles.
scripts/libmosquitto.sh

jobs=$(nproc)
version=""
debs=()
for target in arm-linux-gnueabihf:armhf aarch64-linux-gnu:arm64; do
  triple=${target%%:*}
  arch=${target##*:}
  echo "== $arch: cross build, unit tests under qemu-user, hardening, package"
  quietly cmake -S . -B "build-$arch" -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triple.cmake"
  quietly cmake --build "build-$arch" -j "$jobs"
  ctest --test-dir "build-$arch" --no-tests=error -j "$jobs" --output-on-failure | tail -n 3
  scripts/check-hardening.sh elf "build-$arch" "$triple-readelf"
  (cd "build-$arch" && quietly cpack -G DEB)
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build-$arch/CMakeCache.txt")
  debs+=("build-$arch/zendrocast_${version}_$arch.deb" "build-$arch/zendrocast-mqtt_${version}_$arch.deb")
  # The guest has no C library: the builds it runs are linked statically.
  quietly cmake -S . -B "build-$arch-static" -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=OFF \
    -DZENDROCAST_STATIC=ON -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triple.cmake"
  quietly cmake --build "build-$arch-static" -j "$jobs" --target zendrocast
done
scripts/check-packages.sh "$version" "${debs[@]}"

# Debian's arm64 kernel and busybox, unpacked (not installed), kept between runs.
cache=${ZENDROCAST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zendrocast}/vm-arm64
kernel_package=$(apt-cache depends linux-image-arm64:arm64 |
  sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
busybox_version=$(apt-cache policy busybox-static:arm64 | sed -n 's/^ *Candidate: //p')
for package in "$kernel_package" "busybox-static:arm64=$busybox_version"; do
  folder=$cache/$(printf '%s' "$package" | tr ':=' '__')
  if [ ! -d "$folder/usr" ] && [ ! -d "$folder/bin" ] && [ ! -d "$folder/boot" ]; then
    echo "== fetching $package"
    rm -rf "$folder" && mkdir -p "$folder"
    (cd "$folder" && apt-get download "$package" 2>&1 | grep -v 'unsandboxed' || true)
    dpkg-deb -x "$folder"/*.deb "$folder"
    rm -f "$folder"/*.deb
  fi
done
kernel=$cache/$(printf '%s' "$kernel_package" | tr ':=' '__')
busybox=$cache/$(printf '%s' "busybox-static:arm64=$busybox_version" | tr ':=' '__')/bin/busybox

# The RAM disk: busybox, the HID modules (hidraw, the console, devtmpfs and 32-bit compat are
# built into this kernel), the builds, the device program, the runner and the scenarios.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/initramfs
mkdir -p "$root"/{bin,dev,proc,sys,modules,results}
cp "$busybox" "$root/bin/"
cp tests/arm/init "$root/init"
chmod +x "$root/init"
modules=(hid hid-generic uhid)
for module in "${modules[@]}"; do
  find "$kernel/lib/modules" -name "$module.ko" -exec cp {} "$root/modules/" \;
  [ -f "$root/modules/$module.ko" ] || { echo "the kernel has no module $module"; exit 1; }
done
printf '%s\n' "${modules[@]}" >"$root/modules/order"
cp build-armhf-static/zendrocast "$root/bin/zendrocast-armhf"
cp build-arm64-static/zendrocast "$root/bin/zendrocast-arm64"
cp build-arm64/tests/zendrocast_uhid_device build-arm64/tests/zendrocast_scenario_runner \
  "$root/bin/"
cp tests/arm/scenarios.txt "$root/scenarios.txt"
cp tests/realstack/descriptors.txt "$root/descriptors.txt"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$scratch/initrd.gz"

timeout=${ZENDROCAST_VM_TIMEOUT:-600}
echo "== booting $kernel_package under qemu-system-aarch64 (hard timeout ${timeout} s)"
mkdir -p build-arm64
console=build-arm64/console.log
status=0
timeout --kill-after=10 "$timeout" qemu-system-aarch64 -M virt -cpu cortex-a72 -smp 2 -m 1024 \
  -nographic -no-reboot -nic none -kernel "$kernel"/boot/vmlinuz-* -initrd "$scratch/initrd.gz" \
  -append "console=ttyAMA0 panic=-1 quiet" >"$console" 2>&1 || status=$?
results=$(tr -d '\r' <"$console" | sed -n '/^=== zendrocast results ===$/,/^=== end ===$/p' |
  sed '1d;$d' | base64 -d 2>/dev/null || true)
printf '%s\n' "$results"
echo "ARM: $(($(date +%s) - started)) s wall time"
if [ "$status" -ne 0 ] || [ -z "$results" ]; then
  echo "the VM did not report and power off by itself (status $status); its console: $console"
  exit 1
fi
grep -q '^runner status 0$' <<<"$results"
