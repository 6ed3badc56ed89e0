#!/usr/bin/env bash
# Counts, with valgrind's callgrind, the instructions the bridge itself executes for one
# forwarded MMIO access: the self cost of VmmgrPciMmioRead / VmmgrPciMmioWrite over N
# accesses, divided by N, on pdmhost and on a host of each VirtualBox release the module
# serves (BridgeBench --list-hosts), as that release registers and addresses the region.
# The host's argument set-up before the call and the VM manager's callback after it are not
# the bridge's and are not counted. Instruction counts do not depend on the machine's load,
# so the figure repeats exactly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux -DVMMGR_BUILD_BENCH=ON >/dev/null
cmake --build --preset linux --target BridgeBench >/dev/null
bench=build/linux/bench/BridgeBench
n=100000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

hosts=("pdmhost:" $("$bench" --list-hosts | awk '{print $2 ":" $1}'))
for host in "${hosts[@]}"; do
  IFS=: read -r release helpers <<<"$host"
  for path in read:VmmgrPciMmioRead:13 write:VmmgrPciMmioWrite:15; do
    IFS=: read -r name fn target <<<"$path"
    valgrind --tool=callgrind --callgrind-out-file="$out/$name" --collect-atstart=no \
      "--toggle-collect=$fn" "$bench" --count-loop "mmio-$name" "$n" $helpers >/dev/null 2>&1
    self=$(callgrind_annotate --inclusive=no "$out/$name" |
      awk -v fn="$fn" '$0 ~ (" " fn " ") || $0 ~ (":" fn " ") || $0 ~ (":" fn "$") {gsub(",", "", $1); print $1; exit}')
    # A Markdown row, as the benchmarks print theirs (scripts/bench.sh collects them).
    awk -v p="$name" -v h="$release" -v s="$self" -v n="$n" -v t="$target" 'BEGIN {
      c = s / n; printf "| MMIO %s on %s, instructions of the bridge itself per access (callgrind) | %.2f | none: a count, not a time | at most %d | %s |\n",
                        p, h, c, t, c <= t ? "met" : "NOT met" }'
  done
done
