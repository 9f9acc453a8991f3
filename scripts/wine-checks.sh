#!/usr/bin/env bash
# Starts the Windows program from its unpacked zip under wine on an X display
# of its own and drives it with the keyboard, as a user would: its window, the
# licence dialog, the single-instance guard, and the update button, which
# stops the settings panel and finds no Qel driver. Screenshots go to
# BUILD_DIR/wine-screens/.
#
#   scripts/wine-checks.sh BUILD_DIR
#
# Under wine the fonts and the menu bar are larger than on Windows, so nothing
# here clicks at a place in the window: windows are found by their titles and
# driven with keys.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
wine=/usr/lib/wine/wine64
. "$src/scripts/xdrive.sh"

zip=$(ls "$build"/QelUpdater-*-win64.zip)
shots=$build/wine-screens
rm -rf "$shots"
mkdir -p "$shots"

qel_session_begin
fail() {
    echo "FAILED: $*"
    import -window root "$shots/failure.png" 2>/dev/null || true
    for log in "$work"/*.log; do echo "--- $log ---"; tail -n 20 "$log"; done
    exit 1
}
qel_start_xvfb || fail "Xvfb did not start"

# A prefix of its own, made once the display is there: wine's desktop process
# keeps the display it was started with, so a prefix that another run still
# serves would put the windows on that run's display.
prefix=$(mktemp -d /tmp/qel-wine-XXXXXX)
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
end_session() {
    "${wine%/*}/wineserver" -k 2>/dev/null || true
    qel_session_end
    rm -rf "$prefix"
}
trap end_session EXIT
# Nothing from the build environment may help the program find its DLLs or
# plugins: it must run from its folder alone, on its own platform plugin.
unset WINEPATH QT_PLUGIN_PATH QT_QPA_PLATFORM QT_QPA_PLATFORM_PLUGIN_PATH
"$wine" wineboot --init >/dev/null 2>&1
# Wine's stand-in for the Windows dialog font reports a line spacing of 46
# pixels at 8 points (Windows' Tahoma: 13), which leaves only the label's first
# line in the window. DejaVu Sans has Tahoma's metrics near enough for the
# screenshots to show the window as Windows draws it.
"$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    /v 'MS Shell Dlg 2' /d 'DejaVu Sans' /f >/dev/null 2>&1

unzip -q "$zip" -d "$work/unpacked"
app_dir=$(echo "$work"/unpacked/QelUpdater-*-win64)
updater=$app_dir/QelUpdater.exe

# A stand-in for the settings panel that the update button must stop.
cat >"$work/panel.c" <<'EOF'
#include <windows.h>
int main(void) { Sleep(INFINITE); return 0; }
EOF
x86_64-w64-mingw32-gcc -o "$work/Qel_SettingsPanel.exe" "$work/panel.c"

shot() { import -window root "$shots/$1.png"; echo "screenshot: $shots/$1.png"; }

# A window is on the screen before it is painted: the screenshot waits until
# the window's own pixels show more than a plain background.
shot_when_drawn() {   # window id, name
    local colours
    for _ in $(seq 200); do
        colours=$(import -window "$1" png:- 2>/dev/null | convert png:- -format %k info: 2>/dev/null || echo 0)
        [ "${colours:-0}" -gt 16 ] && break
        sleep 0.1
    done
    shot "$2"
}

# Gives the window the keyboard; with no window manager nobody else does.
focus() {   # window id
    xdotool windowfocus "$1" 2>/dev/null || true
    qel_wait_focus "$1" 10
}

start_updater() {   # log name
    (cd "$app_dir" && exec "$wine" "$updater" >"$work/$1.log" 2>&1) &
    pids+=($!)
    last_pid=$!
}

# 1. The window, with the version of the embedded firmware.
start_updater first
first=$last_pid
main=$(qel_wait_window QelUpdater 60) || fail "no window titled QelUpdater"
shot_when_drawn "$main" main-window

# 2. A second start while the first runs: the shared-memory guard sends it
# away with -1, which wine reports as 255.
set +e
timeout 60 "$wine" "$updater" >"$work/second.log" 2>&1
rc=$?
set -e
[ "$rc" -eq 255 ] || fail "a second instance exited with $rc, not 255 (-1)"
kill -0 "$first" 2>/dev/null || fail "the first instance ended when the second started"
echo "second instance: exit status $rc (-1)"

# 3. Help > About: the menu bar takes Alt, the Help menu opens downwards and
# About is its only entry.
focus "$main" || fail "the window does not take the keyboard"
xdotool key alt
xdotool key Down
xdotool key Return
about=$(qel_wait_window "License Information" 20) || fail "Help > About showed no licence dialog"
focus "$about" || fail "the licence dialog does not take the keyboard"
shot_when_drawn "$about" about
xdotool key Escape
for _ in $(seq 100); do
    xdotool search --onlyvisible --name "^License Information\$" >/dev/null 2>&1 || break
    sleep 0.1
done

# 4. The update button: the settings panel is stopped first, then the missing
# driver is reported.
(cd "$work" && exec "$wine" "$work/Qel_SettingsPanel.exe" >"$work/panel.log" 2>&1) &
panel=$!
pids+=($panel)
# It counts as running once wine lists it among the processes.
for _ in $(seq 100); do
    "$wine" "C:\\windows\\system32\\tasklist.exe" 2>/dev/null | grep -qi Qel_SettingsPanel && break
    sleep 0.2
done
focus "$main" || fail "the window does not take the keyboard"
# The button is the window's only control that takes the focus.
xdotool key space
box=$(qel_wait_window Error 30) || fail "no box after pressing Firmware Update"
shot_when_drawn "$box" no-hardware
for _ in $(seq 100); do kill -0 "$panel" 2>/dev/null || break; sleep 0.1; done
kill -0 "$panel" 2>/dev/null && fail "the settings panel still runs after the update button"
echo "settings panel stopped by the update button"
focus "$box" || fail "the box does not take the keyboard"
xdotool key Return

# 5. Once the first instance is gone, a new one starts.
kill -KILL "$first"
wait "$first" 2>/dev/null || true
start_updater third
again=$(qel_wait_window QelUpdater 60) || fail "no window after the first instance was killed"
shot_when_drawn "$again" after-kill
echo "wine checks passed"
