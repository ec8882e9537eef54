#!/usr/bin/env bash
# Benchmarks zendrocast against bench/minimal.c, a C program that makes the same system calls and
# writes the same text, side by side in one hyperfine run each (the machine is noisy: the ratios
# are what count): on an emulated box behind other HID nodes, at 1, 50 and 500 nodes, and with
# no node at all; and the start of the tool (banner and usage) against a C program that does
# nothing. Needs root and /dev/fuse for the emulated nodes. Not a test: it prints, and fails only
# when it cannot measure.
# Usage: scripts/benchmark.sh [ROUNDS] [SCALE]   (SCALE multiplies the runs of every round)
#        ZENDROCAST_TOOL=path/to/zendrocast scripts/benchmark.sh ...
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-7}
scale=${2:-1}

source scripts/lib.sh
install_missing hyperfine cmake g++ libgtest-dev pkg-config libfuse3-dev fuse3

# The README's build (no build type: Release), and the emulated nodes' shell from the tests.
build=build-bench
cmake -S . -B "$build" -DZENDROCAST_TESTS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target zendrocast zendrocast_emulated_shell >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cc -O2 -o "$scratch/minimal" bench/minimal.c
printf 'int main(void) { return 0; }\n' >"$scratch/nothing.c"
cc -O2 -o "$scratch/nothing" "$scratch/nothing.c"
# ZENDROCAST_TOOL measures another build of the tool instead, an older one say.
tool=${ZENDROCAST_TOOL:-$PWD/$build/zendrocast}
shell=$PWD/$build/tests/zendrocast_emulated_shell

# measure NAME NODES RUNS TOOL-COMMAND C-COMMAND: both in a namespace of NODES emulated nodes, the
# last one the box (NODES "-": as they are), pinned to one CPU so that the emulator's thread and
# the command do not wait on each other across CPUs. Rounds alternate which command goes first;
# the ratio printed is the median of the rounds' ratios of mean times.
measure() {
  local name=$1 nodes=$2 runs=$(($3 * scale)) tool_command=$4 c_command=$5
  local inside=(taskset -c 0)
  [ "$nodes" = - ] || inside+=("$shell" "$nodes")
  local round results=()
  for ((round = 0; round < rounds; round++)); do
    local commands=("$tool_command" "$c_command")
    ((round % 2 == 0)) || commands=("$c_command" "$tool_command")
    # Without a box both exit with 1, as they should.
    "${inside[@]}" hyperfine -N -i --style none --warmup 3 --runs "$runs" \
      --export-csv "$scratch/round.csv" "${commands[@]}" >/dev/null 2>&1
    results+=("$(awk -F, -v first="$((round % 2))" '
      NR == 2 { a = $2 } NR == 3 { b = $2 }
      END { tool = first == 0 ? a : b; c = first == 0 ? b : a; print tool / c, tool, c }' \
      "$scratch/round.csv")")
  done
  printf '%s\n' "${results[@]}" | sort -g | awk -v name="$name" '
    { ratio[NR] = $1; tool += $2; c += $3 }
    END { printf "%-28s %9.1f us %9.1f us   ratio %.3f (rounds %.3f to %.3f)\n", name,
          tool / NR * 1e6, c / NR * 1e6, ratio[int((NR + 1) / 2)], ratio[1], ratio[NR] }'
}

echo "zendrocast: $(stat -c %s "$tool") bytes; $rounds rounds per line, mean times of all rounds"
printf '%-28s %12s %12s\n' "" "zendrocast" "C program"
measure "start (usage, no device)" - 300 "$tool" "$scratch/nothing"
measure "run, no device" 0 300 "$tool 1 10 20" "$scratch/minimal 1 10 20"
for nodes in 1 50 500; do
  measure "run, box among $nodes nodes" "$nodes" $((3000 / (nodes + 9))) "$tool 1 10 20" \
    "$scratch/minimal 1 10 20"
done
