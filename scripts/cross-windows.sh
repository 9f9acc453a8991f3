#!/usr/bin/env bash
# Cross-compiles the device layer (with the Windows side of the device
# channel), the emulated device and their tests for 64-bit Windows, then runs
# the tests under wine in a prefix made for this run alone.
#
#   scripts/cross-windows.sh [BUILD_DIR]      (default: build-win in the tree)
#
# Needs the Debian packages g++-mingw-w64-x86-64 (its posix variant), wine64,
# cmake and ninja-build (make works too).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-win}
wine=/usr/lib/wine/wine64
jobs=${QEL_JOBS:-2}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

cmake -S "$src" -B "$build" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DQEL_DEVICE_LAYER_ONLY=ON
cmake --build "$build" -j"$jobs"

# The updater's icon group is a Windows resource; compile the script so that a
# broken one shows here rather than on the first Windows build.
x86_64-w64-mingw32-windres -I "$src/res" "$src/res/app.rc" -O coff -o "$build/app_rc.o"
x86_64-w64-mingw32-objdump -h "$build/app_rc.o" | grep -q '\.rsrc' || {
  echo "app.rc did not produce a resource section"; exit 1; }

prefix=$(mktemp -d /tmp/qel-wine-XXXXXX)
cleanup() {
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
# Keep wine from asking for Mono and Gecko, which tests do not need.
export WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure -j"$jobs"
