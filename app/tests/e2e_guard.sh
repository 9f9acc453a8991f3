#!/bin/bash
# End to end, in real time: the real updater executable on an X display and
# what goes on around it. Asked to end by a signal while idle, it ends as
# closing the window would (status 0). While it updates the emulated device,
# every signal is refused with one line on stderr, a reader of its stdout
# that has gone does not stop it either, a second updater of the same device
# is turned away at once, the device gets the image exactly once, and the
# window closes by itself once the update has ended.
#
#   e2e_guard.sh <QelUpdater> <qel-devsim> <qel-mkimage> <qel-fwtool> <source dir>
set -euo pipefail
updater=$1 devsim=$2 mkimage=$3 fwtool=$4 src=$5
signals="INT TERM HUP QUIT"
refusal="An update is running; it will finish by itself."

. "$src/scripts/xdrive.sh"
qel_require_x_tools

qel_session_begin
fail() {
    echo "FAILED: $*"
    echo "--- device ---"; cat "$work/devsim.log" 2>/dev/null || true
    echo "--- updater's stderr ---"; tail -n 30 "$work/updater.err" 2>/dev/null || true
    exit 1
}
# Waits until the process has ended; its status is then collected by wait.
wait_gone() {   # pid, seconds
    local tries=$(( $2 * 10 ))
    for _ in $(seq "$tries"); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}
count() { grep -cF -- "$2" "$1" 2>/dev/null || true; }

qel_start_xvfb || fail "Xvfb did not start"

for sig in $signals; do
    QT_QPA_PLATFORM=xcb "$updater" >/dev/null 2>"$work/updater.err" &
    pid=$!
    pids+=("$pid")
    qel_wait_window QelUpdater 20 >/dev/null || fail "SIG$sig while idle: no window"
    kill -s "$sig" "$pid"
    wait_gone "$pid" 20 || fail "SIG$sig while idle: the program did not end"
    status=0
    wait "$pid" || status=$?
    [ "$status" = 0 ] || fail "SIG$sig while idle: exit status $status, wanted 0"
    [ ! -s "$work/updater.err" ] || fail "SIG$sig while idle: something on stderr"
done
echo "idle: $signals each ended the program with status 0"

"$mkimage" --out "$work/old.bin" --version 101 --build 30 --date 2016-11-02 \
    --size 4132 --checksum 300000 >/dev/null
# Each request a millisecond slower: the transfer then lasts well over ten
# seconds, ample for the signals and the second updater to find it running.
qel_start_devsim "$devsim" --installed "$work/old.bin" --instance signals --latency-us 1000 \
    --log "$work/requests.log" || fail "the device program did not start"

# The first line of the trace is all its reader takes; then it goes.
mkfifo "$work/stdout"
head -n 1 <"$work/stdout" >/dev/null &
pids+=($!)
QT_QPA_PLATFORM=xcb "$updater" >"$work/stdout" 2>"$work/updater.err" &
pid=$!
pids+=("$pid")
window=$(qel_wait_window QelUpdater 20) || fail "no updater window"
qel_press_update "$window"
box=$(qel_wait_window "Firmware Update" 20) || fail "no confirmation box"
qel_confirm_ok "$box" || fail "the confirmation box did not get the keyboard"
# Well into the transfer: the checks before it take a handful of requests.
for _ in $(seq 600); do
    [ "$(wc -l <"$work/requests.log")" -gt 300 ] && break
    sleep 0.1
done
[ "$(wc -l <"$work/requests.log")" -gt 300 ] || fail "the transfer did not start"

n=0
for sig in $signals; do
    kill -s "$sig" "$pid" || fail "SIG$sig: the updater is gone mid-update"
    n=$((n + 1))
    for _ in $(seq 100); do
        [ "$(count "$work/updater.err" "$refusal")" -ge "$n" ] && break
        sleep 0.1
    done
    [ "$(count "$work/updater.err" "$refusal")" = "$n" ] ||
        fail "SIG$sig mid-update: wanted refusal number $n on stderr"
done
kill -0 "$pid" 2>/dev/null || fail "the updater ended before the update had"

status=0
"$fwtool" update --yes >"$work/second.out" 2>"$work/second.err" || status=$?
[ "$status" = 75 ] || fail "a second updater mid-update: exit $status, wanted 75"
grep -qF "The device is being updated by another program." "$work/second.err" ||
    fail "a second updater mid-update was not told why"
kill -0 "$pid" 2>/dev/null || fail "the updater ended before the update had"

qel_wait_text "$work/devsim.log" "installed:" 120 || fail "the device was not updated"
wait_gone "$pid" 60 || fail "the window did not close itself after the update"
status=0
wait "$pid" || status=$?
[ "$status" = 0 ] || fail "exit status $status after the update, wanted 0"
[ "$(count "$work/devsim.log" "installed:")" = 1 ] || fail "the image was not installed exactly once"
[ "$(count "$work/requests.log" "closed before a whole request")" = 0 ] ||
    fail "a request was cut short"
grep -q '^installed: Qel 1.02, build 31' "$work/devsim.log" || fail "wrong firmware installed"
echo "mid-update: $signals each refused once; a second updater turned away (75);"
echo "  $(grep '^installed:' "$work/devsim.log"); the window closed itself"
