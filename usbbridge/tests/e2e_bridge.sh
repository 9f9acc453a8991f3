#!/bin/bash
# End to end, once, in real time: the real updater window on an X display
# updates an emulated Qel USB device through the real bridge and the real
# libusb under umockdev, driven the way a person drives it.
#
#   e2e_bridge.sh <QelUpdater> <qel-usb-bridge> <usbmockhost> <qel-mkimage> <source dir>
set -euo pipefail
updater=$1 bridge=$2 mockhost=$3 mkimage=$4 src=$5

. "$src/scripts/xdrive.sh"
qel_require_x_tools

qel_session_begin
fail() {
    echo "FAILED: $*"
    echo "--- bridge ---"; cat "$work/bridge.log" || true
    echo "--- updater ---"; grep -v '^pos = ' "$work/updater.log" | tail -n 30 || true
    exit 1
}

"$mkimage" --out "$work/old.bin" --version 101 --build 30 --date 2016-11-02 \
    --size 4132 --checksum 300000 >/dev/null
coproc MOCK { exec "$mockhost" "$work/old.bin"; }
pids+=($MOCK_PID)
read -r -t 20 -u "${MOCK[0]}" line || fail "the USB device stand-in did not start"
umockdev_dir=${line#umockdev-dir: }

asan=verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}
ASAN_OPTIONS=$asan LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=$umockdev_dir \
    "$bridge" --id 1209:0001 >"$work/bridge.log" 2>&1 &
pids+=($!)
qel_wait_text "$work/bridge.log" "ready:" 20 || fail "the bridge did not serve the device"

qel_update_through_window "$updater" 300 || fail "$qel_why"

echo state >&"${MOCK[1]}"
read -r -t 20 -u "${MOCK[0]}" state || fail "no answer from the USB device stand-in"
[ "$state" = "installed: Qel 102 build 31 (updated)" ] || fail "the device reports $state"
echo "updated through the bridge: $state"
