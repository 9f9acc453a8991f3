#!/bin/bash
# The files made from the USB ID table (packaging/usbids.cmake) agree with
# qel-usb-bridge: the udev rule line for line with `--udev-rule` for the same
# IDs, one modalias per device, a bad table refused as the bridge refuses it.
#
#   usbids_test.sh <cmake> <packaging source dir> <qel-usb-bridge> <the build's rule file>
set -u
cmake=$1 src=$2 bridge=$3 built_rules=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

generate() {   # table file: the rule in $work/rules, the metainfo in $work/metainfo.xml
    "$cmake" -DTABLE="$1" -DRULES="$work/rules" \
        -DMETAINFO_IN="$src/org.qelupdater.QelUpdater.metainfo.xml.in" \
        -DMETAINFO="$work/metainfo.xml" -DQEL_APP_ID=org.qelupdater.QelUpdater \
        -P "$src/usbids.cmake" >"$work/generate.log" 2>&1
}
modaliases() { sed -n 's|^ *<modalias>\(.*\)</modalias>$|\1|p' "$work/metainfo.xml"; }

# A table with everything the bridge's reader copes with: comments, blank and
# indented lines, tabs, CR LF, both cases of hex digits, characters that mean
# something to CMake in a description, and a device listed twice.
printf '%s\n' \
    '# USB IDs for the test' \
    '' \
    '1a2B:00fF  first; a [bracketed] \ description' \
    '   C0DE:BEEF	tabbed   # comment' \
    $'0001:0002  with CR LF\r' \
    '1A2B:00FF  the first again' > "$work/table"
if ! generate "$work/table"; then
    fail "a sound table was refused: $(cat "$work/generate.log")"
else
    ids=(1a2b:00ff c0de:beef 0001:0002 1a2b:00ff)
    args=()
    for id in "${ids[@]}"; do args+=(--id "$id"); done
    "$bridge" --udev-rule "${args[@]}" > "$work/bridge-rules" \
        || fail "qel-usb-bridge --udev-rule ${args[*]} failed"
    cmp -s "$work/rules" "$work/bridge-rules" \
        || fail "the rule differs from the bridge's: $(diff "$work/bridge-rules" "$work/rules")"
    expected=$'usb:v1A2Bp00FF*\nusb:vC0DEpBEEF*\nusb:v0001p0002*'
    [ "$(modaliases)" = "$expected" ] || fail "modaliases: \"$(modaliases)\", wanted \"$expected\""
fi

# No device in the table: the rule file holds its comment only, and the
# catalogue no modalias.
printf '# nothing yet\n\n' > "$work/empty"
if ! generate "$work/empty"; then
    fail "an empty table was refused: $(cat "$work/generate.log")"
else
    [ "$(grep -cv '^#' "$work/rules")" = 0 ] || fail "rules from an empty table: $(cat "$work/rules")"
    [ -z "$(modaliases)" ] || fail "modaliases from an empty table: $(modaliases)"
fi

# Lines the bridge would refuse at start-up stop the build instead, naming the line.
for bad in '1a2b:00f' '1a2b:00fff' '1a2b-00ff' 'g1a2:00ff' ':1a2b00ff'; do
    printf '# ok\n1a2b:00ff  ok\n%s  bad\n' "$bad" > "$work/bad"
    if generate "$work/bad"; then
        fail "\"$bad\" was taken"
    else
        grep -q "line 3: \"$bad\" is not VVVV:PPPP" "$work/generate.log" \
            || fail "\"$bad\": unclear message: $(cat "$work/generate.log")"
    fi
done

# The rule file this build installs is the bridge's for its built-in table.
if "$bridge" --udev-rule > "$work/bridge-table" 2>/dev/null; then
    cmp -s "$built_rules" "$work/bridge-table" \
        || fail "the installed rule differs from the bridge's: $(diff "$work/bridge-table" "$built_rules")"
else
    # The bridge refuses to print a rule for an empty table.
    [ "$(grep -cv '^#' "$built_rules")" = 0 ] || fail "rules for an empty table: $(cat "$built_rules")"
fi

exit $failed
