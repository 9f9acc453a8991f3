# Drives the updater's window on an X display the way a person would, with
# xdotool: there is no window manager, so every window sits at the top left
# and gets the keyboard only once it has been clicked. Sourced by scripts/run.sh
# and by the end-to-end test.

# A scratch directory ($work) with a registry of its own, so that the emulated
# device cannot be confused with anything else on the machine; everything
# started into $pids is stopped and the directory removed on exit.
qel_session_begin() {
    work=$(mktemp -d)
    pids=()
    trap qel_session_end EXIT
    export XDG_RUNTIME_DIR="$work/run"
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
}

qel_session_end() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}

# Starts the emulated device program with the given options, its output in
# $work/devsim.log, and waits until it takes requests.
qel_start_devsim() {   # program, options...
    local program=$1
    shift
    "$program" "$@" >"$work/devsim.log" 2>&1 &
    pids+=($!)
    qel_wait_text "$work/devsim.log" "ready:" 10
}

# Starts Xvfb on a display it picks itself and exports DISPLAY.
qel_start_xvfb() {
    Xvfb -displayfd 3 -screen 0 640x480x24 -noreset -nolisten tcp 3>"$work/display" \
        >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || return 1
    export DISPLAY=":$(head -n 1 "$work/display")"
}

# Waits until a window with exactly this title is on the screen and prints
# its id. A window that exists but is not mapped yet would let a click fall
# through to the root window.
qel_wait_window() {   # title, seconds
    local title=$1 tries=$(( ${2:-10} * 10 )) id w
    for _ in $(seq "$tries"); do
        # Qt makes helper windows with the same title; the real one is large.
        for id in $(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null); do
            w=$(xdotool getwindowgeometry "$id" 2>/dev/null | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
            if [ -n "$w" ] && [ "$w" -ge 100 ]; then
                echo "$id"
                return 0
            fi
        done
        sleep 0.1
    done
    return 1
}

# Presses the window's "Firmware Update" button.
qel_press_update() {   # window id
    xdotool mousemove --window "$1" 158 178 click 1
}

# Presses the button until a window with this title comes up and prints its
# id. A busy window ignores the press (its button is disabled), so this waits
# for the window to take the press rather than guessing when it will.
qel_press_update_until() {   # window id, title, seconds
    local end=$(( SECONDS + ${3:-20} ))
    while [ "$SECONDS" -lt "$end" ]; do
        qel_press_update "$1"
        qel_wait_window "$2" 2 && return 0
    done
    return 1
}

# Waits until the window has the keyboard focus.
qel_wait_focus() {   # window id, seconds
    local tries=$(( ${2:-10} * 10 ))
    for _ in $(seq "$tries"); do
        [ "$(xdotool getwindowfocus -f 2>/dev/null)" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

# Answers the confirmation box with OK: Cancel has the focus, so one step back
# along the focus chain reaches OK. Keys go to the window with the focus, so
# they are sent only once the box has it; after that they arrive in order.
qel_confirm_ok() {   # box id
    xdotool mousemove --window "$1" 40 40 click 1
    qel_wait_focus "$1" 10 || return 1
    xdotool key shift+Tab space
}

# Waits until the text appears in the file.
qel_wait_text() {   # file, text, seconds
    local tries=$(( ${3:-60} * 10 ))
    for _ in $(seq "$tries"); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Skips a test (status 77) on a machine without the X tools.
qel_require_x_tools() {
    local tool
    for tool in Xvfb xdotool; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
    done
}

# Starts the updater on a fresh Xvfb and updates the device the way a person
# does: the button, OK in the confirmation box, the transfer to its end, and
# the window back to idle (a press then refuses to install the same firmware
# again: until the worker has verified the checksum the button is disabled
# and a press does nothing). On failure it returns 1 with
# what went wrong in qel_why.
qel_update_through_window() {   # updater, seconds for the transfer
    local window box
    qel_start_xvfb || { qel_why="Xvfb did not start"; return 1; }
    QT_QPA_PLATFORM=xcb "$1" >"$work/updater.log" 2>&1 &
    pids+=($!)
    window=$(qel_wait_window QelUpdater 20) || { qel_why="no updater window"; return 1; }
    qel_press_update "$window"
    box=$(qel_wait_window "Firmware Update" 20) || { qel_why="no confirmation box"; return 1; }
    qel_confirm_ok "$box" || { qel_why="the confirmation box did not get the keyboard"; return 1; }
    qel_wait_text "$work/updater.log" "FWUP OK" "$2" || { qel_why="the transfer did not complete"; return 1; }
    qel_press_update_until "$window" "Error" 60 >/dev/null || { qel_why="the window did not return to idle"; return 1; }
}
