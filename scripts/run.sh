#!/bin/bash
# Sets up a fresh Debian 12 machine, builds the updater and runs its main job.
# Without a real device it starts the emulated Qel device (older firmware,
# version 1.01 build 30) and the updater against it. With a display you click
# through the update yourself; without one the update is driven under Xvfb and
# screenshots are saved (printed at the end).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
qel_install_packages

build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target QelUpdater qel-fwtool qel-devsim qel-mkimage

out="$root/screenshots"
mkdir -p "$out"
. "$root/scripts/xdrive.sh"
qel_session_begin
"$build/tools/mkimage/qel-mkimage" --out "$work/installed.bin" --product Qel \
    --version 101 --build 30 --date 2016-11-02 --size 262180 --checksum 0x013A0F12 >/dev/null
qel_start_devsim "$build/emulator/qel-devsim" --installed "$work/installed.bin" --instance demo \
    --busy-us 3000 --latency-us 150 || { cat "$work/devsim.log"; exit 1; }
grep '^ready:' "$work/devsim.log"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "Starting the updater on $DISPLAY against the emulated device."
    "$build/app/QelUpdater"
    exit 0
fi

qel_start_xvfb || { echo "Xvfb did not start"; exit 1; }
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
echo "running the updater on the virtual display $DISPLAY"

"$build/app/QelUpdater" >"$work/updater.log" 2>&1 &
updater=$!
pids+=($updater)
# Without a window manager every window sits at the top left corner.
shot() { import -window root -crop 360x260+0+0 +repage "$out/$1.png"; echo "saved $out/$1.png"; }
for _ in $(seq 100); do xdotool search --name QelUpdater >/dev/null 2>&1 && break; sleep 0.1; done
sleep 1
shot 1-idle

if [ -x "$root/scripts/drive-update.sh" ]; then
    . "$root/scripts/drive-update.sh"
fi

kill "$updater" 2>/dev/null || true
echo "--- updater console trace (last lines) ---"
tail -n 40 "$work/updater.log"
echo "screenshots are in $out"
