#!/bin/bash
# End to end, in real time: the real updater executable on an X display, the
# emulated device program behind the real channel, and the window driven the
# way a person drives it. A device with older firmware must end up with the
# embedded image installed, and the window must be ready for the next click.
#
#   e2e_update.sh <QelUpdater> <qel-devsim> <qel-mkimage> <source dir>
set -euo pipefail
updater=$1 devsim=$2 mkimage=$3 src=$4

for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
done
. "$src/scripts/xdrive.sh"

qel_session_begin
fail() {
    echo "FAILED: $*"
    echo "--- device ---"; cat "$work/devsim.log" || true
    echo "--- updater ---"; grep -v '^pos = ' "$work/updater.log" | tail -n 30 || true
    exit 1
}

"$mkimage" --out "$work/old.bin" --version 101 --build 30 --date 2016-11-02 \
    --size 4132 --checksum 300000 >/dev/null
qel_start_devsim "$devsim" --installed "$work/old.bin" --instance e2e --busy-us 2000 ||
    fail "the device program did not start"
qel_start_xvfb || fail "Xvfb did not start"
export QT_QPA_PLATFORM=xcb

"$updater" >"$work/updater.log" 2>&1 &
pids+=($!)
window=$(qel_wait_window QelUpdater 20) || fail "no updater window"
qel_press_update "$window"
box=$(qel_wait_window "Firmware Update" 20) || fail "no confirmation box"
qel_confirm_ok "$box" || fail "the confirmation box did not get the keyboard"
qel_wait_text "$work/updater.log" "FWUP OK" 120 || fail "the transfer did not complete"
qel_wait_text "$work/devsim.log" "installed: Qel 1.02, build 31" 10 ||
    fail "the device does not report the new firmware"

# Once the worker has verified the checksum the window is idle again: a click
# then reads the new firmware and refuses to install the same version twice.
# Until then the button is disabled and a click does nothing.
qel_press_update_until "$window" "Error" 30 >/dev/null || fail "the window did not return to idle"
echo "updated: $(grep '^installed:' "$work/devsim.log")"
