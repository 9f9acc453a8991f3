#!/usr/bin/env bash
# Cross-compiles the project for 64-bit Windows and runs its tests under wine
# in a prefix made for this run alone. With Qt for mingw-w64 at hand that is
# the whole project: QelUpdater.exe, its deployable folder and zip, the window
# tests, and the deployed program driven under wine (scripts/wine-checks.sh).
# Without Qt it is the device layer and the emulated device alone.
#
#   scripts/cross-windows.sh [BUILD_DIR]      (default: build-win in the tree)
#
# The deployed program's updates of emulated devices under wine
# (scripts/wine-device-checks.sh) and the command-line updater's
# (scripts/wine-fwtool-checks.sh) need qel-devsim and qel-tcprelay built for
# this machine: from QEL_NATIVE_BUILD (a build folder holding them, as
# scripts/test.sh passes its normal build), else built into BUILD_DIR/native.
#
# Qt is taken from, in this order: QEL_QT_MINGW (an installed prefix), the
# shared archive ../shared/toolchains/qt5-mingw64-5.15.8.tar.xz beside the
# checkout (unpacked once into the cache), a prefix that
# scripts/build-qt5-mingw64.sh built into the cache before.
#
# Needs the Debian packages g++-mingw-w64-x86-64 (its posix variant), wine64,
# cmake and ninja-build (make works too); for the checks of the deployed
# program also zip, unzip, xvfb, xdotool and imagemagick.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-win}
wine=/usr/lib/wine/wine64
jobs=${QEL_JOBS:-2}
started=$SECONDS
# Where the posix compiler keeps its runtime DLLs (libstdc++, libgcc_s_seh).
mingw_runtime_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")

# A path on this machine as wine's Z: drive sees it.
dos_path() { local p=$1; echo "Z:${p//\//\\}"; }

qt_archive_name=qt5-mingw64-5.15.8.tar.xz
qt_archive_sha256=0cea22efd0431ff6e6fb1de79d0f6f09a649bc3c81c4abb2958d86b97a6f8923
cache=${XDG_CACHE_HOME:-$HOME/.cache}/qel
built_prefix=$cache/qt5-mingw64-built

# Prints the Qt prefix to use, or nothing.
find_qt() {
    if [ -n "${QEL_QT_MINGW:-}" ]; then
        [ -f "$QEL_QT_MINGW/lib/cmake/Qt5/Qt5Config.cmake" ] || {
            echo "QEL_QT_MINGW=$QEL_QT_MINGW holds no Qt 5 for CMake" >&2; return 1; }
        echo "$QEL_QT_MINGW"
        return 0
    fi
    local archive=$src/../shared/toolchains/$qt_archive_name
    if [ -f "$archive" ]; then
        # Keyed by the archive's checksum, so that a replaced archive is
        # unpacked afresh rather than mixed with the old copy.
        local sum dest
        sum=$(sha256sum "$archive" | cut -d' ' -f1)
        [ "$sum" = "$qt_archive_sha256" ] ||
            echo "note: $archive is not the archive this project was tried with" >&2
        dest=$cache/qt5-mingw64-5.15.8-${sum:0:16}
        if [ ! -f "$dest/.complete" ]; then
            echo "unpacking $archive into $dest" >&2
            rm -rf "$dest" "$dest.part"
            mkdir -p "$dest.part"
            tar -xJf "$archive" -C "$dest.part"
            touch "$dest.part/.complete"
            # A rename, so that an interrupted unpack is never taken for a whole one.
            mv "$dest.part" "$dest"
        fi
        echo "$dest/qt5-mingw"
        return 0
    fi
    if [ -f "$built_prefix/lib/cmake/Qt5/Qt5Config.cmake" ]; then
        echo "$built_prefix"
        return 0
    fi
}

qt=$(find_qt)

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

if [ -n "$qt" ]; then
    echo "Qt for Windows: $qt"
    cmake -S "$src" -B "$build" "${generator[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release \
      -DQEL_DEVICE_LAYER_ONLY=OFF \
      -DQEL_QT_MINGW="$qt"
else
    cat <<EOF
*** The Windows program (QelUpdater.exe) is not built: no Qt for mingw-w64 found.
*** Get it with one of:
***   - the shared archive at $src/../shared/toolchains/$qt_archive_name
***   - QEL_QT_MINGW=/path/to/qt5-mingw (an unpacked or installed prefix)
***   - bash scripts/build-qt5-mingw64.sh "$built_prefix"   (about half an hour)
*** Going on with the device layer alone.
EOF
    cmake -S "$src" -B "$build" "${generator[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release \
      -DQEL_DEVICE_LAYER_ONLY=ON \
      -DQEL_QT_MINGW=
fi
cmake --build "$build" -j"$jobs"

if [ -z "$qt" ]; then
    # The updater's icon group is a Windows resource; compile the script so
    # that a broken one shows here rather than on the first Windows build.
    x86_64-w64-mingw32-windres -I "$src/res" "$src/res/app.rc" -O coff -o "$build/app_rc.o"
    x86_64-w64-mingw32-objdump -h "$build/app_rc.o" | grep -q '\.rsrc' || {
      echo "app.rc did not produce a resource section"; exit 1; }
fi
echo "cross-build took $(( SECONDS - started )) s"

if [ -n "$qt" ]; then
    "$src/scripts/deploy-windows.sh" "$build" "$qt"
    # The window tests make windows, offscreen too, and wine's user32 needs
    # an X display for that: give the whole test run one of its own, before
    # the prefix exists, since wine's desktop process keeps the display it
    # was started with.
    . "$src/scripts/xdrive.sh"
    qel_session_begin
    qel_start_xvfb || { echo "Xvfb did not start"; exit 1; }
fi

prefix=$(mktemp -d /tmp/qel-wine-XXXXXX)
cleanup() {
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
  [ -z "$qt" ] || qel_session_end
}
trap cleanup EXIT

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
# Keep wine from asking for Mono and Gecko, which tests do not need.
export WINEDLLOVERRIDES="mscoree,mshtml="
"$wine" wineboot --init >/dev/null 2>&1

if [ -n "$qt" ]; then
    # The tests load Qt's DLLs from the toolchain, not from a deployed
    # folder; Qt finds its plugins beside its own DLLs. (Wine hides QT_*
    # variables from the program, so none is set here.)
    export WINEPATH="$(dos_path "$qt/bin");$(dos_path "$mingw_runtime_dir");$(dos_path /usr/x86_64-w64-mingw32/lib)"
    ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300
    unset WINEPATH
    # The deployed program, from the zip, in a prefix and on a display of its own.
    "$src/scripts/wine-checks.sh" "$build"
    # The same program updating emulated devices through the test driver.
    native=${QEL_NATIVE_BUILD:-$build/native}
    if [ -z "${QEL_NATIVE_BUILD:-}" ]; then
        cmake -S "$src" -B "$native" "${generator[@]}" \
            -DCMAKE_BUILD_TYPE=Release -DQEL_DEVICE_LAYER_ONLY=ON >/dev/null
        cmake --build "$native" -j"$jobs" --target qel-devsim qel-tcprelay
    fi
    "$src/scripts/wine-device-checks.sh" "$build" "$native"
    # The command-line updater from the zip, against the same driver.
    "$src/scripts/wine-fwtool-checks.sh" "$build" "$native"
else
    ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 300
fi
echo "Windows cross-build and wine tests took $(( SECONDS - started )) s"
