#!/bin/bash
# The launcher with the real bridge (serving no device) and a stand-in window
# that reports what it sees of the bridge while it runs.
#
#   launcher_test.sh <qel-updater launcher> <qel-usb-bridge>
#
# Whether a bridge serves the session is read from the bridge's own lock, as
# the kernel lists it: trying the lock would hold it for a moment, and a
# bridge starting in that moment would take the session as served and leave.
set -u
launcher=$1 bridge=$2

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/qel-updater"
lock=$XDG_RUNTIME_DIR/qel-devices/.qel-usb-bridge.lock
export QEL_USB_BRIDGE=$bridge QEL_UPDATER_WINDOW=$work/window LOCK=$lock MARKS=$work/marks
own_bridge=
cleanup() {
    [ -n "$own_bridge" ] && kill "$own_bridge" 2>/dev/null && wait "$own_bridge"
    rm -rf "$work"
}
trap cleanup EXIT

failed=0
fail() { echo "FAILED: $*"; failed=1; }
expect() {   # what, wanted, got
    [ "$2" = "$3" ] || fail "$1: \"$3\", wanted \"$2\""
}
held() { [ -e "$1" ] && grep -q "FLOCK .*:$(stat -c %i "$1") " /proc/locks; }
bridge_serves() { held "$lock"; }
# Waits for a condition, with a generous deadline only to end a broken run.
wait_for() {
    local deadline=$((SECONDS + 20))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}
has_mark() { grep -qx "$1" "$MARKS" 2>/dev/null; }
# The bridge stops by itself once the window has ended (its standard input
# closes), a moment later.
bridge_stopped() { wait_for eval '! bridge_serves'; }

# The stand-in window: notes whether a bridge serves the session, and on
# SIGTERM whether it still does, then exits with the status asked for.
cat > "$work/window" <<'WINDOW'
#!/bin/bash
serves() { [ -e "$LOCK" ] && grep -q "FLOCK .*:$(stat -c %i "$LOCK") " /proc/locks; }
deadline=$((SECONDS + 20))
if [ -n "${WINDOW_AWAITS_TEXT:-}" ]; then
    until grep -q "$WINDOW_AWAITS_TEXT" "$WINDOW_AWAITS_IN" || [ $SECONDS -ge $deadline ]; do sleep 0.05; done
else
    until serves || [ $SECONDS -ge $deadline ]; do sleep 0.05; done
fi
if serves; then echo serving >> "$MARKS"; else echo "no bridge" >> "$MARKS"; fi
echo "args $*" >> "$MARKS"
if [ "${WINDOW_WAITS:-}" = yes ]; then
    trap 'if serves; then echo "serving at TERM" >> "$MARKS"; fi; exit 9' TERM
    # Signals of the terminal are the window's to handle: this one notes them
    # and goes on (as the real one does while an update runs).
    for sig in INT HUP QUIT; do
        trap "echo 'got $sig' >> \"\$MARKS\"" $sig
    done
    echo waiting >> "$MARKS"
    while :; do sleep 1 & wait $!; done
fi
exit "${WINDOW_STATUS:-0}"
WINDOW
chmod +x "$work/window"

# 1. The bridge is started for the window and stopped after it; the window's
#    arguments and exit status pass through.
echo "--port 9-9   # no such port: the bridge waits for a device" > "$XDG_CONFIG_HOME/qel-updater/bridge-options"
WINDOW_STATUS=5 "$launcher" -x one
expect "exit status" 5 $?
expect "seen by the window" "serving" "$(head -1 "$MARKS")"
expect "arguments" "args -x one" "$(sed -n 2p "$MARKS")"
bridge_stopped || fail "the bridge still serves after the window ended"

