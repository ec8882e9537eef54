#!/usr/bin/env bash
# Checks the release packages: the .deb files of the tool and of the MQTT bridge (their files and
# fields, an install into a throwaway root, the installed programs and manual pages, lintian; the
# bridge's systemd unit with systemd-analyze verify and security) and the Windows .zip files
# (their files, and the version resource of each executable).
# Usage: check-packages.sh VERSION DEB... ZIP...   (a bridge package after the tool's of its
# architecture)
set -euo pipefail
version=$1
shift
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

# The bytes of a text as UTF-16LE, as a grep -P pattern: resource strings are stored so.
utf16() {
  local text=$1 pattern="" i
  for ((i = 0; i < ${#text}; i++)); do
    pattern+="\\Q${text:i:1}\\E\\x00"
  done
  printf '%s' "$pattern"
}

# The command that runs a program of the package's architecture here: foreign ones under
# qemu-user, with the cross C library as their root and the multiarch libraries beside it.
runner() {
  case "$1" in
    "$(dpkg --print-architecture)") ;;
    armhf) echo env QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf \
      LD_LIBRARY_PATH=/usr/lib/arm-linux-gnueabihf qemu-arm ;;
    arm64) echo env QEMU_LD_PREFIX=/usr/aarch64-linux-gnu \
      LD_LIBRARY_PATH=/usr/lib/aarch64-linux-gnu qemu-aarch64 ;;
    *) echo false ;;
  esac
}

# The throwaway root each architecture's packages are installed into, as dpkg installs them
# (its maintainer scripts run here, told the root by DPKG_ROOT).
declare -A roots
make_root() {
  local arch=$1
  if [ -z "${roots[$arch]:-}" ]; then
    roots[$arch]=$(mktemp -d)
    mkdir -p "${roots[$arch]}/var/lib/dpkg/info" "${roots[$arch]}/var/lib/dpkg/updates" \
      "${roots[$arch]}/etc"
    touch "${roots[$arch]}/var/lib/dpkg/status"
  fi
}

check_man() {
  local page=$1 option=$2 warnings
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page has warnings: $warnings"
  zcat "$page" | grep -q '^\.B \\-\\-'"$option" || fail "$page does not describe --$option"
}

check_deb() {
  local deb=$1 arch package listing root run file
  arch=$(dpkg-deb -f "$deb" Architecture)
  package=$(dpkg-deb -f "$deb" Package)
  [ "$(basename "$deb")" = "${package}_${version}_$arch.deb" ] || fail "$deb: wrong package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version is not $version"
  dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= 2\.[0-9]*)' || fail "$deb: no libc6 dependency"
  listing=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $NF}')
  local files=(usr/bin/$package usr/share/man/man1/$package.1.gz usr/share/doc/$package/copyright
    usr/share/doc/$package/changelog.gz)
  if [ "$package" = zendrocast ]; then
    files+=(usr/lib/udev/rules.d/70-zendrocast.rules usr/lib/sysusers.d/zendrocast.conf
      usr/share/doc/zendrocast/README.md)
  else
    files+=(usr/lib/systemd/system/zendrocast-mqtt.service
      usr/share/doc/zendrocast-mqtt/examples/mqtt.conf usr/share/doc/zendrocast-mqtt/bridge.md)
    # The fleet page, where the build had node and npm (the test command's has).
    if [ "$arch" = amd64 ]; then
      files+=(usr/share/zendrocast-mqtt/www/index.html usr/share/zendrocast-mqtt/www/style.css
        usr/share/zendrocast-mqtt/www/zendrocast-page.js)
    fi
    dpkg-deb -f "$deb" Depends | grep -q "zendrocast (= $version)" ||
      fail "$deb does not depend on zendrocast $version"
    dpkg-deb -f "$deb" Depends | grep -q "libssl3" || fail "$deb: no libssl3 dependency"
  fi
  for file in "${files[@]}"; do
    grep -q " root/root \./$file\$" <<<"$listing" || fail "$deb lacks $file (owned by root)"
  done
  grep -q "^-rwxr-xr-x root/root \./usr/bin/$package\$" <<<"$listing" ||
    fail "$deb: the binary is not mode 755"

  make_root "$arch"
  root=${roots[$arch]}
  dpkg --root="$root" --force-depends --force-architecture --force-script-chrootless \
    --log=/dev/null -i "$deb" >/dev/null 2>&1 || true
  dpkg --root="$root" -s "$package" | grep -q '^Status: install ok installed$' ||
    fail "$deb did not install"
  if [ "$package" = zendrocast ]; then
    grep -q '^zendrocast:x:[0-9]*:$' "$root/etc/group" || fail "$deb made no zendrocast group"
  fi
  run=$(runner "$arch")
  [ "$run" != false ] || fail "$deb: no way to run $arch here"
  case "$package" in
    zendrocast)
      [ "$($run "$root/usr/bin/zendrocast" --version)" = "zendrocast $version"$'\r' ] ||
        fail "the installed zendrocast does not say its version"
      check_man "$root/usr/share/man/man1/zendrocast.1.gz" "path PATH"
      ;;
    zendrocast-mqtt)
      [ "$($run "$root/usr/bin/zendrocast-mqtt" --version)" = "zendrocast-mqtt $version" ] ||
        fail "the installed zendrocast-mqtt does not say its version"
      check_man "$root/usr/share/man/man1/zendrocast-mqtt.1.gz" "config FILE"
      check_unit "$root"
      check_maintainer_scripts "$deb"
      ;;
  esac
  ! readelf -S "$root/usr/bin/$package" | grep -q '\.symtab' || fail "$deb: the binary is not stripped"

  local tags
  tags=$(lintian --fail-on none "$deb" 2>/dev/null | grep -E '^E: ' || true)
  [ -z "$tags" ] || fail "lintian reports errors on $deb: $tags"
  echo "$deb: $arch, $(dpkg-deb -c "$deb" | wc -l) entries, installs, no lintian errors"
}

