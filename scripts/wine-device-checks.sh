#!/usr/bin/env bash
# The deployed Windows program, from its unpacked zip, updating emulated
# devices under wine through its own device path: SetupAPI finds the test
# driver's devices (winedriver/), the program opens their channels with
# CreateFileW and every request is a DeviceIoControl, which the driver
# carries over a loopback relay (qel-tcprelay) to qel-devsim. Driven by
# keyboard as a user would; screenshots go to BUILD_DIR/wine-device-screens/.
#
#   scripts/wine-device-checks.sh BUILD_DIR NATIVE_BUILD_DIR
#
# BUILD_DIR is the cross-build (the zip, qel.sys, qeldevctl.exe,
# qelclipboard.exe), NATIVE_BUILD_DIR a build for this machine holding
# qel-devsim and qel-tcprelay. Each check has a prefix of its own (a copy of
# one made afresh for this run and never used: wineboot costs 6 to 15 s a
# prefix, a copy a fraction of a second), with its own wineserver, devices
# and relays, all stopped when the check ends, however it ends. What a check learns comes from the devices'
# own logs and output and from the program's output and message boxes (read
# with Ctrl+C, which puts a box's text on the clipboard).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
devsim=$native/emulator/qel-devsim
relay=$native/winedriver/qel-tcprelay
drivers=$build/winedriver
. "$src/scripts/xdrive.sh"

for f in "$devsim" "$relay" "$drivers/qel.sys" "$drivers/qel.inf" "$drivers/qeldevctl.exe" \
         "$drivers/qelclipboard.exe"; do
    [ -f "$f" ] || { echo "missing: $f"; exit 1; }
done
zip=$(ls "$build"/QelUpdater-*-win64.zip)
shots=$build/wine-device-screens
rm -rf "$shots"
mkdir -p "$shots"

qel_session_begin
template=$work/prefix
check_pid=
# A check runs in the background so that a signal to this script reaches it
# at once (a foreground one would first run to its end); stopped, the check
# stops what it started.
stop_check() {
    [ -n "$check_pid" ] || return 0
    kill -TERM "$check_pid" 2>/dev/null || true
    wait "$check_pid" 2>/dev/null || true
    check_pid=
}
run_end() {
    stop_check
    WINEPREFIX=$template "$server" -k 2>/dev/null || true
    qel_session_end
}
trap run_end EXIT
trap 'exit 130' INT TERM HUP
qel_start_xvfb || { echo "Xvfb did not start"; exit 1; }
unzip -q "$zip" -d "$work/unpacked"
app_dir=$(echo "$work"/unpacked/QelUpdater-*-win64)
unset WINEPATH QT_PLUGIN_PATH QT_QPA_PLATFORM QT_QPA_PLATFORM_PLUGIN_PATH
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# The prefix every check starts from, its server stopped before it is copied.
mkdir -p "$template"
WINEPREFIX=$template "$wine" wineboot --init >"$work/wineboot.log" 2>&1
# As in wine-checks.sh: DejaVu Sans for the dialog font, whose wine stand-in
# cuts the label after its first line.
WINEPREFIX=$template "$wine" reg add \
    'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    /v 'MS Shell Dlg 2' /d 'DejaVu Sans' /f >/dev/null 2>&1
WINEPREFIX=$template "$server" -k 2>/dev/null || true
WINEPREFIX=$template "$server" -w 2>/dev/null || true
# What the embedded image installs, as qel-devsim reports it.
installed_text="installed: Qel 1.02, build 31"

# ---- inside one check (a subshell): $dir, $prefix, its processes ----

