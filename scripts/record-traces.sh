#!/bin/bash
# Records the traces the tests replay: qel-fwtool --record against qel-devsim
# in the situations the updater must get right. Run it again after a change
# that is meant to change what the updater sends, and commit the new traces
# with that change; a trace from a real device is added to the same folder
# by hand.
#
#   scripts/record-traces.sh [build dir] [trace folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=$(mkdir -p "${2:-$root/testsupport/traces}" && cd "${2:-$root/testsupport/traces}" && pwd)
devsim="$build/emulator/qel-devsim"
fwtool="$build/fwtool/qel-fwtool"
mkimage="$build/tools/mkimage/qel-mkimage"

work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR="$work/run" XDG_STATE_HOME="$work/state"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# A small image: a few blocks keep the traces short where the transfer is
# repeated or cut off.
"$mkimage" --out "$out/small.prg" --product Qel --version 102 --build 31 \
    --date 2026-12-01 --size 8192 --checksum 123456

record() {   # trace name, image ("" for the embedded one), qel-devsim options...
    local name=$1 image=$2
    shift 2
    "$devsim" --instance "trace-$name" "$@" >"$work/$name.devsim" 2>&1 &
    local pid=$!
    for _ in $(seq 100); do
        grep -q '^ready: ' "$work/$name.devsim" && break
        sleep 0.1
    done
    local rc=0
    # shellcheck disable=SC2086
    "$fwtool" update $image --yes --record "$out/$name.jsonl" >"$work/$name.out" 2>&1 || rc=$?
    kill -INT "$pid"
    wait "$pid" || true
    echo "$name: exit $rc, $(grep -c '"request"' "$out/$name.jsonl") requests"
}

record whole-update "" --version 101
record verify-fails "$out/small.prg" --version 101 --fault checksum-off=1000
record vanishes "$out/small.prg" --version 101 --fault vanish=4096
record busy "$out/small.prg" --version 101 --fault busy
