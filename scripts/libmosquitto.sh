#!/usr/bin/env bash
# Unpacks the source of libmosquitto that the bridge is built with: Debian's own, at a pinned
# version, with bridge/mqtt/libmosquitto-journal.patch applied (QoS 2 messages handed over when
# their PUBLISH arrives, so that the bridge's journal holds them before the PUBREC leaves; the
# acknowledgements of one read of the network held until the journal has written it through; a
# plain socket read into a buffer, and the packets queued together written together, rather than
# a system call for each header byte and each packet).
# The bridge's build compiles it for whichever system it targets.
# Usage: scripts/libmosquitto.sh   (into build-deps/; a second run with the same version and
# patch does nothing)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

version=2.0.11-1.2+deb12u2
patch=$PWD/bridge/mqtt/libmosquitto-journal.patch
dir=$PWD/build-deps
source_dir=$dir/mosquitto-${version%%-*}
stamp=$source_dir/.zendrocast
wanted="mosquitto $version, $(sha256sum <"$patch" | cut -d' ' -f1)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
  exit 0
fi
install_missing dpkg-dev patch
need_deb_src
echo "(unpacking libmosquitto $version, with the bridge's patch)"
rm -rf "$source_dir" "$dir/src"
mkdir -p "$dir/src"
(cd "$dir/src" && quietly apt-get source "mosquitto=$version")
mv "$dir/src/mosquitto-${version%%-*}" "$source_dir"
rm -rf "$dir/src"
quietly patch -d "$source_dir" -p1 -i "$patch"
echo "$wanted" >"$stamp"