# 2. A bridge already serving the session is left running.
rm -f "$MARKS"
"$bridge" --port 9-9 > "$work/own-bridge.log" 2>&1 &
own_bridge=$!
wait_for bridge_serves || fail "the bridge started by hand did not take the lock: $(cat "$work/own-bridge.log")"
WINDOW_AWAITS_TEXT="another qel-usb-bridge already serves" WINDOW_AWAITS_IN=$work/err \
    "$launcher" 2> "$work/err"
expect "exit status with a bridge running" 0 $?
expect "seen by the window" "serving" "$(head -1 "$MARKS")"
grep -q "another qel-usb-bridge already serves" "$work/err" || fail "no word of the running bridge: $(cat "$work/err")"
kill -0 "$own_bridge" 2>/dev/null || fail "the bridge started by hand was stopped"
bridge_serves || fail "the bridge started by hand no longer serves"
kill "$own_bridge"; wait "$own_bridge"; own_bridge=

# 3. A signal to the launcher goes to the window; the bridge outlives it.
rm -f "$MARKS"
WINDOW_WAITS=yes "$launcher" &
launcher_pid=$!
wait_for has_mark waiting || fail "the window did not start"
kill -TERM "$launcher_pid"
wait "$launcher_pid"
expect "exit status after SIGTERM" 9 $?
has_mark "serving at TERM" || fail "the bridge was gone before the window ended: $(cat "$MARKS")"
bridge_stopped || fail "the bridge still serves after the window ended"

# 3b. The terminal's signals (Ctrl+C, Ctrl+\, a hangup) reach the launcher's
#     whole process group, as they would in a terminal: the window gets them,
#     the bridge in its own session never does and goes on serving.
set -m   # each launcher in a process group of its own, as a shell's foreground job
for sig in INT QUIT HUP; do
    rm -f "$MARKS"
    WINDOW_WAITS=yes "$launcher" &
    launcher_pid=$!
    wait_for has_mark waiting || fail "$sig: the window did not start"
    bridge_pid=$(pgrep -n -f "^$bridge --stop-with-stdin")
    kill -"$sig" -- -"$launcher_pid"
    wait_for has_mark "got $sig" || fail "$sig: the window did not get the signal: $(cat "$MARKS")"
    sleep 0.3   # time for a bridge reached by it to stop
    kill -0 "$bridge_pid" 2>/dev/null || fail "$sig: the bridge ended"
    bridge_serves || fail "$sig: the bridge no longer serves while the window runs"
    kill -TERM "$launcher_pid"
    wait "$launcher_pid"
    expect "$sig: exit status after the window's end" 9 $?
    bridge_stopped || fail "$sig: the bridge still serves after the window ended"
done
set +m

# 3c. The window killed outright: the bridge sees its standard input end and
#     stops by itself; no process id is signalled by anybody.
rm -f "$MARKS"
WINDOW_WAITS=yes "$launcher" &
launcher_pid=$!
wait_for has_mark waiting || fail "the window did not start"
bridge_serves || fail "no bridge while the window runs"
kill -KILL "$launcher_pid"
wait "$launcher_pid" 2>/dev/null
bridge_stopped || fail "the bridge still serves after the window was killed"

# 4. Nothing selected: the bridge says so and ends, the window still runs
#    (and waits for the bridge's word, which a stop could otherwise cut off).
rm -f "$MARKS" "$XDG_CONFIG_HOME/qel-updater/bridge-options"
WINDOW_AWAITS_TEXT="no device selected" WINDOW_AWAITS_IN=$work/err "$launcher" 2> "$work/err"
expect "exit status with no selection" 0 $?
has_mark "args " || fail "the window did not run: $(cat "$work/err")"
grep -q "no device selected" "$work/err" || fail "no word of the missing selection: $(cat "$work/err")"

# 5. No window program: a clear message, nothing started.
QEL_UPDATER_WINDOW=$work/missing "$launcher" 2> "$work/err"
expect "exit status without the window" 127 $?
grep -q "reinstall qel-updater" "$work/err" || fail "unclear message: $(cat "$work/err")"

exit $failed
