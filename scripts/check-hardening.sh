#!/usr/bin/env bash
# Checks the built executables for the hardening and size the project promises.
# Usage: check-hardening.sh elf BUILD_DIR [READELF]   the Linux binary, its objects and flags
#        check-hardening.sh pe OBJDUMP EXE...         Windows executables
set -euo pipefail
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

check_elf() {
  local build=$1 readelf=${2:-readelf}
  local binary=$build/zendrocast
  local dynamic program symbols
  dynamic=$("$readelf" -d "$binary")
  program=$("$readelf" -lW "$binary")
  symbols=$("$readelf" --dyn-syms -W "$binary")
  grep -Eq 'FLAGS_1.*PIE' <<<"$dynamic" || fail "$binary is not a position-independent executable"
  grep -Eq '\(FLAGS\).*BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || fail "$binary binds lazily"
  grep -q 'GNU_RELRO' <<<"$program" || fail "$binary has no read-only relocations segment"
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$binary has no stack protector"
  if grep -Eq 'NEEDED.*(libstdc\+\+|libgcc_s)' <<<"$dynamic"; then
    fail "$binary loads the C++ runtime at start instead of carrying it"
  fi

  # Fortification happens in the compiler, so the compile commands are its record.
  local commands unfortified
  commands=$(grep -E '"command":' "$build/compile_commands.json" |
    grep -E '/(frontend|device|console|platform)/[A-Za-z_]+\.cpp' || true)
  [ -n "$commands" ] || fail "no compile commands for the tool's sources in $build"
  unfortified=$(grep -vc -- '-D_FORTIFY_SOURCE=2' <<<"$commands" || true)
  [ "$unfortified" -eq 0 ] || fail "$unfortified of the tool's sources are compiled without _FORTIFY_SOURCE=2"

  # Control-flow protection: the tool's own objects carry it. (The binary's note also needs
  # the C library's start files to carry it, which Debian's do not.)
  local machine objects property
  machine=$("$readelf" -h "$binary" | sed -n 's/^ *Machine: *//p')
  case "$machine" in
    *X86-64*) property='x86 feature: IBT, SHSTK' ;;
    *AArch64*) property='AArch64 feature: BTI, PAC' ;;
    *) property='' ;;
  esac
  if [ -n "$property" ]; then
    objects=$(find "$build/CMakeFiles" -path '*zendrocast*' -name '*.o' \
      \( -path '*/frontend/*' -o -path '*/device/*' -o -path '*/console/*' -o -path '*/platform/*' \))
    [ -n "$objects" ] || fail "no objects of the tool in $build"
    for object in $objects; do
      "$readelf" -n "$object" | grep -q "$property" || fail "$object lacks $property"
    done
  fi

  local size stripped
  stripped=$(mktemp)
  "${readelf%readelf}strip" -o "$stripped" "$binary"
  size=$(stat -c %s "$stripped")
  rm -f "$stripped"
  [ "$size" -le 300000 ] || fail "$binary is $size bytes stripped, more than 300000"
  echo "$binary: $machine, PIE, full RELRO, stack protector, fortified, $size bytes stripped"
}

check_pe() {
  local objdump=$1
  shift
  for exe in "$@"; do
    local headers size
    headers=$("$objdump" -p "$exe")
    for flag in DYNAMIC_BASE NX_COMPAT; do
      grep -q "^[[:space:]]*$flag\$" <<<"$headers" || fail "$exe lacks $flag"
    done
    if grep -q 'Magic.*20b' <<<"$headers"; then
      grep -q '^[[:space:]]*HIGH_ENTROPY_VA$' <<<"$headers" || fail "$exe lacks HIGH_ENTROPY_VA"
    fi
    # Without relocations the loader cannot move the image, whatever DYNAMIC_BASE says.
    grep -Eq '^Entry 5 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Base Relocation' <<<"$headers" ||
      fail "$exe has no base relocations"
    size=$(stat -c %s "$exe")
    # The tool's promise; the bridge, with OpenSSL inside, is held to its own (SIZE_LIMIT).
    [ "$size" -le "${SIZE_LIMIT:-250000}" ] || fail "$exe is $size bytes, more than ${SIZE_LIMIT:-250000}"
    echo "$exe: ASLR, DEP$(grep -q HIGH_ENTROPY_VA <<<"$headers" && echo ', high-entropy addresses'), $size bytes"
  done
}

case "${1:-}" in
  elf) check_elf "${@:2}" ;;
  pe) check_pe "${@:2}" ;;
  *)
    echo "usage: $0 elf BUILD_DIR [READELF] | pe OBJDUMP EXE..." >&2
    exit 2
    ;;
esac
exit $status
