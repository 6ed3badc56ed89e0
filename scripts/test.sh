#!/usr/bin/env bash
# Builds both targets and runs every test: Linux natively, Windows under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"
ctest --preset linux -j "$jobs"
# The module as cmake --install lays it out under a root-owned prefix (a temporary directory
# under /, since VirtualBox refuses anything below the world-writable /tmp) passes
# VirtualBox's file rules; the soname link beside it does not.
if [ "$(id -u)" -eq 0 ]; then
  prefix=$(mktemp -d /vmmgr-install.XXXXXX)
  cmake --install build/linux --prefix "$prefix" --component runtime >/dev/null
  build/linux/bin/pdmhost check-install "$prefix/lib/VmmgrVboxPdm.so.1.0.0"
  if build/linux/bin/pdmhost check-install "$prefix/lib/VmmgrVboxPdm.so.1" >/dev/null; then
    echo "test: check-install passed a symbolic link" >&2
    exit 1
  fi
  rm -rf "$prefix"
fi

# Sanitizers: every suite under AddressSanitizer and UndefinedBehaviorSanitizer (any report
# fails the run), the suites that run threads under ThreadSanitizer.
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -L concurrency

# Every fuzz target for a bounded time (FUZZ_SECONDS each, a minute by default; 0 skips).
if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
  FUZZ_SECONDS="${FUZZ_SECONDS:-60}" bash scripts/fuzz.sh
fi

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vmmgr}" WINEDEBUG=-all
# A new prefix is made once (wineboot), then one wineserver serves the whole run instead
# of one per test binary. Its output is redirected or it would hold this script's pipes.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test: creating the Wine prefix $WINEPREFIX"
  wine wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
wineserver -p </dev/null >/dev/null 2>&1 || true
# The first program of a session starts the prefix's background services, which inherit
# its output pipes and outlive it: started here, detached, they cannot hold a test's pipes
# open (ctest would wait for them until its time-out).
wine wineboot </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT
ctest --preset windows -j "$jobs"

# The installed Windows module signed as a user signs it, with a throw-away self-signed
# certificate: osslsigncode checks the signature's structure and digest (the certificate is
# its own root) and pdmhost check-install finds it.
sign=$(mktemp -d)
cmake --install build/windows --prefix "$sign" --component runtime >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=vmmgr test" -days 1 \
        -keyout "$sign/key.pem" -out "$sign/cert.pem" 2>/dev/null
bash scripts/sign-module.sh --cert "$sign/cert.pem" --key "$sign/key.pem" "$sign/bin/VmmgrVboxPdm.dll"
osslsigncode verify -CAfile "$sign/cert.pem" -in "$sign/bin/VmmgrVboxPdm.dll" >/dev/null
{ wine build/windows/bin/pdmhost.exe check-install "$(winepath -w "$sign/bin/VmmgrVboxPdm.dll" 2>/dev/null)" \
    2>/dev/null || true; } | grep -q "an Authenticode signature is present"
rm -rf "$sign"

# The installed package as a VM manager uses it: install each target into a temporary
# prefix, build the consumer example against it and run it (Windows under Wine).
bash scripts/consumer.sh
