#!/bin/bash
# qel-fwtool against the real emulated device program, in real time.
#
#   fwtool_test.sh GROUP <qel-fwtool> <qel-devsim> <qel-mkimage> <jsonlines> <printinfo>
#
# Every group works in a registry of its own (a private XDG_RUNTIME_DIR) and
# ends the device programs it started.
set -u
group=$1 fw=$2 devsim=$3 mkimage=$4 jsonlines=$5 printinfo=$6
src=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

failed=0
fail() { echo "FAILED: $*"; failed=1; }
expect_rc() {   # what, wanted, got
    [ "$2" = "$3" ] || fail "$1: exit $3, wanted $2"
}
expect_in() {   # what, file, text
    grep -qF -- "$3" "$2" || { fail "$1: no \"$3\" in $2:"; sed 's/^/    /' "$2"; }
}
expect_not_in() {
    ! grep -qF -- "$3" "$2" || { fail "$1: \"$3\" in $2:"; sed 's/^/    /' "$2"; }
}
expect_empty() {
    [ ! -s "$2" ] || { fail "$1: $2 is not empty:"; sed 's/^/    /' "$2"; }
}
# Waits until the file holds the text; gives up after $3 seconds.
wait_text() {
    local deadline=$((SECONDS + $3))
    while ! grep -qF -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.02
    done
}
json_ok() {   # what, file: every line of the file is one JSON object
    "$jsonlines" <"$2" || fail "$1: stdout is not JSON Lines only"
}

# start_device NAME [devsim options]: waits until it takes requests.
start_device() {
    local name=$1
    shift
    "$devsim" --instance "$name" "$@" >"$work/$name.log" 2>&1 &
    pids+=($!)
    wait_text "$work/$name.log" "ready:" 10 || { fail "device $name did not start"; cat "$work/$name.log"; exit 1; }
}

"$mkimage" --out old.bin --version 101 --build 30 --date 2016-11-02 --size 4132 \
    --checksum 300000 >/dev/null
embedded=$src/res/update.bin

run() {   # runs qel-fwtool with the arguments; stdout in out, stderr in err, code in rc
    "$fw" "$@" >out 2>err </dev/null
    rc=$?
}

case $group in
usage)
    for args in "" "frobnicate" "devices --bogus" "info" "check a b" "update a b" \
                "devices --all" "info old.bin --yes" "check old.bin --log x" \
                "update --all --device a" "update --device"; do
        run $args
        expect_rc "qel-fwtool $args" 64 $rc
        expect_empty "qel-fwtool $args: stdout" out
        expect_in "qel-fwtool $args" err "Try 'qel-fwtool --help'."
    done
    run --help
    expect_rc "--help" 0 $rc
    for text in "devices" "info FILE" "check FILE" "extract FILE" "update [FILE]" "--allow-older" \
                "--allow-reinstall" "--json" "--log FILE" "  64 " "  130 " "With --all"; do
        expect_in "--help" out "$text"
    done
    ;;

images)
    "$mkimage" --out badsum.bin --size 4132 --checksum 300000 --bad-checksum 7 >/dev/null
    "$mkimage" --out long.bin --size 4132 --checksum 300000 --declared-size 9000 >/dev/null
    printf 'short' >short.bin
    cp "$embedded" good.bin
    # file, exit, check's reason (empty: OK), failure number
    while read -r file code reason number; do
        reason=${reason//_/ }
        run check "$file"
        expect_rc "check $file" "$code" $rc
        if [ "$code" = 0 ]; then want="$file: OK"; else want="$file: NG ($reason)"; fi
        [ "$(cat out)" = "$want" ] || fail "check $file: \"$(cat out)\", wanted \"$want\""

        run info "$file"
        expect_rc "info $file" "$code" $rc
        "$printinfo" "$file" >expected
        cmp -s out expected || { fail "info $file differs from the device layer's print"; diff out expected; }

        for command in info check; do
            run $command --json "$file"
            expect_rc "$command --json $file" "$code" $rc
            json_ok "$command --json $file" out
            [ "$(wc -l <out)" = 1 ] || fail "$command --json $file: not one line"
            got=$("$jsonlines" path sound failure <out)
            if [ "$code" = 0 ]; then want="$file true null"; else want="$file false $number"; fi
            [ "$got" = "$want" ] || fail "$command --json $file: \"$got\", wanted \"$want\""
        done
    done <<'TABLE'
good.bin 0 - -
badsum.bin 4 checksum_mismatch 6
long.bin 4 shorter_than_the_size_its_header_declares 4
short.bin 4 shorter_than_its_header 2
missing.bin 4 cannot_be_read 1
TABLE
    run info --json good.bin
    got=$("$jsonlines" product version version_number build date checksum size <out)
    [ "$got" = "Qel 1.02 102 31 2017-03-13 21022648 268320" ] || fail "info --json fields: $got"

    run extract good.bin
    expect_rc "extract" 0 $rc
    [ "$(stat -c %s good.bin.bin)" = $((268320 - 32)) ] || fail "extract: good.bin.bin has the wrong size"
    run extract missing.bin
    expect_rc "extract missing" 4 $rc
    [ ! -e missing.bin.bin ] || fail "extract missing: wrote an output"
    run extract --json short.bin
    expect_rc "extract --json short" 4 $rc
    json_ok "extract --json" out
    ;;

devices)
    run devices
    expect_rc "devices, none" 3 $rc
    expect_empty "devices, none: stdout" out
    expect_in "devices, none" err "No Qel device is present."
    run devices --json
    expect_rc "devices --json, none" 3 $rc
    expect_empty "devices --json, none: stdout" out

    start_device b1 --installed old.bin
    start_device a1 --product Other --version 205 --build 7
    run devices --log trace.log
    expect_rc "devices" 0 $rc
    printf 'a1  Other  2.05  build 7\nb1  Qel  1.01  build 30\n' >expected
    cmp -s out expected || { fail "devices lists"; diff out expected; }
    run devices --json
    expect_rc "devices --json" 0 $rc
    json_ok "devices --json" out
    got=$("$jsonlines" name product version version_number build <out | tr '\n' ';')
    [ "$got" = "a1 Other 2.05 205 7;b1 Qel 1.01 101 30;" ] || fail "devices --json: $got"
    ;;

