#!/usr/bin/env bash
# Tries the library as a VM manager developer gets it: installs the already-built library
# into a temporary prefix, checks what was installed, builds examples/vmmgr-consumer against
# the installation (find_package) and runs it, for Linux natively and for Windows (the mingw
# toolchain file, programs under Wine). Needs build/linux and build/windows built
# (scripts/test.sh builds them). One target only: bash scripts/consumer.sh linux
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
targets=("$@")
((${#targets[@]})) || targets=(linux windows)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "consumer: $*" >&2; exit 1; }

# Exactly these headers, nothing internal.
expected_headers="VmmgrVboxPdm/tools/pdmhost/DeviceModels.h
VmmgrVboxPdm/tools/pdmhost/PdmHost.h
VmmgrVboxPdm/tools/pdmhost/Scenario.h
VmmgrVboxPdm/tools/pdmhost/VmTable.h
VmmgrVboxPdm/vmmgr/vbox/pdm/VmmgrDeviceTable.h
VmmgrVboxPdm/vmmgr/vbox/pdm/VmmgrPdmHost.h
VmmgrVboxPdm/vmmgr/vbox/pdm/VmmgrVboxPdm.h
VmmgrVboxPdm/xpl/XlogLogger.h"

for target in "${targets[@]}"; do
  build=build/$target
  [ -f "$build/build.ninja" ] || fail "$build is not configured: build the $target preset first"
  prefix=$work/$target/prefix
  echo "== $target: install into $prefix"
  # The install steps build nothing: the module, pdmhost and pdmhost_core must be current.
  cmake --build "$build" --target VmmgrVboxPdm pdmhost pdmhost_core >/dev/null
  cmake --install "$build" --prefix "$prefix" >/dev/null
  headers=$(cd "$prefix/include" && find . -type f | sed 's|^\./||' | sort)
  [ "$headers" = "$expected_headers" ] || fail "$target installs other headers:
$headers"
  for f in lib/cmake/VmmgrVboxPdm/VmmgrVboxPdmConfig.cmake \
           lib/cmake/VmmgrVboxPdm/VmmgrVboxPdmConfigVersion.cmake \
           lib/pkgconfig/VmmgrVboxPdm.pc lib/libpdmhost_core.a; do
    [ -f "$prefix/$f" ] || fail "$target: $f not installed"
  done

  config=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_PREFIX_PATH=$prefix")
  if [ "$target" = windows ]; then
    for f in bin/VmmgrVboxPdm.dll lib/libVmmgrVboxPdm.dll.a bin/pdmhost.exe; do
      [ -f "$prefix/$f" ] || fail "windows: $f not installed"
    done
    config+=("--toolchain=$root/cmake/mingw-w64-ucrt.cmake")
    export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vmmgr}" WINEDEBUG=-all
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wine wineboot -i </dev/null >/dev/null 2>&1
      wineserver -w
    fi
    # One server for the runs below; it ends on its own shortly after the last one.
    wineserver -p10 </dev/null >/dev/null 2>&1 || true
    run=(scripts/wine-run.sh)
    exe=.exe
  else
    so=lib/VmmgrVboxPdm.so.1.0.0
    [ -f "$prefix/$so" ] && [ -L "$prefix/lib/VmmgrVboxPdm.so.1" ] && [ -L "$prefix/lib/VmmgrVboxPdm.so" ] \
      || fail "linux: the shared object and its two links are not all installed"
    soname=$(objdump -p "$prefix/$so" | awk '$1 == "SONAME" {print $2}')
    [ "$soname" = VmmgrVboxPdm.so.1 ] || fail "linux: soname is '$soname', not VmmgrVboxPdm.so.1"
    [ -x "$prefix/bin/pdmhost" ] || fail "linux: pdmhost not installed"
    # pkg-config: a program that links the module by its flags alone.
    export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
    [ "$(pkg-config --modversion VmmgrVboxPdm)" = 1.0.0 ] || fail "linux: pkg-config version"
    printf '#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"\nint main() { return vmmgrVboxPdmInit == nullptr; }\n' \
      >"$work/pc.cpp"
    # shellcheck disable=SC2046
    g++ -std=c++17 $(pkg-config --cflags VmmgrVboxPdm) "$work/pc.cpp" -o "$work/pc" \
      $(pkg-config --libs VmmgrVboxPdm) -Wl,-rpath,"$prefix/lib"
    "$work/pc" || fail "linux: the program built with pkg-config's flags failed"
    [ -f "$(pkg-config --variable=module VmmgrVboxPdm)" ] || fail "linux: pkg-config's module variable"
    echo "pkg-config: flags build and link, module $(pkg-config --variable=module VmmgrVboxPdm)"
    run=()
    exe=
  fi

  echo "== $target: build examples/vmmgr-consumer against the installation"
  cmake -S examples/vmmgr-consumer -B "$work/$target/example" "${config[@]}" >/dev/null
  cmake --build "$work/$target/example" >/dev/null
  echo "== $target: run"
  "${run[@]}" "$work/$target/example/vmmgr-consumer$exe"
  "${run[@]}" "$work/$target/example/vmmgr-linked$exe" | tail -n 1
  # The installed pdmhost finds the installed module by itself.
  "${run[@]}" "$prefix/bin/pdmhost$exe" --quiet | tail -n 1
done
echo "consumer: passed (${targets[*]})"
