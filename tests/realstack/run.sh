#!/usr/bin/env bash
# The real HID stacks: boots Debian's own Linux kernel under QEMU (software emulation) with this
# machine's root file system shared read-only, so that the guest runs the very binaries and Wine
# that this machine has, and runs the scenarios of tests/realstack/scenarios.txt in it: the
# Linux build through the kernel's HID core, hid-generic, hidraw and uhid, and the 64-bit and
# 32-bit Windows executables through Wine's SetupAPI, hid.dll, HID class driver and parser; then
# the MQTT bridge's real-stack tests (the Linux build, and the Windows service from the 64-bit
# installer) and the 32-bit installer's zendrocast --version from PATH.
# Installs what it needs when missing, builds what it runs (incrementally), and fails when a
# scenario or test fails or the guest does not power off within the hard timeout.
#
# Usage: tests/realstack/run.sh [SCENARIO...]     (no names: every scenario)
# Environment: ZENDROCAST_VM_TIMEOUT (seconds, default 2700: on a loaded
# machine the emulated guest runs four times slower), ZENDROCAST_CACHE (where the kernel
# is kept between runs, default ~/.cache/zendrocast).
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$(date +%s)
here=tests/realstack

source scripts/lib.sh
install_missing --architecture i386 qemu-system-x86 busybox-static wine64 wine32:i386 \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 cmake g++ libgtest-dev udev mosquitto openssl \
  libssl-dev libfuse3-dev pkg-config dpkg-dev wixl msitools
# Wine's 32-bit loader may be left out (when the package lists lack its architecture's index):
# then the 64-bit builds run, and the 32-bit ones are said to be untested.
wine32=yes
! not_installed wine32:i386 || wine32=""
# libmosquitto's source, which the bridge's build compiles.
scripts/libmosquitto.sh

# The builds the guest runs.
jobs=$(nproc)
quietly cmake -S . -B build -DZENDROCAST_TESTS=ON
quietly cmake --build build -j "$jobs" --target zendrocast zendrocast_uhid_device \
  zendrocast_scenario_runner zendrocast-mqtt zendrocast_bridge_tests
build_windows "$jobs"

# Debian's kernel, unpacked (not installed), kept between runs.
cache=${ZENDROCAST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zendrocast}/vm-amd64
package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' |
  head -n 1)
kernel=$cache/$package
if [ ! -d "$kernel/lib/modules" ]; then
  echo "== fetching $package"
  rm -rf "$kernel" && mkdir -p "$kernel"
  (cd "$kernel" && apt-get download "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  dpkg-deb -x "$kernel"/*.deb "$kernel"
  rm -f "$kernel"/*.deb
fi

# The initial RAM disk: busybox, the modules in load order, and the init script.
results=$PWD/build/realstack
rm -rf "$results"
mkdir -p "$results"
[ -n "$wine32" ] || touch "$results/no-wine32"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch" "$results/wineprefix"' EXIT
initramfs=$scratch/initramfs
mkdir -p "$initramfs"/{bin,dev,proc,sys,newroot,modules}
cp /bin/busybox "$initramfs/bin/"
cp "$here/init" "$initramfs/init"
chmod +x "$initramfs/init"
# The USB modules give the kernel's own USB stack: dummy_hcd's host and device sides, a configfs
# HID gadget on the device side, usbhid on the host side.
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache
  9pnet 9pnet_virtio 9p hid hid-generic uhid usb-common usbcore usbhid udc-core dummy_hcd configfs
  libcomposite usb_f_hid)
for module in "${modules[@]}"; do
  find "$kernel/lib/modules" -name "$module.ko" -exec cp {} "$initramfs/modules/" \;
  [ -f "$initramfs/modules/$module.ko" ] || { echo "the kernel has no module $module"; exit 1; }
done
printf '%s\n' "${modules[@]}" >"$initramfs/modules/order"
(cd "$initramfs" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$scratch/initrd.gz"

# The results share: the builds, the scenarios, and a Wine prefix whose SDL bus is off (with it
# on, Wine does not offer hidraw devices) and whose services may take 3 minutes to start.
cp build/zendrocast build/zendrocast-mqtt build/tests/zendrocast_uhid_device \
  build/tests/zendrocast_scenario_runner build/tests/zendrocast_bridge_tests "$here/guest.sh" \
  "$here/scenarios.txt" "$here/descriptors.txt" packaging/70-zendrocast.rules doc/bridge.md \
  "$results/"
mkdir -p "$results/win64" "$results/win32"
cp build-win-x86_64/zendrocast.exe build-win-x86_64/zendrocast-*-x64.msi "$results/win64/"
cp build-win-i686/zendrocast.exe build-win-i686/zendrocast-*-x86.msi "$results/win32/"
for scenario in "$@"; do
  printf -- '--only %s ' "$scenario" >>"$results/only"
done
echo "== making a Wine prefix"
(
  export WINEPREFIX=$results/wineprefix WINEDEBUG=-all
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
  /usr/lib/wine/wine64 reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
    /v 'Enable SDL' /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # A service's first start under software emulation takes longer than the 30 s Windows allows.
  /usr/lib/wine/wine64 reg add 'HKLM\System\CurrentControlSet\Control' \
    /v ServicesPipeTimeout /t REG_SZ /d 180000 /f >/dev/null 2>&1
  /usr/lib/wine/wineserver64 -w
)
windows=$results/wineprefix/drive_c/windows
if [ ! -f "$windows/system32/kernel32.dll" ]; then
  echo "wineboot made no Wine prefix here ($windows/system32 has no kernel32.dll): no Windows runs"
  exit 1
fi
# Wine fills syswow64 by running 32-bit programs, which this machine's kernel may not run; the
# guest's does, and finishes the prefix before its 32-bit runs.
if [ -n "$wine32" ] && [ ! -f "$windows/syswow64/kernel32.dll" ]; then
  echo "== this kernel runs no 32-bit programs: the guest finishes the Wine prefix (about 3 min)"
  touch "$results/finish-wine-prefix"
fi

# Software emulation only: there is no usable KVM here (a nested one hangs at boot), and
# "-cpu max" crashes Wine under TCG.
timeout=${ZENDROCAST_VM_TIMEOUT:-2700}
echo "== booting $package under QEMU (hard timeout ${timeout} s)"
status=0
timeout --kill-after=10 "$timeout" qemu-system-x86_64 -accel tcg \
  -cpu qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt -smp 2 -m 2048 -nographic -no-reboot -nic none \
  -kernel "$kernel"/boot/vmlinuz-* -initrd "$scratch/initrd.gz" \
  -append "console=ttyS0 panic=-1 quiet" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$results,mount_tag=results,security_model=none,multidevs=remap" \
  >"$results/console.log" 2>&1 || status=$?
cat "$results/guest.log" 2>/dev/null || true
echo "real HID stacks: $(($(date +%s) - started)) s wall time (logs in build/realstack)"
if [ "$status" -ne 0 ]; then
  echo "the VM did not power off by itself within ${timeout} s (status $status); its console: build/realstack/console.log"
  exit 1
fi
if grep -q '^wine prefix status 1$' "$results/guest.log"; then
  echo "the guest could not make the Wine prefix's 32-bit part: the 32-bit builds were not tested"
  exit 1
fi
grep -q '^runner status 0$' "$results/guest.log"
grep -q '^bridge status 0$' "$results/guest.log"
if [ -z "$wine32" ]; then
  echo "NOT TESTED: the 32-bit Windows builds and installer (wine32:i386 is not installed here)"
elif [ -d "$results/wineprefix" ]; then
  grep -q '^x86 installer status 0$' "$results/guest.log"
fi