fail() {
    echo "FAILED: $check: $*"
    import -window root "$shots/$check-failure.png" 2>/dev/null || true
    for log in "$dir"/*.out "$dir"/updater.log; do
        [ -f "$log" ] && { echo "--- $log ---"; grep -v '^pos = ' "$log" | tail -n 15; }
    done
    exit 1
}

check_end() {
    # What the devices and the program said is kept beside the screenshots.
    mkdir -p "$shots/$check-logs"
    cp "$dir"/*.out "$dir"/updater.log "$shots/$check-logs/" 2>/dev/null || true
    if [ -n "$prefix" ]; then
        WINEPREFIX=$prefix "$server" -k 2>/dev/null || true
        WINEPREFIX=$prefix "$server" -w 2>/dev/null || true
    fi
    for p in "${check_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    { wait; } 2>/dev/null || true
    [ -z "$prefix" ] || rm -rf "$prefix"
}

check_begin() {   # name
    check=$1
    dir=$work/$check
    mkdir -p "$dir"
    check_pids=()
    prefix=
    trap check_end EXIT
    prefix=$(mktemp -d /tmp/qel-wine-dev-XXXXXX)
    export WINEPREFIX=$prefix
    cp -a "$template/." "$prefix/"
    # Services, and with them the driver, stay up between wine commands only
    # under a persistent server, started once the prefix exists (before
    # that, the driver's service cannot be opened).
    "$server" -p >/dev/null 2>&1 </dev/null
    cp "$drivers/qel.sys" "$drivers/qel.inf" "$drivers/qeldevctl.exe" \
        "$drivers/qelclipboard.exe" "$dir/"
}

wine_pids=check_pids
. "$src/scripts/winedev.sh"

shot() {   # window id, name
    import -window "$1" "$shots/$check-$2.png" 2>/dev/null || true
}

focus() {   # window id
    xdotool windowfocus "$1" 2>/dev/null || true
    qel_wait_focus "$1" 10
}

start_window() {
    (cd "$app_dir" && exec "$wine" "$app_dir/QelUpdater.exe" >"$dir/updater.log" 2>&1) &
    updater_pid=$!
    check_pids+=("$updater_pid")
    # Ended by its prefix's server at the end; bash need not report it.
    disown "$updater_pid"
    main=$(qel_wait_window QelUpdater 60) || fail "no window titled QelUpdater"
}

# The button is the window's only control that takes the focus; once it has
# been disabled during an update Qt leaves the focus nowhere, so Tab first.
press_update() {
    focus "$main" || fail "the window does not take the keyboard"
    xdotool key Tab space
}

confirm_update() {
    local box
    box=$(qel_wait_window "Firmware Update" 30) || fail "no confirmation box"
    focus "$box" || fail "the confirmation box does not take the keyboard"
    shot "$box" confirm
    # Cancel has the focus: one step back reaches OK.
    xdotool key shift+Tab space
}

# Presses the button until a box with this title comes up: a busy window's
# button is disabled and takes no press. Leaves the box's id in $box.
press_until_box() {   # title, seconds
    local end=$(( SECONDS + $2 ))
    while [ "$SECONDS" -lt "$end" ]; do
        press_update
        box=$(qel_wait_window "$1" 2) && return 0
    done
    fail "no \"$1\" box after pressing Firmware Update for $2 s"
}

# Reads the box in $box through the clipboard, closes it with Enter and
# checks that its text holds the expected words.
read_box() {   # screenshot name, expected text
    local text=
    focus "$box" || fail "the box does not take the keyboard"
    shot "$box" "$1"
    for _ in $(seq 50); do
        xdotool key ctrl+c
        text=$(cd "$dir" && "$wine" qelclipboard.exe 2>/dev/null | tr -d '\r') || text=
        grep -qF -- "$2" <<<"$text" && break
        sleep 0.2
    done
    grep -qF -- "$2" <<<"$text" || fail "the box says \"$text\", not \"$2\""
    xdotool key Return
    for _ in $(seq 100); do
        xdotool search --onlyvisible --name . 2>/dev/null | grep -qx "$box" || break
        sleep 0.1
    done
    echo "$check: box \"$(tr '\n' ' ' <<<"$text" | sed 's/-\{3,\}//g; s/  */ /g')\""
}

alive() {
    kill -0 "$updater_pid" 2>/dev/null || fail "the updater ended (see $dir/updater.log)"
}

# A whole update, confirmed in the window, up to the end of the transfer.
update_through_window() {   # seconds for the transfer
    press_update
    confirm_update
    qel_wait_text "$dir/updater.log" "FWUP OK" "$1" || fail "the transfer did not complete"
}

