#!/usr/bin/env bash
# Checks the release packages: the .deb (its files and fields, an install into a throwaway root,
# the installed tool and manual page, lintian) and the Windows .zip files (their files, and the
# version resource of each executable).
# Usage: check-packages.sh VERSION DEB... ZIP...
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

check_deb() {
  local deb=$1 arch listing root
  arch=$(dpkg-deb -f "$deb" Architecture)
  [ "$(dpkg-deb -f "$deb" Package)" = zendrocast ] || fail "$deb: wrong package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version is not $version"
  dpkg-deb -f "$deb" Depends | grep -q '^libc6 (>= 2\.[0-9]*)' || fail "$deb: no libc6 dependency"
  listing=$(dpkg-deb -c "$deb" | awk '{print $1, $2, $NF}')
  for file in usr/bin/zendrocast usr/lib/udev/rules.d/70-zendrocast.rules \
    usr/share/man/man1/zendrocast.1.gz usr/share/doc/zendrocast/copyright \
    usr/share/doc/zendrocast/changelog.gz usr/share/doc/zendrocast/README.md; do
    grep -q " root/root \./$file\$" <<<"$listing" || fail "$deb lacks $file (owned by root)"
  done
  grep -q '^-rwxr-xr-x root/root \./usr/bin/zendrocast$' <<<"$listing" ||
    fail "$deb: the binary is not mode 755"

  # Installed as dpkg installs it, into a root of its own.
  root=$(mktemp -d)
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg --root="$root" --force-depends --force-architecture --log=/dev/null -i "$deb" >/dev/null 2>&1
  dpkg --root="$root" -s zendrocast | grep -q '^Status: install ok installed$' ||
    fail "$deb did not install"
  # A foreign binary runs under qemu-user, with the cross C library as its root.
  local run=()
  case "$arch" in
    "$(dpkg --print-architecture)") ;;
    armhf) run=(env QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf qemu-arm) ;;
    arm64) run=(env QEMU_LD_PREFIX=/usr/aarch64-linux-gnu qemu-aarch64) ;;
    *) fail "$deb: no way to run $arch here" ;;
  esac
  [ "$("${run[@]}" "$root/usr/bin/zendrocast" --version)" = "zendrocast $version"$'\r' ] ||
    fail "the installed zendrocast does not say its version"
  local warnings
  warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/zendrocast.1.gz" 2>&1 \
    >/dev/null)
  [ -z "$warnings" ] || fail "the manual page has warnings: $warnings"
  zcat "$root/usr/share/man/man1/zendrocast.1.gz" | grep -q '^\.B \\-\\-path PATH$' ||
    fail "the manual page does not describe --path"
  ! readelf -S "$root/usr/bin/zendrocast" | grep -q '\.symtab' || fail "$deb: the binary is not stripped"
  rm -rf "$root"

  local tags
  tags=$(lintian --fail-on none "$deb" 2>/dev/null | grep -E '^E: ' || true)
  [ -z "$tags" ] || fail "lintian reports errors on $deb: $tags"
  echo "$deb: $arch, $(dpkg-deb -c "$deb" | wc -l) entries, installs, no lintian errors"
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
exit $status
