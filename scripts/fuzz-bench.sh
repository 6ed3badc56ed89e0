#!/usr/bin/env bash
# pdmhost fuzz against faults planted in the Lab example device (LabDevice.c lists them):
# each mode, random and coverage, searches each faulty build for at most
# FUZZ_BENCH_SECONDS seconds (default 60) with --seed FUZZ_BENCH_RNG (default 1) and
# stops at its first finding. Prints one table: per fault, found or not and the time to
# find it; then each mode's steps a second against the fault-free build (searched as long),
# the coverage mode's against the random mode's measured in the same run.
#   FUZZ_BENCH_SECONDS=20 bash scripts/fuzz-bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_BENCH_SECONDS:-60}
rng=${FUZZ_BENCH_RNG:-1}
faults=(far_write one_value magic_value read_register dma_bounds hang spurious_irq shift)
targets=(pdmhost pdmhost_lab_device)
for f in "${faults[@]}"; do targets+=("pdmhost_lab_${f}_device"); done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target "${targets[@]}" >/dev/null
bin=build/fuzz/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# "found in 1.2 s", "caught, not replayed" (the coverage mode's fault that needs state
# older than its history) or "not found"; the whole output goes to the log.
search() {
  local mode=$1 library=$2 output
  output=$("$bin/pdmhost" fuzz $mode --seconds "$seconds" --seed "$rng" \
    --vm-manager "$library" --out "$work/finding.json" 2>&1) || true
  echo "$output" >>"$work/log"
  local took
  took=$(sed -n 's/^fuzz: finding after \([0-9.]*\) s.*/\1/p' <<<"$output" | head -1)
  if [ -n "$took" ]; then echo "found in $took s"
  elif grep -q "gives no finding from a fresh start" <<<"$output"; then
    echo "caught, not replayed (needs older state)"
  else echo "not found"; fi
}
rate() {
  "$bin/pdmhost" fuzz $1 --seconds "$seconds" --seed "$rng" \
    --vm-manager "$bin/pdmhost_lab_device.so" --out "$work/none.json" 2>&1 |
    tee -a "$work/log" | sed -n 's/.*(\([0-9]*\) steps a second).*/\1/p' | tail -1
}

echo "pdmhost fuzz: planted faults, ${seconds} s a search, --seed $rng"
echo
echo "| Planted fault | Random mode | Coverage mode |"
echo "|---|---|---|"
found_random=0
found_coverage=0
for f in "${faults[@]}"; do
  r=$(search "" "$bin/pdmhost_lab_${f}_device.so")
  c=$(search --coverage "$bin/pdmhost_lab_${f}_device.so")
  [[ $r == found* ]] && found_random=$((found_random + 1))
  [[ $c == found* ]] && found_coverage=$((found_coverage + 1))
  echo "| $f | $r | $c |"
done
random_rate=$(rate "")
coverage_rate=$(rate --coverage)
echo "| found | $found_random of ${#faults[@]} | $found_coverage of ${#faults[@]} |"
echo "| steps a second (fault-free) | ${random_rate:-?} | ${coverage_rate:-?} ($(awk -v c="${coverage_rate:-0}" -v r="${random_rate:-0}" 'BEGIN { if (r > 0) printf "%.0fx", c / r; else print "?" }') the random mode's) |"
if [ -n "${FUZZ_BENCH_LOG:-}" ]; then cp "$work/log" "$FUZZ_BENCH_LOG"; fi
