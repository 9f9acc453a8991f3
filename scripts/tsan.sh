#!/bin/bash
# The update's threads under ThreadSanitizer: the worker's run on the update
# session's thread with its reports queued to the window, and the window's
# timer reading the progress that the transfer writes. Usage: tsan.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-tsan}

echo "=== thread sanitizer: update worker and window ==="
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_TSAN=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target tst_update tst_worker tst_updatesession

# Qt is not instrumented and orders its event queue and thread teardown with
# futex-based locks that ThreadSanitizer cannot see, so the memory its own
# memmove/pthread calls touch would be reported as races (those functions
# carry no symbols to suppress by name). Accesses from uninstrumented
# libraries are therefore not judged; every access made by the project's own
# code still is, and the ordering that pthread and eventfd calls give still
# counts.
export TSAN_OPTIONS="ignore_noninstrumented_modules=1 ${TSAN_OPTIONS:-}"
export QT_QPA_PLATFORM=offscreen
cd "$dir"
ctest --output-on-failure -R '^tst_(update|worker|updatesession)$' --timeout 600