update)
    run update --yes
    expect_rc "update, no device" 3 $rc
    expect_in "update, no device" err "Supported hardware is not connected."
    expect_in "update, no device" err "No Qel device is present."
    run update --yes --json
    expect_rc "update --json, no device" 3 $rc
    json_ok "update --json, no device" out
    [ "$("$jsonlines" event result exit <out)" = "result no-device 3" ] || fail "no-device result"

    "$mkimage" --out badsum.bin --size 4132 --checksum 300000 --bad-checksum 7 >/dev/null
    run update --yes badsum.bin
    expect_rc "update, bad image" 4 $rc
    expect_in "update, bad image" err "Checksum Error: badsum.bin"
    run update --yes --json missing.bin
    expect_rc "update --json, missing image" 4 $rc
    [ "$("$jsonlines" result exit <out)" = "bad-image 4" ] || fail "bad-image result"

    start_device old --installed old.bin
    start_device other --product Other --version 100 --build 1
    run update --yes
    expect_rc "update, two devices and none chosen" 64 $rc
    expect_in "update, two devices" err "old"
    expect_in "update, two devices" err "other"
    run update --yes --device nonesuch
    expect_rc "update --device nonesuch" 3 $rc
    run update --yes --device other
    expect_rc "update, other product" 2 $rc
    expect_in "update, other product" err "Product is not matching"
    run update --device old
    expect_rc "update without a terminal and without --yes" 2 $rc
    expect_in "update without --yes" err "add --yes"
    expect_not_in "update without --yes" old.log "installed:"

    "$fw" update --yes --device old --log trace.log >out 2>err </dev/null
    expect_rc "update" 0 $?
    printf 'Preparing...\nSending and Updating...\nChecking...\nCompleted.\n\nPlease turn the device'"'"'s power on again.\n' >expected
    cmp -s out expected || { fail "update: stdout is not the texts alone"; diff out expected; }
    expect_in "update: the trace goes to the log" trace.log "pos = "
    expect_in "update: progress" err "progress: 100%"
    [ "$(grep -c '^progress: ' err)" -le 100 ] || fail "update: more progress lines than percents"
    wait_text old.log "installed: Qel 1.02, build 31" 10 || fail "update: the device does not report the new firmware"

    run update --yes --device old
    expect_rc "update, not newer" 2 $rc
    expect_in "update, not newer" err "Cannot downgrade from 1.02 to 1.02"
    run update --yes --device old --allow-reinstall
    expect_rc "update --allow-reinstall, same version" 2 $rc

    # Same checksum as the image, older version: only the installed test refuses.
    "$mkimage" --out same.bin --version 100 --build 1 --size 268320 --checksum 21022648 >/dev/null
    start_device same --installed same.bin
    run update --yes --device same
    expect_rc "update, already installed" 2 $rc
    expect_in "update, already installed" err "Already updated."

    "$fw" update --yes --json --device old --allow-older >out 2>err </dev/null
    expect_rc "update --json --allow-older" 0 $?
    json_ok "update --json" out
    "$jsonlines" event text result exit <out >events
    expect_in "update --json" events "text Preparing..."
    expect_in "update --json" events "text Sending and Updating..."
    [ "$(tail -n 1 events)" = "result - updated 0" ] || fail "update --json: last event $(tail -n 1 events)"
    [ "$(grep -c '^progress' events)" -le 101 ] || fail "update --json: more than one progress event per percent"
    "$jsonlines" event sent total <out | grep '^progress' | tail -n 1 | grep -qx "progress 268320 268320" ||
        fail "update --json: the progress does not reach the total"
    ;;

