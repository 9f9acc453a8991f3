#!/bin/bash
# The Debian packages, built from a build folder (default build/) and checked
# as a user would meet them: what each holds, the desktop entry and catalogue
# entry validated, lintian without errors; then, as root, both installed with
# apt, the installed programs run (an image made and read, an emulated device
# updated, the window started through the launcher on an X display of its
# own), and both purged again with nothing of theirs left on the machine.
#
#   scripts/package-checks.sh [BUILD FOLDER]
#
# Not as root only the first half runs. Whatever the checks start is stopped
# on exit, and packages they installed are purged even when a check failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
. "$root/scripts/packages.sh"
qel_install_packages
# qel_start_xvfb, qel_wait_window, qel_wait_text; they keep their files in
# $work and what they start in $pids.
. "$root/scripts/xdrive.sh"

app_id=org.qelupdater.QelUpdater
work=$(mktemp -d)
pids=()
installed=no
cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    if [ "$installed" = yes ]; then
        echo "purging the packages after a failed check"
        dpkg --purge qel-updater qel-updater-emulator >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
# An interrupted run still stops what it started and purges what it installed.
trap 'exit 130' INT
trap 'exit 143' TERM HUP

failed=0
fail() { echo "FAILED: $*"; failed=1; }
die() { echo "FAILED: $*"; exit 1; }
# Waits for a condition, with a generous deadline only to end a broken run.
wait_for() {   # seconds, command...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

echo "=== Debian packages from $build ==="
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/packages/*.deb
cmake --build "$build" --target package >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; die "cpack"; }
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$build/packages/qel-updater_${version}_${arch}.deb
deb_emu=$build/packages/qel-updater-emulator_${version}_${arch}.deb
for f in "$deb" "$deb_emu"; do
    [ -f "$f" ] || die "no $f; cpack made: $(ls "$build/packages")"
done
ls -l "$deb" "$deb_emu"

# --- What each package holds: every file, its mode and owner. -------------
listing() {   # deb: "mode owner path" of each file, sorted
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $1, $2, $6 }' | sort
}
{
    for f in /usr/bin/qel-fwtool /usr/bin/qel-updater /usr/bin/qel-usb-bridge \
             /usr/lib/qel-updater/QelUpdater; do
        echo "-rwxr-xr-x root/root $f"
    done
    for f in /usr/lib/udev/rules.d/70-qel-usb.rules /usr/share/applications/$app_id.desktop \
             /usr/share/doc/qel-updater/changelog.gz /usr/share/doc/qel-updater/copyright \
             /usr/share/metainfo/$app_id.metainfo.xml; do
        echo "-rw-r--r-- root/root $f"
    done
    for size in 16 24 32 48 64 96 128 192 256; do
        echo "-rw-r--r-- root/root /usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png"
    done
    for page in qel-fwtool qel-updater qel-usb-bridge; do
        echo "-rw-r--r-- root/root /usr/share/man/man1/$page.1.gz"
    done
} | sort > "$work/want-updater"
{
    echo "-rwxr-xr-x root/root /usr/bin/qel-devsim"
    echo "-rwxr-xr-x root/root /usr/bin/qel-mkimage"
    for f in README changelog.gz copyright; do
        echo "-rw-r--r-- root/root /usr/share/doc/qel-updater-emulator/$f"
    done
    for page in qel-devsim qel-mkimage; do
        echo "-rw-r--r-- root/root /usr/share/man/man1/$page.1.gz"
    done
} | sort > "$work/want-emulator"
listing "$deb" > "$work/has-updater"
listing "$deb_emu" > "$work/has-emulator"
for p in updater emulator; do
    diff "$work/want-$p" "$work/has-$p" >"$work/diff" \
        || fail "the $p package's files (< wanted, > made):"$'\n'"$(cat "$work/diff")"
done

# --- Control fields: dependencies from the binaries, one version everywhere.
field() { dpkg-deb -f "$1" "$2"; }
for lib in libqt5widgets5 libqt5dbus5 libusb-1.0-0 libstdc++6; do
    field "$deb" Depends | grep -q "\b$lib\b" || fail "qel-updater does not depend on $lib: $(field "$deb" Depends)"
done
field "$deb_emu" Depends | grep -q "libstdc++6" || fail "qel-updater-emulator's dependencies: $(field "$deb_emu" Depends)"
field "$deb_emu" Depends | grep -q "qt5" && fail "qel-updater-emulator depends on Qt: $(field "$deb_emu" Depends)"
for f in "$deb" "$deb_emu"; do
    [ -n "$(field "$f" Maintainer)" ] || fail "$f has no maintainer"
done
dpkg-deb -x "$deb" "$work/tree"
dpkg-deb -x "$deb_emu" "$work/tree"
changelog_version=$(zcat "$work/tree/usr/share/doc/qel-updater/changelog.gz" | sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p')
release_version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$work/tree/usr/share/metainfo/$app_id.metainfo.xml" | head -1)
for v in "changelog $changelog_version" "metainfo release $release_version"; do
    [ "${v##* }" = "$(field "$deb" Version)" ] || fail "$v, but the packages are $(field "$deb" Version)"
done

# --- The desktop entry, the catalogue entry and the icons name each other. -
desktop=usr/share/applications/$app_id.desktop
metainfo=usr/share/metainfo/$app_id.metainfo.xml
entry() { sed -n "s/^$1=//p" "$work/tree/$desktop"; }
for kv in "Name=Qel Firmware Updater" "Exec=qel-updater" "Icon=$app_id" "Terminal=false" \
          "StartupWMClass=QelUpdater"; do
    [ "$(entry "${kv%%=*}")" = "${kv#*=}" ] || fail "desktop entry: ${kv%%=*}=$(entry "${kv%%=*}"), wanted ${kv#*=}"
done
grep -q "<id>$app_id</id>" "$work/tree/$metainfo" || fail "the metainfo's id is not $app_id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$work/tree/$metainfo" \
    || fail "the metainfo does not launch $app_id.desktop"
for icon in "$work"/tree/usr/share/icons/hicolor/*/apps/$app_id.png; do
    folder=$(basename "$(dirname "$(dirname "$icon")")")
    [ "$(identify -format '%wx%h' "$icon")" = "$folder" ] \
        || fail "the icon in $folder is $(identify -format '%wx%h' "$icon")"
done

# --- Validators: the installed files when installed, else the extracted ones.
validate() {   # root of the files
    desktop-file-validate "$1/$desktop" || fail "desktop-file-validate $1/$desktop"
    appstreamcli validate --no-net "$1/$metainfo" >"$work/appstream.log" 2>&1 \
        || { cat "$work/appstream.log"; fail "appstreamcli validate $1/$metainfo"; }
}

echo "--- lintian"
if lintian --fail-on error --display-info "$deb" "$deb_emu" >"$work/lintian.log" 2>&1; then
    lintian_ok=yes
else
    lintian_ok=no
fi
grep -v "running with root privileges" "$work/lintian.log" || true
[ $lintian_ok = yes ] || fail "lintian reports errors"

if [ "$(id -u)" -ne 0 ]; then
    validate "$work/tree"
    echo "not root: the packages are not installed, and the installed programs not run"
    [ $failed = 0 ] && echo "package checks passed (without installing)"
    exit $failed
fi

# --- Installed with apt, as a support desk would. -------------------------
for p in qel-updater qel-updater-emulator; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        die "$p is installed already; these checks purge what they install, so purge it first"
    fi
done
# The machine's files without the packages, to compare with after the purge.
snapshot() { find /usr /etc /opt /var/lib/dpkg/info /var/lib/dpkg/alternatives -xdev 2>/dev/null | sort; }
snapshot > "$work/before"
echo "--- apt-get install"
installed=yes
apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" "$deb_emu" \
        >"$work/apt.log" 2>&1
}
if ! apt_install; then
    # The dependencies may be missing from an old package list.
    apt-get update -q >/dev/null 2>&1 || true
    apt_install || { cat "$work/apt.log"; die "apt-get install"; }
