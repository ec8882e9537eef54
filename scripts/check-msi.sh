#!/usr/bin/env bash
# The Windows installers under Wine (WINEPREFIX set up, its wineserver running): each installs
# zendrocast.exe, the README and the licence in Program Files\zendrocast, puts that folder on the
# system PATH and makes an entry under Apps & features with the version; msiexec /x leaves no
# file, no PATH entry and no entry behind. The 64-bit one's zendrocast --version runs from PATH
# (this machine's kernel may run no 32-bit programs; the test VM runs the 32-bit one's), and the
# next version's build, with the same UpgradeCode, replaces it in place. The 64-bit one also
# installs the bridge as the service zendrocast-mqtt with its example configuration, and removes
# both again; an upgrade leaves the service stopped when it was, and running the new version
# when it ran (checked against a Mosquitto on loopback).
# Usage: scripts/check-msi.sh VERSION X64.msi X86.msi NEXT-X64.msi
set -euo pipefail
version=$1 x64=$2 x86=$3 next=$4
wine=/usr/lib/wine/wine64
drive="$WINEPREFIX/drive_c"
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall='Software\Microsoft\Windows\CurrentVersion\Uninstall'

fail() {
  echo "check-msi: $*" >&2
  exit 1
}

# The versions listed under Apps & features for zendrocast, 64-bit and 32-bit views.
listed() {
  for key in "HKLM\\$uninstall" "HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall"; do
    "$wine" reg query "$key" /s 2>/dev/null | tr -d '\r' |
      awk '/DisplayName +REG_SZ +zendrocast$/ {found=1} found && /DisplayVersion/ {print $3; found=0}'
  done
}

service='HKLM\System\CurrentControlSet\Services\zendrocast-mqtt'
has_service() {
  "$wine" reg query "$service" >/dev/null 2>&1
}

in_path() {
  "$wine" reg query "$environment" /v PATH | tr -d '\r' | grep -Fqi "$1"
}

check() {
  local msi=$1 folder=$2 file
  "$wine" msiexec /i "$msi" /qn || fail "$msi does not install"
  for file in zendrocast.exe README.md LICENSE.txt; do
    [ -f "$drive/$folder/zendrocast/$file" ] || fail "$msi did not install $folder/zendrocast/$file"
  done
  in_path "C:\\$folder\\zendrocast" || fail "$msi did not put its folder on the PATH"
  [ "$(listed)" = "$version" ] || fail "$msi: Apps & features lists '$(listed)', not $version"
  if [ "$folder" = "Program Files" ]; then
    [ -f "$drive/Program Files/zendrocast/zendrocast-mqtt.exe" ] &&
      [ -f "$drive/ProgramData/zendrocast/mqtt.conf.example" ] ||
      fail "$msi did not install the bridge and its example configuration"
    has_service || fail "$msi did not register the service zendrocast-mqtt"
  fi
}

removed() {
  local msi=$1 folder=$2
  "$wine" msiexec /x "$msi" /qn || fail "$msi does not uninstall"
  [ ! -e "$drive/$folder/zendrocast" ] || fail "$msi left $folder/zendrocast behind"
  ! in_path "\\zendrocast" || fail "$msi left its folder on the PATH"
  [ -z "$(listed)" ] || fail "$msi left an entry under Apps & features"
  ! has_service || fail "$msi left the service zendrocast-mqtt"
  [ ! -e "$drive/ProgramData/zendrocast/mqtt.conf.example" ] ||
    fail "$msi left the example configuration"
}

check "$x64" "Program Files"
# A new session takes the system's PATH as the registry has it now; Wine's loader finds a program
# named without its folder on that PATH. (Wine's cmd runs it too, but its output does not come
# through to a pipe here.)
/usr/lib/wine/wineserver64 -k || true
ran=$("$wine" zendrocast --version | tr -d '\r')
[ "$ran" = "zendrocast $version" ] || fail "zendrocast --version from PATH said '$ran'"

# The next version (a new ProductCode, the same UpgradeCode) in place of this one.
later=$(sed -n 's/.*zendrocast-\([0-9.]*\)-x64\.msi$/\1/p' <<<"$next")
"$wine" msiexec /i "$next" /qn || fail "the next version does not install over $x64"
[ "$(listed)" = "$later" ] || fail "after an upgrade Apps & features lists '$(listed)'"
"$wine" msiexec /x "$next" /qn || fail "the next version does not uninstall"
[ ! -e "$drive/Program Files/zendrocast" ] && [ -z "$(listed)" ] ||
  fail "the upgraded installation left something behind"

# The bridge's service through upgrades, against a Mosquitto on loopback, with a configuration.
broker=$(mktemp -d)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser root\n' "$port" >"$broker/mosquitto.conf"
mosquitto -c "$broker/mosquitto.conf" >"$broker/log" 2>&1 &
broker_pid=$!
trap 'kill "$broker_pid" 2>/dev/null; rm -rf "$broker"' EXIT
# A service lives while a program of its session does.
(sleep 600 | "$wine" cmd.exe >/dev/null 2>&1 &)
config="$drive/ProgramData/zendrocast/mqtt.conf"
running() {
  "$wine" sc query zendrocast-mqtt | tr -d '\r' | grep -q 'STATE.*RUNNING'
}
# Waits until the bridge's retained discovery names version VERSION (its own, online).
online_as() {
  local wanted=$1 deadline=$((SECONDS + 180)) said=""
  while [ $SECONDS -lt $deadline ]; do
    said=$(mosquitto_sub -h 127.0.0.1 -p "$port" -C 1 -W 5 \
      -t homeassistant/binary_sensor/msi/zendrocast_msi_connectivity/config 2>/dev/null |
      sed -n 's/.*"sw_version":"\([^"]*\)"}.*/\1/p')
    [ "$said" = "$wanted" ] &&
      [ "$(mosquitto_sub -h 127.0.0.1 -p "$port" -C 1 -W 5 -t zendrocast/msi/status)" = online ] &&
      return 0
    sleep 1
  done
  fail "the bridge was not online as $wanted within 180 s (it said '$said')"
}
"$wine" msiexec /i "$x64" /qn
printf 'host = 127.0.0.1\nport = %s\nnode_name = msi\n' "$port" >"$config"
"$wine" msiexec /i "$next" /qn || fail "the next version does not install over $x64"
"$wine" sc query zendrocast-mqtt | tr -d '\r' | grep -q 'STATE.*STOPPED' ||
  fail "an upgrade started a service that was stopped"
"$wine" msiexec /x "$next" /qn
"$wine" msiexec /i "$x64" /qn
"$wine" net start zendrocast-mqtt >/dev/null || fail "the service does not start"
online_as "$version"
"$wine" msiexec /i "$next" /qn || fail "the next version does not install over a running $x64"
online_as "$later"
running || fail "after the upgrade the service is not running"
"$wine" net stop zendrocast-mqtt >/dev/null
"$wine" msiexec /x "$next" /qn
rm -f "$config" "$drive/ProgramData/zendrocast/journal"
"$wine" msiexec /i "$x64" /qn && removed "$x64" "Program Files"

check "$x86" "Program Files (x86)"
removed "$x86" "Program Files (x86)"
echo "installers: $(basename "$x64") (with the bridge's service) and $(basename "$x86") install, run from PATH (x64), upgrade in place (a running service runs the new version, a stopped one stays stopped) and uninstall cleanly"