all)
    start_device a --installed old.bin
    start_device b --product Other --version 100 --build 1
    start_device c --installed old.bin --fault vanish=1000
    "$fw" update --all --yes --json >out 2>err </dev/null
    expect_rc "update --all" 1 $?
    json_ok "update --all" out
    "$jsonlines" event device result exit <out | grep -v '^text\|^progress' >results
    printf 'result a updated 0\nresult b refused 2\nresult c failed 1\nsummary - - 1\n' >expected
    cmp -s results expected || { fail "update --all results"; diff results expected; }
    [ "$("$jsonlines" updated refused failed <out | tail -n 1)" = "1 1 1" ] || fail "update --all summary"
    "$jsonlines" event device cause <out | grep -qx "result c The device went away." ||
        fail "update --all: no cause for the device that went away"
    "$fw" update --all --yes >out 2>err </dev/null
    expect_rc "update --all, none left to update" 2 $?
    expect_in "update --all text" out "updated 0, refused 2, failed 0"
    ;;

question)
    # The question on a pseudo-terminal; stdin reaches it through script(1).
    command -v script >/dev/null || { echo "script is not installed"; exit 77; }
    n=0
    while read -r answer code; do
        n=$((n + 1))
        [ "$answer" = "(empty)" ] && answer=""
        start_device q$n --installed old.bin
        printf '%s\n' "$answer" | script -qec "$fw update --device q$n" /dev/null >pty 2>&1
        expect_rc "answer \"$answer\"" "$code" $?
        expect_in "question" pty "From:"
        expect_in "question" pty "product:Qel, version:1.01, build:30"
        expect_in "question" pty "To:"
        expect_in "question" pty "product:Qel, version:1.02, build:31"
        expect_in "question" pty "Are you sure? [y/N]"
        if [ "$code" = 0 ]; then
            wait_text q$n.log "installed: Qel 1.02, build 31" 10 || fail "answer y: not installed"
        else
            expect_in "answer \"$answer\"" pty "Declined."
            expect_not_in "answer \"$answer\"" q$n.log "installed:"
        fi
    done <<'TABLE'
y 0
n 2
(empty) 2
TABLE
    ;;

signals)
    command -v script >/dev/null || { echo "script is not installed"; exit 77; }
    # Before the transfer: Ctrl+C at the question ends the program, nothing written.
    start_device s1 --installed old.bin --log s1.requests
    mkfifo answer
    script -qec "sh -c 'echo \$\$ >pid; exec $fw update --device s1'" /dev/null <answer >pty 2>&1 &
    spid=$!
    exec 3>answer
    wait_text pty "Are you sure?" 10 || fail "no question"
    kill -INT "$(cat pid)"
    wait $spid
    expect_rc "SIGINT before the transfer" 130 $?
    exec 3>&-
    expect_not_in "SIGINT before the transfer" s1.log "installed:"
    ! grep -q 'OUT request.*\[.\{200\}' s1.requests || fail "SIGINT before the transfer: image bytes reached the device"

    # During the transfer: the signals are refused once and the update ends by itself.
    start_device s2 --installed old.bin --busy-us 10000
    "$fw" update --yes --device s2 >out 2>err </dev/null &
    fpid=$!
    wait_text err "progress: " 20 || fail "the transfer did not start"
    kill -INT $fpid; kill -TERM $fpid; kill -HUP $fpid; kill -INT $fpid
    wait $fpid
    expect_rc "signals during the transfer" 0 $?
    [ "$(grep -c 'An update is running; stopping now could leave the device unusable. It will finish by itself.' err)" = 1 ] ||
        fail "the warning is not shown exactly once"
    wait_text s2.log "installed: Qel 1.02, build 31" 10 || fail "the update did not complete"
    ;;

faults)
    # mode, exit, the failure text, its cause
    while IFS='|' read -r mode code text cause; do
        name=f${mode//[^a-z0-9]/}
        start_device "$name" --installed old.bin --fault "$mode"
        run update --yes --device "$name"
        expect_rc "fault $mode" "$code" $rc
        expect_in "fault $mode" err "$name: $text"
        [ -z "$cause" ] || expect_in "fault $mode" err "$name: $cause"
        expect_not_in "fault $mode" out "ERROR"
    done <<'TABLE'
noise=5000|1|Hardware checksum is not valid.|
vanish=1000|1|Firmware Update Failed|The device went away.
fail-writes=100|1|Cannot get connected hardware product|The device refused a request.
busy|1|Cannot get connected hardware product|The device stopped answering (time-out).
no-room|1|Firmware Update Failed|
TABLE
    # A device that stalls only now and then is retried and updated.
    start_device fretry --installed old.bin --fault fail-writes=2
    run update --yes --device fretry
    expect_rc "fault fail-writes=2" 0 $rc
    ;;

*)
    echo "unknown group $group"
    exit 2
    ;;
esac

exit $failed
