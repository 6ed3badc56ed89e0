#!/usr/bin/env bash
# Tries the library as a VM manager developer gets it: installs the already-built library
# into a temporary prefix, checks what was installed (headers, the stripped module and its
# debug information), builds the C consumer with pkg-config's flags and examples/vmmgr-consumer
# with find_package, and runs them, for Linux natively and for Windows (the mingw toolchain
# file, programs under Wine). Needs build/linux and build/windows built
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
VmmgrVboxPdm/tools/pdmhost/HostReleases.h
VmmgrVboxPdm/tools/pdmhost/Json.h
VmmgrVboxPdm/tools/pdmhost/Pattern.h
VmmgrVboxPdm/tools/pdmhost/PdmHost.h
VmmgrVboxPdm/tools/pdmhost/Scenario.h
VmmgrVboxPdm/tools/pdmhost/Steps.h
VmmgrVboxPdm/tools/pdmhost/VmTable.h
VmmgrVboxPdm/vmmgr/vbox/pdm/VmmgrDeviceTable.h
VmmgrVboxPdm/vmmgr/vbox/pdm/VmmgrPdmHost.h
VmmgrVboxPdm/vmmgr/vbox/pdm/VmmgrPdmHostEntry.h
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
    cc=x86_64-w64-mingw32-gcc # any C compiler for Windows x64: the headers are plain C
    objdump=x86_64-w64-mingw32-objdump
    module=$prefix/bin/VmmgrVboxPdm.dll
    built=$build/bin/VmmgrVboxPdm.dll
  else
    so=lib/VmmgrVboxPdm.so.1.0.0
    [ -f "$prefix/$so" ] && [ -L "$prefix/lib/VmmgrVboxPdm.so.1" ] && [ -L "$prefix/lib/VmmgrVboxPdm.so" ] \
      || fail "linux: the shared object and its two links are not all installed"
    soname=$(objdump -p "$prefix/$so" | awk '$1 == "SONAME" {print $2}')
    [ "$soname" = VmmgrVboxPdm.so.1 ] || fail "linux: soname is '$soname', not VmmgrVboxPdm.so.1"
    [ -x "$prefix/bin/pdmhost" ] || fail "linux: pdmhost not installed"
    run=()
    exe=
    cc=cc
    objdump=objdump
    module=$prefix/$so
    built=$build/bin/VmmgrVboxPdm.so.1.0.0
  fi

  # Shipped stripped, the debug information beside the module behind its debug link.
  debug_sections() { "$objdump" -h "$1" | awk '$2 ~ /^\.debug_info$/ {n++} END {print n + 0}'; }
  [ "$(debug_sections "$module")" = 0 ] || fail "$target: the installed module carries debug information"
  [ "$(debug_sections "$module.debug")" = 1 ] || fail "$target: $module.debug holds no debug information"
  # -Wk follows the module's debug link and checks the file's checksum.
  "$objdump" -Wk "$module" 2>&1 | grep -q "Found separate debug info file" \
    || fail "$target: the module's debug link does not lead to $module.debug"
  echo "module: $(stat -c %s "$built") bytes as built, $(stat -c %s "$module") installed," \
       "$(stat -c %s "$module.debug") in $(basename "$module").debug"

  # pkg-config, as the guide shows it: a C VM manager linked by the flags alone, which runs
  # without LD_LIBRARY_PATH (Linux) or with the module copied beside it (Windows).
  export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
  [ "$(pkg-config --modversion VmmgrVboxPdm)" = 1.0.0 ] || fail "$target: pkg-config version"
  [ -f "$(pkg-config --variable=module VmmgrVboxPdm)" ] || fail "$target: pkg-config's module variable"
  mkdir -p "$work/$target/pc"
  # shellcheck disable=SC2046
  "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror examples/vmmgr-consumer/c-consumer.c \
    $(pkg-config --cflags --libs VmmgrVboxPdm) $(pkg-config --variable=rpath_flags VmmgrVboxPdm) \
    -o "$work/$target/pc/c-consumer$exe"
  if [ "$target" = windows ]; then
    cp "$(pkg-config --variable=module VmmgrVboxPdm)" "$work/$target/pc/"
  fi
  echo "== $target: run the C consumer built with pkg-config's flags"
  env -u LD_LIBRARY_PATH "${run[@]}" "$work/$target/pc/c-consumer$exe" | tail -n 1

  echo "== $target: build examples/vmmgr-consumer against the installation"
  cmake -S examples/vmmgr-consumer -B "$work/$target/example" "${config[@]}" >/dev/null
  cmake --build "$work/$target/example" >/dev/null
  echo "== $target: run"
  "${run[@]}" "$work/$target/example/vmmgr-consumer$exe"
  "${run[@]}" "$work/$target/example/vmmgr-linked$exe" | tail -n 1
  "${run[@]}" "$work/$target/example/vmmgr-c-consumer$exe" | tail -n 1
  # The installed pdmhost finds the installed module by itself.
  "${run[@]}" "$prefix/bin/pdmhost$exe" --quiet | tail -n 1
done
echo "consumer: passed (${targets[*]})"