installed_once() {   # device name
    local n
    qel_wait_text "$dir/$1.out" "$installed_text" 30 || fail "$1 does not report the new firmware"
    n=$(grep -c '^installed:' "$dir/$1.out")
    [ "$n" -eq 1 ] || fail "$1 reports $n installations"
}

# Whether the progress bar in the screenshot is full: its filled part (the
# longest run of the bar's blue in any row) reaches the frame on the right
# as it does on the left, where a bar short of its end shows its white
# groove instead.
bar_full() {   # png
    convert "$1" -depth 8 txt:- 2>/dev/null | awk -F'[,:() ]+' '
        NR > 1 {
            x = $1; y = $2; p[x "," y] = $3 "," $4 "," $5
            if ($5 > 180 && $3 < 120) {
                n[y]++
                if (!(y in lo) || x < lo[y]) lo[y] = x
                if (x > hi[y]) hi[y] = x
            }
        }
        END {
            best = -1
            for (y in n) if (best < 0 || n[y] > n[best]) best = y
            if (best < 0 || n[best] < 50) exit 1
            exit !(p[(lo[best] - 1) "," best] == p[(hi[best] + 1) "," best])
        }'
}

# After the update the window is idle: its button answers again, now with
# the refusal to install the same firmware; then the window is shown as it
# was left, with the completion text and the full bar.
idle_after_update() {
    press_until_box Error 60
    read_box refused-after "Cannot downgrade from 1.02 to 1.02"
    shot "$main" done
    bar_full "$shots/$check-done.png" || fail "the progress bar is not full (see $check-done.png)"
}

# Whether another program could open the device's update lock, a file in
# the user's local application data that the window holds open without
# sharing from its first question to the device until the update has ended.
lock_opens() {   # instance, as in the interface path
    (cd "$dir" && "$wine" cmd /c type "%LOCALAPPDATA%\\QelUpdater\\$1.lock") >/dev/null 2>&1
}

# The window's records in the user's local application data: the history's
# attempts, and the update's trace with the device's requests and the
# console's lines, which a Windows window has nowhere else.
records_kept() {
    local folder history trace
    folder=$(find "$prefix/drive_c/users" -type d -name QelUpdater -path '*/Local/*' 2>/dev/null | head -n 1)
    [ -n "$folder" ] || { fail "no QelUpdater folder in the local application data"; return; }
    history=$folder/history.jsonl
    [ -f "$history" ] || { fail "no history in $folder"; return; }
    grep -F '"result":"updated"' "$history" | grep -qF '"program":"QelUpdater","device":"ROOT\\QEL\\0000"' ||
        fail "history: no update of ROOT\\QEL\\0000: $(cat "$history")"
    grep -qF '"result":"refused"' "$history" || fail "history: the refusal after the update is missing"
    trace=$(grep -F '"result":"updated"' "$history" | sed -n 's/.*"trace":"\([^"]*\)".*/\1/p')
    [ -n "$trace" ] && [ -f "$folder/traces/$trace" ] || { fail "no trace \"$trace\" of the update"; return; }
    grep -qF '"platform":"windows"' "$folder/traces/$trace" || fail "the trace does not say Windows"
    grep -qF '"diag":"FWUP OK"' "$folder/traces/$trace" || fail "the trace lacks the console's lines"
    [ "$(grep -c '"request":29' "$folder/traces/$trace")" -gt 4000 ] ||
        fail "the trace lacks the transfer's requests"
}

# ---- the checks ----

check_whole_update() {
    start_device dev0 --version 101 --build 30
    plug 0 dev0
    start_window
    shot "$main" window
    lock_opens 'root#qel#0000' && fail "an update lock exists before any update"
    press_update
    confirm_update
    qel_wait_text "$dir/updater.log" "pos = " 60 || fail "the transfer did not start"
    lock_opens 'root#qel#0000' && fail "the update lock is not held during the transfer"
    qel_wait_text "$dir/updater.log" "FWUP OK" 300 || fail "the transfer did not complete"
    installed_once dev0
    idle_after_update
    lock_opens 'root#qel#0000' || fail "the update lock is still held after the update"
    records_kept
}

