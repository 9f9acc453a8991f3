#!/usr/bin/env bash
# Makes the deployable folder and zip of the Windows program from a
# cross-build: QelUpdater.exe and the command-line updater qel-fwtool.exe, the
# Qt and compiler runtime DLLs they load, the platform and style plugins, the
# licence and a short read-me.
#
#   scripts/deploy-windows.sh BUILD_DIR QT_PREFIX
#
# Leaves BUILD_DIR/QelUpdater-<version>-win64/ and its .zip, and prints the
# zip's file list.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$1 qt=$2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build/CMakeCache.txt"; exit 1; }
name=QelUpdater-$version-win64
out=$build/$name
exe=$build/app/QelUpdater.exe
fwtool=$build/fwtool/qel-fwtool.exe
for f in "$exe" "$fwtool"; do
    [ -f "$f" ] || { echo "$f was not built"; exit 1; }
done

mingw_runtime_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
search=("$qt/bin" "$mingw_runtime_dir" /usr/x86_64-w64-mingw32/lib)

# What a Windows user gets is decided at link time; check it before shipping:
# no console window, room for the window object on the main stack, the icon.
pe=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -qE '^Subsystem\s+00000002' <<<"$pe" || { echo "$exe is not a GUI program"; exit 1; }
grep -qE '^SizeOfStackReserve\s+0*200000$' <<<"$pe" || { echo "$exe lacks the 2 MiB stack"; exit 1; }
resources=$(x86_64-w64-mingw32-windres -J coff -i "$exe" -O rc 2>/dev/null)
grep -q 'Name: "IDI_ICON1"' <<<"$resources" || { echo "$exe has no icon group IDI_ICON1"; exit 1; }
# The command-line updater writes to the console it was started from.
grep -qE '^Subsystem\s+00000003' <<<"$(x86_64-w64-mingw32-objdump -p "$fwtool")" ||
    { echo "$fwtool is not a console program"; exit 1; }

rm -rf "$out" "$out.zip"
mkdir -p "$out/platforms" "$out/styles"
cp "$exe" "$fwtool" "$out/"
x86_64-w64-mingw32-strip "$out/QelUpdater.exe" "$out/qel-fwtool.exe"
# Qt loads the platform plugin always and the native style when there is one;
# nothing else from its plugin folder.
cp "$qt/plugins/platforms/qwindows.dll" "$out/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$out/styles/"

# The DLLs come from the import tables, followed from DLL to DLL, so that the
# folder holds what the program loads and nothing else. Those found in none
# of the search folders belong to Windows.
imports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
queue=("$out/QelUpdater.exe" "$out/qel-fwtool.exe" "$out/platforms/qwindows.dll" "$out/styles/qwindowsvistastyle.dll")
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    for dll in $(imports "$file"); do
        [ -e "$out/$dll" ] && continue
        for dir in "${search[@]}"; do
            # Import tables name DLLs in any case; the files are as shipped.
            found=$(find "$dir" -maxdepth 1 -iname "$dll" -print -quit 2>/dev/null)
            if [ -n "$found" ]; then
                cp "$found" "$out/$dll"
                # The compiler's runtime comes with its debugging symbols,
                # most of the folder's size otherwise.
                x86_64-w64-mingw32-strip --strip-unneeded "$out/$dll"
                queue+=("$out/$dll")
                break
            fi
        done
    done
done

# Windows users open text files with Notepad, which wants CR LF.
sed 's/\r\?$/\r/' "$src/res/LICENSE.txt" >"$out/LICENSE.txt"
sed 's/$/\r/' >"$out/README.txt" <<EOF
Qel Firmware Updater $version for 64-bit Windows

Installs the firmware that travels inside QelUpdater.exe on a connected Qel
USB audio device. Unpack the whole folder, connect the device (its Windows
driver must be installed), close other programs that use it, and start
QelUpdater.exe. Keep the device connected and the computer on until the
updater says the update has ended.

Help > About shows the licence notice of the software shipped here; the full
text is in LICENSE.txt.

Command-line updater
--------------------
qel-fwtool.exe updates devices from a command prompt or a script, with the
same built-in firmware. Start it from a command prompt (cmd or PowerShell) in
this folder:

  qel-fwtool devices                      list the connected devices
  qel-fwtool update                       update the only device (asks first)
  qel-fwtool update --yes --device NAME   update the device of that name, as
                                          "qel-fwtool devices" lists it
  qel-fwtool update --all --yes --json    update every device, for scripts
  qel-fwtool check other.prg              test an image file

A device's name is its device instance id, as Device Manager shows it under
Details > Device instance path; it stays the same while the device stays
connected, and case does not matter. Without --yes the updater asks before it
writes, and only on a console. Ctrl+C or Ctrl+Break before that ends it
without writing anything; once the transfer has started it is refused, and
the update finishes by itself. --json prints one JSON object per line.

Exit codes: 0 done, 1 the update failed, 2 refused or declined, 3 no
supported device, 4 unreadable image file, 64 usage, 75 the device is being
updated by another program (try again later), 130 interrupted before anything
was written. "qel-fwtool --help" lists every command and option.
EOF

(cd "$build" && zip -q -r -X "$name.zip" "$name")
echo "=== $name.zip ($(stat -c %s "$out.zip") bytes) ==="
unzip -l "$out.zip"
