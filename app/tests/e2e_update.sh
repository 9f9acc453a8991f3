#!/bin/bash
# End to end, in real time: the real updater executable on an X display, the
# emulated device program behind the real channel, and the window driven the
# way a person drives it. A device with older firmware must end up with the
# embedded image installed, and the window must be ready for the next click.
#
#   e2e_update.sh <QelUpdater> <qel-devsim> <qel-mkimage> <source dir>
set -euo pipefail
updater=$1 devsim=$2 mkimage=$3 src=$4

. "$src/scripts/xdrive.sh"
qel_require_x_tools

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
qel_update_through_window "$updater" 120 || fail "$qel_why"
qel_wait_text "$work/devsim.log" "installed: Qel 1.02, build 31" 10 ||
    fail "the device does not report the new firmware"
echo "updated: $(grep '^installed:' "$work/devsim.log")"
