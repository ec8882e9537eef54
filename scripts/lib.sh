# Shared by the test scripts (sourced): installing what is missing, and quiet commands.

# install_missing [--architecture ARCH]... PACKAGE...: adds the foreign architectures not yet
# known to dpkg, then installs the packages not yet installed (apt-get, as root or with sudo).
# When a mirror in the middle of a sync leaves a foreign architecture's index out, see
# install_on_partial_lists: such a package may be left out, and is then said so.
install_missing() {
  local architectures=() packages=() missing=() update="" architecture package
  while [ $# -gt 0 ]; do
    case "$1" in
      --architecture) architectures+=("$2") && shift 2 ;;
      *) packages+=("$1") && shift ;;
    esac
  done
  for architecture in "${architectures[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
      as_root dpkg --add-architecture "$architecture"
      update=yes
    fi
  done
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ] || [ -n "$update" ]; then
    echo "== installing ${missing[*]:-nothing new, updating the package lists}"
    update_lists
    if [ ${#missing[@]} -gt 0 ]; then
      if [ -z "$partial_lists" ]; then
        apt_install "${missing[@]}"
      else
        install_on_partial_lists "${missing[@]}"
      fi
    fi
  fi
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_install() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${apt_options[@]}" "$@"
}
apt_options=()

# update_lists: apt-get update, three times at most while some index fails to download (a mirror
# in the middle of a sync serves an index that its signed Release does not match, and apt leaves
# it out). Sets partial_lists when the last try still left some out.
partial_lists=""
update_lists() {
  local try log
  for try in 1 2 3; do
    if log=$(as_root apt-get update -qq 2>&1); then
      partial_lists=""
      return 0
    fi
    if ! grep -q '^E: Failed to fetch' <<<"$log"; then
      echo "$log"
      return 1
    fi
    [ "$try" -eq 3 ] || sleep 30
  done
  echo "the package lists lack what these failed downloads held:"
  grep '^E: Failed to fetch' <<<"$log" | sed 's/^E: Failed to fetch /  /; s/  File has.*//'
  partial_lists=yes
}

# install_on_partial_lists PACKAGE...: with an index left out, a foreign package may be found only
# in an older version than its native twin has from the index that did come (a security update),
# and Multi-Arch twins must be of one version. So each foreign package's source is held, for
# these installs, to the newest version that the native and every foreign architecture asked for
# all have; nothing is downgraded. The native packages must then install; a foreign one that
# still cannot is left out, said so, and the stage that needs it says what it did not test.
install_on_partial_lists() {
  local native=() foreign=() package name source version architectures preferences
  preferences=$(mktemp -d)
  cp /etc/apt/preferences.d/* "$preferences"/ 2>/dev/null || true
  for package in "$@"; do
    case "$package" in
      *:*) foreign+=("$package") ;;
      *) native+=("$package") ;;
    esac
  done
  for package in "${foreign[@]}"; do
    name=${package%%:*}
    architectures=$(printf '%s\n' "${foreign[@]}" | sed -n "s/^$name://p")
    version=$(common_version "$name" $architectures)
    source=$(apt-cache show --no-all-versions "$package" 2>/dev/null |
      sed -n 's/^Source: \([^ ]*\).*/\1/p' | head -n 1)
    if [ -n "$version" ]; then
      printf 'Package: src:%s:any\nPin: version %s\nPin-Priority: 990\n\n' "${source:-$name}" \
        "$version" >>"$preferences/zendrocast-common-versions"
    fi
  done
  apt_options=(-o "Dir::Etc::PreferencesParts=$preferences")
  if ! apt_install "$@" 2>/dev/null; then
    [ ${#native[@]} -eq 0 ] || apt_install "${native[@]}"
    for package in "${foreign[@]}"; do
      if ! apt_install "$package" >/dev/null 2>&1; then
        echo "NOT INSTALLED: $package (its architecture's index is left out of the package lists)"
      fi
    done
  fi
  apt_options=()
  rm -rf "$preferences"
}

# not_installed PACKAGE: true when install_missing had to leave it out.
not_installed() {
  ! dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

# common_version NAME ARCHITECTURE...: the newest version of NAME that the native architecture
# and each one given have in the package lists.
common_version() {
  local name=$1 version architecture
  shift
  for version in $(apt-cache madison "$name" | awk -F' *[|] *' '{print $2}'); do
    for architecture in "$@"; do
      apt-cache madison "$name:$architecture" | awk -F' *[|] *' '{print $2}' |
        grep -qxF "$version" || continue 2
    done
    echo "$version"
    return 0
  done
}

# need_deb_src: adds a deb-src entry beside Debian's deb one, for apt-get source.
need_deb_src() {
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ &&
    ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        as_root tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    else
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
        as_root tee /etc/apt/sources.list.d/debian-src.list >/dev/null
    fi
    update_lists
  fi
}

# quietly COMMAND...: runs it with its output shown only when it fails.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || cat "$log"
  rm -f "$log"
  return "$status"
}

# next_version VERSION: the version after it (Windows Installer compares the first three fields).
next_version() {
  echo "${1%.*}.$((${1##*.} + 1))"
}

# build_windows_next JOBS VERSION: the 64-bit installer of the next version, built from this tree
# with the build's version raised (bridge included), in build-win-next; for the upgrade test.
build_windows_next() {
  local jobs=$1 next
  next=$(next_version "$2")
  quietly cmake -S . -B build-win-next-bridge -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=OFF \
    -DZENDROCAST_RELEASE="$next" -DZENDROCAST_MINGW_THREADS=posix \
    -DZENDROCAST_WIN_DEPS="$PWD/build-win-deps" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
  quietly cmake --build build-win-next-bridge -j "$jobs" --target zendrocast-mqtt
  quietly cmake -S . -B build-win-next -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=OFF \
    -DZENDROCAST_RELEASE="$next" -DZENDROCAST_MQTT_EXE="$PWD/build-win-next-bridge/zendrocast-mqtt.exe" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
  quietly cmake --build build-win-next -j "$jobs" --target msi
}

# build_windows JOBS: both Windows builds as shipped, with their installers. The 64-bit bridge
# needs the POSIX thread model and the libraries windows-deps.sh builds: the 64-bit test build
# (build-win-x86_64-tests) makes it, and the 64-bit installer takes it from there.
build_windows() {
  local jobs=$1 arch bridge
  scripts/windows-deps.sh build-win-deps
  quietly cmake -S . -B build-win-x86_64-tests -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=ON \
    -DZENDROCAST_MINGW_THREADS=posix -DZENDROCAST_WIN_DEPS="$PWD/build-win-deps" \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
  # The bridge runs the tool beside it.
  quietly cmake --build build-win-x86_64-tests -j "$jobs" --target zendrocast-mqtt zendrocast
  for arch in i686 x86_64; do
    bridge=()
    [ "$arch" = i686 ] ||
      bridge=(-DZENDROCAST_MQTT_EXE="$PWD/build-win-x86_64-tests/zendrocast-mqtt.exe")
    quietly cmake -S . -B "build-win-$arch" -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=OFF \
      "${bridge[@]}" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch-w64-mingw32.cmake"
    quietly cmake --build "build-win-$arch" -j "$jobs"
    quietly cmake --build "build-win-$arch" -j "$jobs" --target msi
  done
}
