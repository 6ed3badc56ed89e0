#!/usr/bin/env bash
# Counts, with valgrind's callgrind, the instructions one forwarded MMIO access costs the
# bridge: the instructions of N accesses through the bridge minus those of N direct calls
# of the same VM manager callback, divided by N. Instruction counts do not depend on the
# machine's load, so the figure repeats exactly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux -DVMMGR_BUILD_BENCH=ON >/dev/null
cmake --build --preset linux --target BridgeBench VmmgrVboxPdm >/dev/null
bench=build/linux/bench/BridgeBench
n=100000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

instructions() { # loop name -> instructions executed inside the loop function
  local fn
  case "$1" in
    mmio-read-baseline) fn=countLoopMmioReadBaseline ;;
    mmio-read-bridge) fn=countLoopMmioReadBridge ;;
    mmio-write-baseline) fn=countLoopMmioWriteBaseline ;;
    mmio-write-bridge) fn=countLoopMmioWriteBridge ;;
  esac
  valgrind --tool=callgrind --callgrind-out-file="$out/$1" --collect-atstart=no \
    "--toggle-collect=*$fn*" "$bench" --count-loop "$1" "$n" >/dev/null 2>&1
  callgrind_annotate "$out/$1" | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}'
}

for path in mmio-read mmio-write; do
  base=$(instructions "$path-baseline")
  bridge=$(instructions "$path-bridge")
  awk -v p="$path" -v a="$base" -v b="$bridge" -v n="$n" 'BEGIN {
    printf "%-10s %6.2f instructions per access (direct call %.2f, through the bridge %.2f)\n",
           p, (b - a) / n, a / n, b / n }'
done
