# Runs in the test VM as root, from the results share that run.sh filled: the scenarios against
# every build given.
cd /tmp/results
export HOME=/root WINEDEBUG=-all WINEPREFIX=/tmp/results/wineprefix
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
builds=(--binary "linux=linux:/tmp/results/zendrocast")
wine=""
[ ! -d wineprefix ] || wine=yes
# The host may have no 32-bit Wine: then only the 64-bit builds run.
wine32=$wine
[ ! -f no-wine32 ] || wine32=""
# A prefix made where 32-bit programs do not run has an empty syswow64: Wine fills it here, once
# its timestamp no longer says the prefix is current.
if [ -n "$wine32" ] && [ -f finish-wine-prefix ]; then
  started=$(date +%s)
  rm -f "$WINEPREFIX/.update-timestamp"
  /usr/lib/wine/wine64 wineboot -u >/dev/null 2>&1
  /usr/lib/wine/wineserver64 -w
  if [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "wine prefix: its 32-bit part made here in $(($(date +%s) - started)) s"
  else
    echo "wine prefix: wineboot -u left syswow64 without kernel32.dll: no Windows runs"
    echo "wine prefix status 1"
    wine=""
    wine32=""
  fi
fi
if [ -n "$wine" ]; then
  builds+=(--binary "win64=wine:/usr/lib/wine/wine64 /tmp/results/win64/zendrocast.exe"
    --wineserver /usr/lib/wine/wineserver64)
fi
if [ -n "$wine32" ]; then
  builds+=(--binary "win32=wine:/usr/lib/wine/wine /tmp/results/win32/zendrocast.exe")
fi
# The project's udev rule, where udevadm test reads rules (/run is the guest's own).
mkdir -p /run/udev/rules.d runs
cp 70-zendrocast.rules /run/udev/rules.d/
./zendrocast_scenario_runner --scenarios scenarios.txt --descriptors descriptors.txt \
  --results runs --uhid ./zendrocast_uhid_device "${builds[@]}" $(cat only 2>/dev/null)
echo "runner status $?"

# The MQTT bridge against uhid boxes, with a broker of its own on loopback: the Linux build, and
# the Windows service from the 64-bit installer. Three things of this guest, not of the bridge:
# - under Wine, a program of some megabytes on this uncached 9p share crashes at its start
#   (it reads zeros where its data is; the same file in memory runs), so the installer's folder
#   lives in the guest's memory;
# - no udevd runs here, so Wine's HID bus watches /dev itself, or it never hears of an unplug;
# - that bus reads its settings when Wine starts, so Wine starts again.
if [ -n "$wine" ]; then
  programs="$WINEPREFIX/drive_c/Program Files"
  cp -a "$programs" /tmp/program-files && mount --bind /tmp/program-files "$programs"
  /usr/lib/wine/wine64 reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
    /v DisableUdevd /t REG_DWORD /d 1 /f >/dev/null 2>&1
  /usr/lib/wine/wineserver64 -k
  /usr/lib/wine/wineserver64 -w
  msi=$(ls win64/zendrocast-*-x64.msi | head -n 1)
  export ZENDROCAST_MSI="Z:\\tmp\\results\\$(echo "$msi" | tr / '\\')"
fi
ZENDROCAST_UHID_DEVICE=/tmp/results/zendrocast_uhid_device \
  ZENDROCAST_MQTT=/tmp/results/zendrocast-mqtt ZENDROCAST_BRIDGE_DOC=/tmp/results/bridge.md \
  ./zendrocast_bridge_tests \
  --gtest_filter='RealStack.*' > bridge.log 2>&1
echo "bridge status $?"
cat bridge.log

# The 32-bit installer: its zendrocast --version from PATH, which only this guest's kernel runs.
if [ -n "$wine32" ]; then
  msi=$(ls win32/zendrocast-*-x86.msi | head -n 1)
  version=${msi#win32/zendrocast-}
  version=${version%-x86.msi}
  windows="Z:\\tmp\\results\\$(echo "$msi" | tr / '\\')"
  /usr/lib/wine/wine64 msiexec /i "$windows" /qn
  # A new session takes the system's PATH as the installer left it.
  /usr/lib/wine/wineserver64 -k
  ran=$(/usr/lib/wine/wine zendrocast --version | tr -d '\r')
  /usr/lib/wine/wine64 msiexec /x "$windows" /qn
  echo "x86 installer: $ran"
  [ "$ran" = "zendrocast $version" ] && [ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/zendrocast" ]
  echo "x86 installer status $?"
fi
