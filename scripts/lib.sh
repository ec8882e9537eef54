# Shared by the test scripts (sourced): installing what is missing, and quiet commands.

# install_missing [--architecture ARCH]... PACKAGE...: adds the foreign architectures not yet
# known to dpkg, then installs the packages not yet installed (apt-get, as root or with sudo).
install_missing() {
  local architectures=() packages=() missing=() update="" sudo="" architecture package
  while [ $# -gt 0 ]; do
    case "$1" in
      --architecture) architectures+=("$2") && shift 2 ;;
      *) packages+=("$1") && shift ;;
    esac
  done
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  for architecture in "${architectures[@]}"; do
    if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
      $sudo dpkg --add-architecture "$architecture"
      update=yes
    fi
  done
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ] || [ -n "$update" ]; then
    echo "== installing ${missing[*]:-nothing new, updating the package lists}"
    $sudo apt-get update -qq
    if [ ${#missing[@]} -gt 0 ]; then
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
    fi
  fi
}

# need_deb_src: adds a deb-src entry beside Debian's deb one, for apt-get source.
need_deb_src() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ &&
    ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        $sudo tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    else
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
        $sudo tee /etc/apt/sources.list.d/debian-src.list >/dev/null
    fi
    $sudo apt-get update -qq
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
