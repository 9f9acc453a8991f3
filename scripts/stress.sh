#!/bin/bash
# Runs the whole test suite of the normal build again and again on a machine
# whose cores are kept busy, to bring out tests that depend on timing. Stops
# at the first failing run and names the run and the failed tests.
#
#   stress.sh N [BUILD_DIR]      (or QEL_STRESS_BUILD=BUILD_DIR stress.sh N)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:?usage: stress.sh N [BUILD_DIR]}
dir=${2:-${QEL_STRESS_BUILD:-$root/build}}
case $runs in
    '' | *[!0-9]* | 0) echo "stress.sh: N must be a positive number, not '$runs'" >&2; exit 2 ;;
esac

# The other users of the machine get the same two cores as test.sh uses.
jobs=2
export QT_QPA_PLATFORM=offscreen

echo "=== normal build in $dir ==="
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$jobs"

# One busy loop per core, below the tests' priority, so that a test gets its
# share of the processor late rather than never.
load=()
stop_load() {
    for p in "${load[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${load[@]}"; do wait "$p" 2>/dev/null || true; done
    load=()
}
trap stop_load EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$(nproc)"); do
    nice -n 10 bash -c 'while :; do :; done' &
    load+=($!)
done
echo "=== $runs runs of the suite beside ${#load[@]} busy loops ==="

output="$dir/Testing/stress-run.log"
failed_list="$dir/Testing/Temporary/LastTestsFailed.log"
mkdir -p "$dir/Testing"
start=$SECONDS
for run in $(seq "$runs"); do
    run_start=$SECONDS
    rm -f "$failed_list"
    if (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$jobs" --timeout 600) \
        >"$output" 2>&1; then
        echo "run $run/$runs passed in $(( SECONDS - run_start )) s"
        continue
    fi
    cat "$output"
    echo "=== run $run of $runs failed after $(( SECONDS - start )) s; failed tests: ==="
    if [ -s "$failed_list" ]; then
        cut -d: -f2- "$failed_list"
    else
        echo "(ctest named none; its output is above)"
    fi
    exit 1
done
total=$(( SECONDS - start ))
echo "all $runs runs passed in $total s ($(( total / runs )) s a run)"