fi
dpkg -L qel-updater qel-updater-emulator | sort -u > "$work/dpkg-L"
validate ""

# Only the installed programs: a PATH without the build tree.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
for p in qel-updater qel-fwtool qel-usb-bridge qel-devsim qel-mkimage; do
    [ "$(command -v "$p")" = "/usr/bin/$p" ] || fail "$p is not /usr/bin/$p but \"$(command -v "$p")\""
done

echo "--- the installed qel-mkimage and qel-fwtool"
qel-mkimage --out "$work/new.bin" --version 103 --build 40 --size 4132 --checksum 300000 >/dev/null \
    || fail "qel-mkimage"
qel-fwtool info "$work/new.bin" >"$work/info" 2>&1 || fail "qel-fwtool info: $(cat "$work/info")"
for text in "product: Qel" "version: 103" "build: 40" "OK"; do
    grep -qx "$text" "$work/info" || fail "qel-fwtool info: no \"$text\" in: $(cat "$work/info")"
done

echo "--- the installed qel-devsim updated by the installed qel-fwtool"
# A registry of the checks' own, apart from anything else on the machine.
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config HOME=$work/home
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/qel-updater" "$HOME"
qel-devsim --instance pkgcheck --version 101 --build 30 >"$work/devsim.log" 2>&1 &
devsim=$!
pids+=("$devsim")
qel_wait_text "$work/devsim.log" "ready:" 20 || die "qel-devsim did not start: $(cat "$work/devsim.log")"
devices_shows() {   # text
    qel-fwtool devices >"$work/devices" 2>&1 && grep -qF "$1" "$work/devices"
}
devices_shows "pkgcheck  Qel  1.01  build 30" || fail "qel-fwtool devices: $(cat "$work/devices")"
for image in "" "$work/new.bin"; do
    # shellcheck disable=SC2086
    if qel-fwtool update --yes $image </dev/null >"$work/update" 2>&1; then
        grep -q "Completed." "$work/update" || fail "qel-fwtool update $image: $(cat "$work/update")"
    else
        fail "qel-fwtool update --yes $image: exit $?: $(cat "$work/update")"
    fi
