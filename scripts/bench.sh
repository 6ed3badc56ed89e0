#!/usr/bin/env bash
# Builds the Linux benchmarks and runs them all (or those named: bash scripts/bench.sh XstrBench).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux -DVMMGR_BUILD_BENCH=ON >/dev/null
cmake --build --preset linux -j "$(nproc)"
names=("$@")
if ((${#names[@]} == 0)); then
  for b in bench/*Bench.cpp; do [ -e "$b" ] && names+=("$(basename "$b" .cpp)"); done
fi
for name in "${names[@]}"; do
  echo "== $name"
  "build/linux/bench/$name"
done