check_failed_writes() {
    start_device dev0 --version 101 --build 30 --fault fail-writes=3
    plug 0 dev0
    start_window
    update_through_window 300
    installed_once dev0
    local stalled
    stalled=$(grep -c ' -> error 5,' "$dir/dev0.requests.log" || true)
    [ "$stalled" -eq 3 ] || fail "$stalled writes stalled, not 3"
    idle_after_update
}

check_unplugged_mid_transfer() {
    start_device dev0 --version 101 --build 30 --fault vanish=20000
    plug 0 dev0
    start_window
    press_update
    confirm_update
    # The emulated device has gone; its unplug takes the device away from
    # Windows too.
    qel_wait_text "$dir/dev0.out" "gone:" 120 || fail "the device did not go away"
    devctl remove 0 || fail "the device could not be removed"
    alive
    press_until_box Error 60
    read_box after-unplug "Supported hardware is not connected."
    alive
    grep -q '^installed:' "$dir/dev0.out" && fail "a device that went away reports an installation"
    shot "$main" failed
}

check_refusals() {
    start_device same --version 102 --build 31
    start_device other --product Other --version 101 --build 30
    plug 0 same
    start_window
    press_until_box Error 30
    read_box same-version "Cannot downgrade from 1.02 to 1.02"
    devctl remove 0 || fail "the first device could not be removed"
    plug 1 other
    press_until_box Error 30
    read_box other-product "Product is not matching"
    devctl remove 1 || fail "the second device could not be removed"
    press_until_box Error 30
    read_box no-device "Supported hardware is not connected."
    alive
    grep -q '^installed:' "$dir/same.out" "$dir/other.out" && fail "a refused device was updated"
    return 0
}

# The window's device rule takes the last qel interface in SetupAPI's
# enumeration order, as the device layer does on every system.
check_two_devices() {
    start_device dev0 --version 101 --build 30
    start_device dev1 --version 101 --build 30
    # Added in the opposite order to their enumeration, so that the one
    # enumerated last is not the one added last.
    plug 1 dev1
    plug 0 dev0
    local listed
    listed=$(cd "$dir" && "$wine" qeldevctl.exe list 2>/dev/null | tr -d '\r')
    echo "$listed" >>"$dir/devctl.out"
    [ "$(wc -l <<<"$listed")" -eq 2 ] || fail "SetupAPI lists: $listed"
    grep -q '^ROOT\\QEL\\0001 ' <<<"$(tail -n 1 <<<"$listed")" ||
        fail "SetupAPI does not list ROOT\\QEL\\0001 last: $listed"
    start_window
    update_through_window 300
    installed_once dev1
    [ -s "$dir/dev0.requests.log" ] && fail "the other device was spoken to"
    grep -q '^installed:' "$dir/dev0.out" && fail "the other device was updated"
    idle_after_update
}

# ---- the run ----

failed=0
run_check() {   # name, function
    local started=$SECONDS rc
    # QEL_WINE_DEVICE_CHECKS: only the checks named there (while working on one).
    case " ${QEL_WINE_DEVICE_CHECKS:-$1} " in *" $1 "*) ;; *) return 0 ;; esac
    (
        trap 'exit 130' INT TERM HUP
        set -e
        check_begin "$1"
        "$2"
    ) &
    check_pid=$!
    set +e
    wait "$check_pid"
    rc=$?
    set -e
    check_pid=
    if [ "$rc" -eq 0 ]; then
        echo "passed: $1 ($(( SECONDS - started )) s)"
    else
        echo "failed: $1 ($(( SECONDS - started )) s)"
        failed=1
    fi
}

started=$SECONDS
run_check whole-update check_whole_update
run_check failed-writes check_failed_writes
run_check unplugged check_unplugged_mid_transfer
run_check refusals check_refusals
run_check two-devices check_two_devices
echo "device checks under wine took $(( SECONDS - started )) s; screenshots in $shots"
[ "$failed" -eq 0 ] || { echo "device checks under wine FAILED"; exit 1; }
echo "device checks under wine passed"
