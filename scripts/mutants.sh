#!/usr/bin/env bash
# Mutation check of the test suite: applies one hand-picked fault at a time to the sources,
# rebuilds the Linux preset and runs ctest. Every fault must make some test fail ("killed");
# one that passes every test is a survivor, and the script exits 1.
#
#   bash scripts/mutants.sh              every fault in scripts/mutants/*.tsv
#   bash scripts/mutants.sh xstr timer   the faults of scripts/mutants/xstr.tsv and timer.tsv
#
# A fault is one line of a .tsv file: path, exact text, replacement, separated by tabs. The
# text must occur exactly once in the file; "\n" and "\t" in either text stand for a newline
# and a tab. Lines that start with # are comments. Not part of CI: it takes minutes.
set -uo pipefail
cd "$(dirname "$0")/.."
build=build/linux
cmake --preset linux >/dev/null || exit 2
cmake --build --preset linux -j "$(nproc)" >/dev/null || { echo "mutants: the unmutated build fails" >&2; exit 2; }

lists=()
if (($#)); then for n in "$@"; do lists+=("scripts/mutants/$n.tsv"); done
else lists=(scripts/mutants/*.tsv); fi

killed=0 survived=0 broken=0
restore() { [ -n "${saved:-}" ] && cp "$saved" "$path" && rm -f "$saved"; saved=; }
trap 'restore; exit 130' INT TERM
for list in "${lists[@]}"; do
  while IFS=$'\t' read -r path old new _; do
    [[ -z "$path" || "$path" == \#* ]] && continue
    saved=$(mktemp)
    cp "$path" "$saved"
    if ! OLD="$old" NEW="$new" perl -0777 -i -pe '
        BEGIN { ($o, $n) = map { s/\\n/\n/gr =~ s/\\t/\t/gr } @ENV{qw(OLD NEW)} }
        $c = () = /\Q$o\E/g; die "found $c times\n" if $c != 1; s/\Q$o\E/$n/' "$path"; then
      echo "BROKEN   $path: '$old' (not found exactly once)"; broken=$((broken + 1)); restore; continue
    fi
    if ! cmake --build --preset linux -j "$(nproc)" >/dev/null 2>&1; then
      echo "BROKEN   $path: '$old' -> '$new' (does not compile)"; broken=$((broken + 1))
    elif (cd "$build" && ctest --stop-on-failure --timeout 120 -j "$(nproc)" >/dev/null 2>&1); then
      echo "SURVIVED $path: '$old' -> '$new'"; survived=$((survived + 1))
    else
      echo "killed   $path: '$old' -> '$new'"; killed=$((killed + 1))
    fi
    restore
  done < "$list"
done
cmake --build --preset linux -j "$(nproc)" >/dev/null
echo "mutants: $killed killed, $survived survived, $broken broken"
((survived == 0 && broken == 0))
