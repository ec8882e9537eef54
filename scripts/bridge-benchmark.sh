#!/usr/bin/env bash
# The MQTT bridge's benchmark: publish-to-result latency against the tool's own run on the same
# emulated box (side by side, as a ratio: this machine is noisy), commands per second with one
# box and with four, and the bridge's wakeups and memory when idle; or, with --reconnect, a fleet
# of bridges whose broker is killed and restarted after 3 s (time until all are back, and the
# most reconnects within any 250 ms); or, with --chaos, the chaos run: commands at QoS 2 through
# bridge kills and stops, broker restarts and stalls, unplugged and stalled boxes, at seeded random
# moments, and every command the broker acknowledged checked for exactly one result. Needs root,
# /dev/fuse and mosquitto; builds what it runs (Release).
# Usage: scripts/bridge-benchmark.sh [IDLE_SECONDS]   (default 65: longer than the keep-alive)
#        scripts/bridge-benchmark.sh --reconnect [BRIDGES]   (default 200)
#        scripts/bridge-benchmark.sh --cluster [BRIDGES]   (default 60: a three-node RabbitMQ
#                                             cluster, its busiest node killed)
#        scripts/bridge-benchmark.sh --chaos [SECONDS | --minutes N] [--seed N] [--max-qos 1]
#                                             (default 60 s; --max-qos 1: at least once)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
install_missing cmake g++ libgtest-dev pkg-config libfuse3-dev fuse3 libssl-dev mosquitto \
  openssl rabbitmq-server
scripts/libmosquitto.sh
quietly cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZENDROCAST_TESTS=ON
quietly cmake --build build-bench -j "$(nproc)" --target zendrocast zendrocast-mqtt \
  zendrocast_bridge_benchmark
build-bench/tests/zendrocast_bridge_benchmark "$@"
