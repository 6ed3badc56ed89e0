#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target (all of them, or those named) for
# FUZZ_SECONDS seconds (default 60), starting from a scratch copy of its committed corpus so
# the run never adds files to fuzz/corpus/. Prints the inputs each target executed and
# exits non-zero when any target finds a crash, a broken property, a leak or a timeout.
# Inputs that broke something are kept in build/fuzz/artifacts/<Name>/.
# Without names it also fuzzes the example device libraries with pdmhost's coverage mode
# (PDMHOST_FUZZ_SECONDS each, default 10): the correct ones give no finding, the faulty one
# a finding that replays.
#   FUZZ_SECONDS=5 bash scripts/fuzz.sh
#   FUZZ_SECONDS=3600 bash scripts/fuzz.sh Utf
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${FUZZ_SECONDS:-60}
all=()
for f in fuzz/*Fuzz.cpp; do all+=("$(basename "$f" Fuzz.cpp)"); done
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")

# Longest input per target: enough for every structure the target reads, short enough
# that the time goes into variety rather than size.
max_len_of() {
  case "$1" in
    Snprintf) echo 512 ;;
    *) echo 1024 ;;
  esac
}
for t in "${targets[@]}"; do
  [ -f "fuzz/${t}Fuzz.cpp" ] || { echo "fuzz.sh: unknown target $t" >&2; exit 2; }
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmmgr-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failed=()
summary=()
for t in "${targets[@]}"; do
  exe=$root/build/fuzz/fuzz/${t}Fuzz
  corpus=$scratch/$t
  artifacts=$root/build/fuzz/artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  cp -R "$root/fuzz/corpus/$t/." "$corpus/"
  args=(-max_total_time="$seconds" -max_len="$(max_len_of "$t")" -timeout=10
        -print_final_stats=1 -artifact_prefix="$artifacts/")
  [ -f "$root/fuzz/$t.dict" ] && args+=(-dict="$root/fuzz/$t.dict")
  log=$scratch/$t.log
  echo "fuzz: $t for ${seconds}s"
  status=0
  "$exe" "${args[@]}" "$corpus" >"$log" 2>&1 || status=$?
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  executed=${executed:-?}
  if ((status != 0)); then
    failed+=("$t")
    # What broke and the input that broke it.
    grep -E 'property broken|ERROR:|SUMMARY:|Test unit written|artifact_prefix' "$log" | head -20 || true
    tail -n 40 "$log" >&2
    summary+=("$(printf '%-12s %12s inputs  FAILED (exit %d)' "$t" "$executed" "$status")")
  else
    summary+=("$(printf '%-12s %12s inputs  ok' "$t" "$executed")")
  fi
done

# pdmhost fuzz --coverage over the example devices, built instrumented by this preset.
if (($# == 0)); then
  pdmhost_seconds=${PDMHOST_FUZZ_SECONDS:-10}
  bin=$root/build/fuzz/bin
  cmake --build --preset fuzz -j2 --target pdmhost pdmhost_ring_device pdmhost_lab_device \
    pdmhost_faulty_device >/dev/null
  for device in ring lab faulty; do
    status=0
    "$bin/pdmhost" fuzz --coverage --seconds "$pdmhost_seconds" --out "$scratch/$device.json" \
      --vm-manager "$bin/pdmhost_${device}_device.so" >"$scratch/$device.log" 2>&1 || status=$?
    expected=0
    [ "$device" = faulty ] && expected=1
    if ((status == 1 && expected == 1)); then
      "$bin/pdmhost" fuzz --replay "$scratch/$device.json" --out "$scratch/replay.json" \
        --vm-manager "$bin/pdmhost_${device}_device.so" >>"$scratch/$device.log" 2>&1 || status=$?
    fi
    if ((status != expected)); then
      failed+=("pdmhost-$device")
      tail -n 40 "$scratch/$device.log" >&2
    fi
    summary+=("$(printf '%-12s %s' "pdmhost-$device" "$(grep -m1 -E '^fuzz: (finding|[0-9])' "$scratch/$device.log" | cut -c1-100)")")
  done
fi

echo "fuzz: inputs executed per target (${seconds}s each)"
printf '  %s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "fuzz: FAILED: ${failed[*]} (inputs in build/fuzz/artifacts/)" >&2
  exit 1
fi