# The bridge's maintainer scripts where systemd runs (a /run/systemd/system of their own, stubs
# for systemctl and deb-systemd-invoke that note their calls): an upgrade restarts a bridge that
# runs (try-restart leaves a stopped one stopped), a first installation starts nothing, a removal
# stops it and an upgrade's prerm does not.
check_maintainer_scripts() {
  local deb=$1 work stub
  work=$(mktemp -d)
  dpkg-deb -e "$deb" "$work/control"
  mkdir -p "$work/bin"
  for stub in systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$stub" "$work" >"$work/bin/$stub"
    chmod +x "$work/bin/$stub"
  done
  calls() {
    local script=$1
    shift
    rm -f "$work/calls"
    unshare --mount sh -c "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system &&
      PATH='$work/bin':\$PATH '$work/control/$script' $*"
    [ ! -f "$work/calls" ] || tr '\n' ';' <"$work/calls"
  }
  local said
  said=$(calls postinst configure "$version")
  [ "$said" = "systemctl --system daemon-reload;deb-systemd-invoke try-restart zendrocast-mqtt.service;" ] ||
    fail "$deb: an upgrade's postinst calls '$said'"
  said=$(calls postinst configure)
  [ -z "$said" ] || fail "$deb: a first installation's postinst calls '$said'"
  said=$(calls prerm upgrade "$version")
  [ -z "$said" ] || fail "$deb: an upgrade's prerm calls '$said'"
  said=$(calls prerm remove)
  [ "$said" = "deb-systemd-invoke stop zendrocast-mqtt.service;" ] ||
    fail "$deb: a removal's prerm calls '$said'"
  rm -rf "$work"
  echo "$deb: an upgrade restarts a running bridge, a removal stops it, a first installation starts nothing"
}

# The bridge's unit, as systemd reads it: clean, and its exposure.
check_unit() {
  local root=$1 score
  # The targets and the rest of the system's units it refers to.
  cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
  systemd-analyze verify --root="$root" --man=no zendrocast-mqtt.service ||
    fail "systemd-analyze verify reports problems in zendrocast-mqtt.service"
  score=$(systemd-analyze security --offline=yes --root="$root" zendrocast-mqtt.service 2>&1 |
    sed -n 's/^.*Overall exposure level for zendrocast-mqtt.service: \([0-9.]*\) .*$/\1/p')
  [ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' ||
    fail "zendrocast-mqtt.service: exposure ${score:-unknown}, more than 2.0"
  echo "zendrocast-mqtt.service: verify clean, systemd-analyze security exposure $score"
}

check_zip() {
  local zip=$1 exe listing folder
  folder=$(basename "$zip" .zip)
  listing=$(unzip -Z1 "$zip")
  for file in zendrocast.exe README.md LICENSE; do
    grep -qx "$folder/$file" <<<"$listing" || fail "$zip lacks $folder/$file"
  done
  exe=$(mktemp)
  unzip -p "$zip" "$folder/zendrocast.exe" >"$exe"
  for field in FileVersion ProductVersion; do
    LC_ALL=C grep -qaP "$(utf16 "$field")\\x00(\\x00)*$(utf16 "$version")" "$exe" ||
      fail "$zip: zendrocast.exe has no $field $version"
  done
  rm -f "$exe"
  echo "$zip: $(wc -l <<<"$listing") files, version $version in the executable"
}

for package in "$@"; do
  case "$package" in
    *.deb) check_deb "$package" ;;
    *.zip) check_zip "$package" ;;
    *) fail "$package: not a .deb or .zip" ;;
  esac
done
for root in "${roots[@]}"; do
  rm -rf "$root"
done
exit $status
