#!/usr/bin/env bash
# The deployed command-line updater, qel-fwtool.exe from the unpacked zip,
# listing and updating emulated devices under wine through the test driver
# (winedriver/) and its loopback relay to qel-devsim, as a script on Windows
# would run it: output redirected, answers given by options. Everything is
# judged by the devices' own logs and the program's output and exit codes.
#
#   scripts/wine-fwtool-checks.sh BUILD_DIR NATIVE_BUILD_DIR
#
# BUILD_DIR is the cross-build (the zip, qel.sys, qel.inf, qeldevctl.exe),
# NATIVE_BUILD_DIR a build for this machine holding qel-devsim and
# qel-tcprelay. One fresh prefix for the whole run, with its own wineserver,
# devices and relays, all stopped when the run ends, however it ends. The
# outputs are kept in BUILD_DIR/wine-fwtool-logs/.
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

for f in "$devsim" "$relay" "$drivers/qel.sys" "$drivers/qel.inf" "$drivers/qeldevctl.exe"; do
    [ -f "$f" ] || { echo "missing: $f"; exit 1; }
done
zip=$(ls "$build"/QelUpdater-*-win64.zip)
logs=$build/wine-fwtool-logs
rm -rf "$logs"
mkdir -p "$logs"
started=$SECONDS

