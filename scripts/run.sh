#!/usr/bin/env bash
# Builds the Linux module and pdmhost, then runs pdmhost on its built-in sample VM.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target pdmhost VmmgrVboxPdm
exec build/linux/bin/pdmhost "$@"
