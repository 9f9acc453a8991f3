#!/bin/bash
# Sets up a fresh Debian 12 machine, builds everything and runs every test:
# a normal build, its Debian packages installed, tried and purged, a build
# under AddressSanitizer and UndefinedBehaviorSanitizer,
# the update worker's tests under ThreadSanitizer, and the whole project
# cross-compiled for Windows: its tests, the zip and the deployed program under wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
qel_install_packages

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

run_suite() {   # name, build dir, extra cmake options...
    local name=$1 dir=$2
    shift 2
    echo "=== $name ==="
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

run_suite "normal build" "$root/build"
"$root/scripts/package-checks.sh" "$root/build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite "address and undefined-behaviour sanitizers" "$root/build-asan" -DQEL_SANITIZE=ON
if [ -x "$root/scripts/tsan.sh" ]; then
    "$root/scripts/tsan.sh" "$root/build-tsan"
fi
if [ -x "$root/scripts/cross-windows.sh" ]; then
    echo "=== Windows cross-build under wine ==="
    # qel-devsim and qel-tcprelay for the device checks under wine come from
    # the normal build.
    QEL_NATIVE_BUILD="$root/build" "$root/scripts/cross-windows.sh" "$root/build-win"
fi
echo "all test suites passed"