qel_session_begin
prefix=$(mktemp -d /tmp/qel-wine-fwtool-XXXXXX)
dir=$work/run
run_end() {
    local rc=$?
    cp "$dir"/*.out "$dir"/*.err "$dir"/*.log "$dir"/*.pty "$logs/" 2>/dev/null || true
    WINEPREFIX=$prefix "$server" -k 2>/dev/null || true
    WINEPREFIX=$prefix "$server" -w 2>/dev/null || true
    rm -rf "$prefix"
    qel_session_end
    exit "$rc"
}
trap run_end EXIT
trap 'exit 130' INT TERM HUP
mkdir -p "$dir"
unzip -q "$zip" -d "$work/unpacked"
fwtool=$(echo "$work"/unpacked/QelUpdater-*-win64/qel-fwtool.exe)
[ -f "$fwtool" ] || { echo "the zip holds no qel-fwtool.exe"; exit 1; }
unset WINEPATH DISPLAY
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >"$dir/wineboot.log" 2>&1
# Services, and with them the driver, stay up between wine commands only
# under a persistent server, started once the prefix exists and the server
# that made it has gone.
"$server" -k 2>/dev/null || true
"$server" -w 2>/dev/null || true
"$server" -p >/dev/null 2>&1 </dev/null
cp "$drivers/qel.sys" "$drivers/qel.inf" "$drivers/qeldevctl.exe" "$dir/"
echo "wine-fwtool: prefix ready after $(( SECONDS - started )) s"

# What the embedded image installs, as qel-devsim reports it.
installed_text="installed: Qel 1.02, build 31"

fail() {
    echo "FAILED: $*"
    for f in "$dir"/*.out "$dir"/*.err; do
        [ -s "$f" ] && { echo "--- $f ---"; grep -v '^pos = ' "$f" | tail -n 12; }
    done
    exit 1
}

wine_pids=pids
. "$src/scripts/winedev.sh"

# Runs qel-fwtool.exe in $dir: stdout in NAME.out, stderr in NAME.err, the
# exit code in $rc.
fw() {   # name, arguments...
    local name=$1
    shift
    set +e
    (cd "$dir" && "$wine" "$fwtool" "$@" >"$name.out" 2>"$name.err" </dev/null)
    rc=$?
    set -e
}

# The same in the background; its process id in ${name}_pid.
background() {   # name, arguments...
    local name=$1
    shift
    (cd "$dir" && exec "$wine" "$fwtool" "$@" >"$name.out" 2>"$name.err" </dev/null) &
    pids+=($!)
    printf -v "${name}_pid" %s "$!"
}

finished() {   # name: the exit code in $rc
    local pid_var=${1}_pid
    set +e
    wait "${!pid_var}"
    rc=$?
    set -e
}

# On a terminal, wine gives a console program a console of its own that
# draws on it: there the updater asks, and what is written into the FIFO
# NAME.keys is typed at the console. What the console shows goes to NAME.pty.
on_console() {   # name, qel-fwtool arguments (one string, for sh)
    mkfifo "$dir/$1.keys"
    script -qec "cd '$dir' && exec '$wine' '$fwtool' $2" /dev/null \
        <"$dir/$1.keys" >"$dir/$1.pty" 2>&1 &
    pids+=($!)
    printf -v "${1}_pid" %s "$!"
}

expect_rc() {   # name, wanted
    [ "$rc" -eq "$2" ] || fail "$1: exit $rc, wanted $2"
}

expect_in() {   # name, file suffix (out or err), text
    grep -qF -- "$3" "$dir/$1.$2" || fail "$1: no \"$3\" in its std$2"
}

# Every line of stdout one JSON object, and nothing else; CR LF would betray
# a stream in the C runtime's text mode.
expect_json_lines() {   # name
    [ -s "$dir/$1.out" ] || fail "$1: no JSON on stdout"
    ! grep -qv '^{.*}$' "$dir/$1.out" || fail "$1: stdout holds more than JSON Lines"
}

installed_once() {   # device name
    local n
    qel_wait_text "$dir/$1.out" "$installed_text" 30 || fail "$1 does not report the new firmware"
    n=$(grep -c '^installed:' "$dir/$1.out")
    [ "$n" -eq 1 ] || fail "$1 reports $n installations"
}

check_passed() {   # what
    echo "passed: $1 ($(( SECONDS - started )) s)"
}

# ---- an image file whose name the ANSI code page cannot hold ----
# (wine passes the command line in the locale's encoding: UTF-8 here)
cp "$src/res/update.bin" "$dir/fw-λ.bin"
LANG=C.UTF-8 fw image check --json 'fw-λ.bin'
expect_rc image 0
expect_in image out '"path":"fw-λ.bin","product":"Qel","size":268320,"sound":true'
check_passed "check --json of an image named outside the ANSI code page"

# ---- no device ----
fw none-devices devices
expect_rc none-devices 3
expect_in none-devices err "No Qel device is present."
fw none-update update --yes
expect_rc none-update 3
expect_in none-update err "Supported hardware is not connected."
expect_in none-update err "No Qel device is present."
check_passed "no device (exit 3)"

# ---- three devices: listed, two updated at once, one refused ----
start_device dev0 --version 101 --build 30
start_device dev1 --version 101 --build 30
start_device other --product Other --version 101 --build 30
plug 0 dev0
plug 1 dev1
plug 2 other
fw list devices
expect_rc list 0
printf '%s\n' 'ROOT\QEL\0000  Qel  1.01  build 30' 'ROOT\QEL\0001  Qel  1.01  build 30' \
    'ROOT\QEL\0002  Other  1.01  build 30' | cmp -s - "$dir/list.out" ||
    fail "devices lists: $(cat "$dir/list.out")"
fw list-json devices --json
expect_rc list-json 0
expect_json_lines list-json
expect_in list-json out '{"build":30,"busy":false,"name":"ROOT\\QEL\\0001","product":"Qel","version":"1.01","version_number":101}'
check_passed "devices, text and --json"

fw several update --yes
expect_rc several 64
expect_in several err "  ROOT\\QEL\\0002"
fw other update --yes --json --device 'ROOT\QEL\0002'
expect_rc other 2
expect_json_lines other
expect_in other out '{"device":"ROOT\\QEL\\0002","event":"result","exit":2,"message":"Product is not matching","result":"refused"}'
devctl remove 2 || fail "other could not be removed"
grep -q '^installed:' "$dir/other.out" && fail "a device of another product was updated"
check_passed "several devices and no name (exit 64), another product refused (exit 2, --json)"

# ---- on a console: Ctrl+C at the question ends it, nothing written ----
on_console interrupted "update --device 'ROOT\\QEL\\0001'"
exec 3>"$dir/interrupted.keys"
qel_wait_text "$dir/interrupted.pty" "Are you sure? [y/N]" 60 || fail "interrupted: no question"
printf '\003' >&3
finished interrupted
exec 3>&-
expect_rc interrupted 130
grep -q 'OUT request.*\[.\{200\}' "$dir/dev1.requests.log" &&
    fail "interrupted: image bytes reached the device"
check_passed "Ctrl+C at the question (exit 130, nothing written)"

# ---- two updates at once, one redirected and one on a console (its device
# named in another case); while their bytes go out, a second updater of a
# device is turned away and the list shows both as busy ----
background update update --yes --device 'ROOT\QEL\0000' --log trace.log
qel_wait_text "$dir/update.err" "progress: " 60 || fail "update: the transfer did not start"
# The one on a console is told yes, then interrupted twice while its bytes
# go out.
on_console guarded "update --device 'root\\qel\\0001'"
exec 3>"$dir/guarded.keys"
qel_wait_text "$dir/guarded.pty" "Are you sure? [y/N]" 60 || fail "guarded: no question"
printf 'y\r' >&3
# wine's console draws only the cells that change: a space over a blank cell
# becomes a cursor move, so only the word itself is sure to be in the capture.
qel_wait_text "$dir/guarded.pty" "bytes" 60 || fail "guarded: no progress on the console"
printf '\003\003' >&3
fw busy update --yes --device 'ROOT\QEL\0000'
expect_rc busy 75
expect_in busy err "ROOT\\QEL\\0000: The device is being updated by another program."
fw busy-json update --yes --json --device 'ROOT\QEL\0001'
expect_rc busy-json 75
expect_json_lines busy-json
expect_in busy-json out '{"device":"ROOT\\QEL\\0001","event":"result","exit":75,"message":"The device is being updated by another program.","result":"busy"}'
fw busy-list devices
expect_rc busy-list 0
expect_in busy-list out "ROOT\\QEL\\0000  (being updated by another program)"
expect_in busy-list out "ROOT\\QEL\\0001  (being updated by another program)"

finished update
expect_rc update 0
installed_once dev0
printf '%s\n' "Preparing..." "Sending and Updating..." "Checking..." "Completed." "" \
    "Please turn the device's power on again." | cmp -s - "$dir/update.out" ||
    fail "update: stdout is: $(cat "$dir/update.out")"
expect_in update err "progress: 100%"
grep -q $'\r' "$dir/update.err" && fail "update: the progress is redrawn although stderr is no console"
# The device layer's trace went to the log.
grep -qF "FWUP OK" "$dir/trace.log" || fail "update: the trace did not reach the log"

finished guarded
exec 3>&-
expect_rc guarded 0
installed_once dev1
# The console wraps long lines: the warning is looked for in the text
# without its line breaks.
warning="An update is running; stopping now could leave the device unusable. It will finish by itself."
[ "$(tr -d '\r\n' <"$dir/guarded.pty" | grep -oF -- "$warning" | wc -l)" -eq 1 ] ||
    fail "guarded: the warning is not shown exactly once"
grep -qF "progress: " "$dir/guarded.pty" && fail "guarded: progress lines on a console"
grep -qF $'\r[##############################] 100% 268320/268320 bytes' "$dir/guarded.pty" ||
    fail "guarded: the progress line is not redrawn in place"
grep -qF "Completed." "$dir/guarded.pty" || fail "guarded: no completion text"
check_passed "two updates at once, one on a console (Ctrl+C refused), exit 0; a second updater turned away (exit 75, text and --json)"

# ---- --all over the two devices, now both up to date ----
fw all update --all --yes
expect_rc all 2
printf '%s\n' '== ROOT\QEL\0000' '== ROOT\QEL\0001' 'updated 0, refused 2, failed 0' |
    cmp -s - "$dir/all.out" || fail "all: stdout is: $(cat "$dir/all.out")"
[ "$(grep -c ': Cannot downgrade from 1.02 to 1.02$' "$dir/all.err")" -eq 2 ] ||
    fail "all: stderr is: $(cat "$dir/all.err")"
grep -c '^installed:' "$dir/dev0.out" "$dir/dev1.out" | grep -qv ':1$' &&
    fail "--all installed again"
check_passed "--all over two devices, both refused (exit 2)"

echo "wine-fwtool: command-line updater checks passed in $(( SECONDS - started )) s"
