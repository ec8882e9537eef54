# Runs in the test VM as root, from the results share that run.sh filled: the scenarios against
# every build given.
cd /tmp/results
export HOME=/root WINEDEBUG=-all WINEPREFIX=/tmp/results/wineprefix
export WINEDLLOVERRIDES="winemenubuilder.exe=d"
builds=(--binary "linux=linux:/tmp/results/zendrocast")
if [ -d wineprefix ]; then
  builds+=(--binary "win64=wine:/usr/lib/wine/wine64 /tmp/results/win64/zendrocast.exe"
    --binary "win32=wine:/usr/lib/wine/wine /tmp/results/win32/zendrocast.exe"
    --wineserver /usr/lib/wine/wineserver64)
fi
# The project's udev rule, where udevadm test reads rules (/run is the guest's own).
mkdir -p /run/udev/rules.d runs
cp 70-zendrocast.rules /run/udev/rules.d/
./zendrocast_scenario_runner --scenarios scenarios.txt --descriptors descriptors.txt \
  --results runs --uhid ./zendrocast_uhid_device "${builds[@]}" $(cat only 2>/dev/null)
echo "runner status $?"

# The MQTT bridge against uhid boxes, with a broker of its own on loopback. (The Windows
# service's test, RealStack.TheWindowsService..., runs when ZENDROCAST_MSI names the 64-bit
# installer; in this guest Wine's net start still times out before the service reports.)
ZENDROCAST_UHID_DEVICE=/tmp/results/zendrocast_uhid_device \
  ZENDROCAST_MQTT=/tmp/results/zendrocast-mqtt ./zendrocast_bridge_tests \
  --gtest_filter='RealStack.*' > bridge.log 2>&1
echo "bridge status $?"
cat bridge.log