done
devices_shows "pkgcheck  Qel  1.03  build 40" || fail "after the updates: $(cat "$work/devices")"
kill "$devsim"
wait "$devsim" 2>/dev/null || true

echo "--- the installed launcher under Xvfb"
unset QT_QPA_PLATFORM
qel_start_xvfb || die "Xvfb did not start: $(cat "$work/xvfb.log")"
# A port no device is on: the bridge stays up, waiting for one.
echo "--port 9-9" > "$XDG_CONFIG_HOME/qel-updater/bridge-options"
lock=$XDG_RUNTIME_DIR/qel-devices/.qel-usb-bridge.lock
# Read from /proc/locks rather than by trying the lock: a try holds it for a
# moment, and a bridge starting in that moment would leave, taking it for
# another one.
bridge_serves() {
    local inode
    inode=$(stat -c %i "$lock" 2>/dev/null) || return 1
    awk -v inode="$inode" '$2 == "FLOCK" && $6 ~ (":" inode "$") { found = 1 } END { exit !found }' /proc/locks
}
qel-updater >"$work/launcher.log" 2>&1 &
launcher=$!
pids+=("$launcher")
if ! window=$(qel_wait_window QelUpdater 30); then
    die "no window titled QelUpdater: $(cat "$work/launcher.log")"
fi
wait_for 20 bridge_serves || fail "the launcher's bridge does not serve the session: $(cat "$work/launcher.log")"
# The launcher becomes the window (exec); the bridge it started is its child.
children=$(pgrep -P "$launcher" -a || true)
grep -q "/usr/bin/qel-usb-bridge\b" <<<"$children" || fail "the launcher did not start the bridge: $children"
ps -o args= -p "$launcher" | grep -q "^/usr/lib/qel-updater/QelUpdater\b" \
    || fail "the launcher did not become the window: $(ps -o args= -p "$launcher")"

# What the desktop matches the window with against the entry's StartupWMClass.
xprop -id "$window" WM_CLASS | grep -q '"QelUpdater", "QelUpdater"' \
    || fail "the window's class: $(xprop -id "$window" WM_CLASS)"
mkdir -p "$build/package-screens"
import -window root "$build/package-screens/installed-window.png"
echo "screenshot: $build/package-screens/installed-window.png"
# A signal to the launcher reaches the window; the bridge stops after it.
kill -TERM "$launcher"
launcher_ended() { ! kill -0 "$launcher" 2>/dev/null; }
wait_for 20 launcher_ended || fail "the launcher did not end on SIGTERM"
wait "$launcher" 2>/dev/null || true
# The bridge stops by itself once the window has ended, a moment later.
for pid in $(awk '{print $1}' <<<"$children"); do
    # Ended: gone, or a zombie whose new parent has not reaped it yet.
    ended() { local st; st=$(ps -o stat= -p "$pid" 2>/dev/null); [ -z "$st" ] || [ "${st#Z}" != "$st" ]; }
    wait_for 20 ended || fail "the launcher left $(ps -o args= -p "$pid") running"
done
bridge_serves && fail "the bridge still serves after the window ended"

echo "--- apt-get purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q qel-updater qel-updater-emulator >"$work/apt.log" 2>&1 \
    || { cat "$work/apt.log"; die "apt-get purge"; }
installed=no
while read -r path; do
    if [ -e "$path" ] && ! [ -d "$path" ]; then
        fail "left behind: $path"
    fi
done < "$work/dpkg-L"
snapshot > "$work/after"
diff "$work/before" "$work/after" >"$work/diff" \
    || fail "the machine's files differ after the purge (< before, > after):"$'\n'"$(cat "$work/diff")"

[ $failed = 0 ] && echo "package checks passed"
exit $failed
