#!/usr/bin/env bash
# The Windows installers under Wine (WINEPREFIX set up, its wineserver running): each installs
# zendrocast.exe, the README and the licence in Program Files\zendrocast, puts that folder on the
# system PATH and makes an entry under Apps & features with the version; msiexec /x leaves no
# file, no PATH entry and no entry behind. The 64-bit one's zendrocast --version runs from PATH
# (this machine's kernel runs no 32-bit programs; the test VM runs the 32-bit one's), and a build
# of a newer version, with the same UpgradeCode, replaces it in place. The 64-bit one also
# installs the bridge as the service zendrocast-mqtt with its example configuration, and removes
# both again.
# Usage: scripts/check-msi.sh VERSION X64.msi X86.msi
set -euo pipefail
version=$1 x64=$2 x86=$3
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

# The next version, as its build would make it (a new ProductCode, the same UpgradeCode). Windows
# Installer compares the first three fields of a version.
later="${version%.*}.$((${version##*.} + 1))"
next="$(dirname "$x64")/zendrocast-next-x64.msi"
sed "s/Version=\"$version\"/Version=\"$later\"/" "$(dirname "$x64")/zendrocast.wxs" \
  >"$(dirname "$x64")/zendrocast-next.wxs"
(cd "$(dirname "$x64")" && wixl -a x64 -o "$(basename "$next")" zendrocast-next.wxs)
"$wine" msiexec /i "$next" /qn || fail "the next version does not install over $x64"
[ "$(listed)" = "$later" ] || fail "after an upgrade Apps & features lists '$(listed)'"
"$wine" msiexec /x "$next" /qn || fail "the next version does not uninstall"
[ ! -e "$drive/Program Files/zendrocast" ] && [ -z "$(listed)" ] ||
  fail "the upgraded installation left something behind"
rm -f "$next" "$(dirname "$x64")/zendrocast-next.wxs"
"$wine" msiexec /i "$x64" /qn && removed "$x64" "Program Files"

check "$x86" "Program Files (x86)"
removed "$x86" "Program Files (x86)"
echo "installers: $(basename "$x64") (with the bridge's service) and $(basename "$x86") install, run from PATH (x64), upgrade in place and uninstall cleanly"
