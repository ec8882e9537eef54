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

# quietly COMMAND...: runs it with its output shown only when it fails.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || cat "$log"
  rm -f "$log"
  return "$status"
}
