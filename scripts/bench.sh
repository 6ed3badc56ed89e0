#!/usr/bin/env bash
# Builds the Linux benchmarks, runs them (all, or those named: bash scripts/bench.sh XstrBench)
# and writes docs/benchmarks.md: the date, the machine and its load, then each benchmark's
# target lines (every figure against a baseline measured in the same run) and its full output.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux -DVMMGR_BUILD_BENCH=ON >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null
names=("$@")
if ((${#names[@]} == 0)); then
  for b in bench/*Bench.cpp; do names+=("$(basename "$b" .cpp)"); done
fi
out=docs/benchmarks.md
raw=$(mktemp)
trap 'rm -f "$raw"' EXIT
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
{
  echo "# Benchmarks"
  echo
  echo "Written by \`scripts/bench.sh\`; do not edit by hand. Every figure is measured against a"
  echo "baseline in the same run, because these machines are noisy."
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores, $(free -g | awk '/Mem:/ {print $2}') GiB, $(uname -sr)"
  echo "- commit: $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!docs/benchmarks.md' || echo ' (with uncommitted changes)')"
  echo "- load average before the run: $load_before"
  echo
  echo "| What | Measured | Baseline in the same run | Target | |"
  echo "|---|---|---|---|---|"
} > "$out.new"
for name in "${names[@]}"; do
  echo "== $name" | tee -a "$raw"
  "build/linux/bench/$name" --benchmark_color=false 2>&1 | tee -a "$raw" | grep '^| ' >> "$out.new" || true
done
if [ $# -eq 0 ] && command -v valgrind >/dev/null; then
  echo "== count-instructions" | tee -a "$raw"
  bash scripts/count-instructions.sh 2>&1 | tee -a "$raw" | grep '^| ' >> "$out.new" || true
fi
if [ $# -eq 0 ]; then
  echo "== fuzz-bench" | tee -a "$raw"
  fuzz_table=$(bash scripts/fuzz-bench.sh 2>&1 | tee -a "$raw" | grep '^|' || true)
  {
    echo
    echo "## pdmhost fuzz: planted faults"
    echo
    echo "\`scripts/fuzz-bench.sh\`: each mode searches each faulty build of the Lab example device for"
    echo "at most 60 s with a fixed --seed; steps a second against the fault-free build."
    echo
    echo "$fuzz_table"
  } >> "$out.new"
fi
{
  echo
  echo "Load average after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "## Full output"
  echo
  echo '```'
  cat "$raw"
  echo '```'
} >> "$out.new"
mv "$out.new" "$out"
echo "bench: wrote $out"
