#!/bin/bash
# qel-fwtool against the real emulated device program, in real time.
#
#   fwtool_test.sh GROUP <qel-fwtool> <qel-devsim> <qel-mkimage> <jsonlines> <printinfo>
#
# Every group works in a registry of its own (a private XDG_RUNTIME_DIR), keeps
# its records in a state folder of its own (XDG_STATE_HOME) and ends the device programs it started.
set -u
group=$1 fw=$2 devsim=$3 mkimage=$4 jsonlines=$5 printinfo=$6
src=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
# The records of update attempts too, never the user's.
export XDG_STATE_HOME=$work/state
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

# The embedded image's start message, as a device's request log shows it.
start_message='OUT request 29 value 0 index 0 [21 04 20 18 04 00 00 00]'
# installed_once NAME REQUESTS: the device reports the new firmware, got the
# image exactly once and no transfer was begun again after being cut short.
installed_once() {
    wait_text "$work/$1.log" "installed: Qel 1.02, build 31" 10 || { fail "$1: not installed"; return; }
    [ "$(grep -c '^installed:' "$work/$1.log")" = 1 ] || fail "$1: installed more than once"
    [ "$(grep -cF -- "$start_message" "$2")" = 1 ] || fail "$1: not exactly one transfer"
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
                "--allow-reinstall" "--json" "--log FILE" "  64 " "  75 " "  130 " "With --all"; do
        expect_in "--help" out "$text"
    done
    ;;

images)
    "$mkimage" --out badsum.bin --size 4132 --checksum 300000 --bad-checksum 7 >/dev/null
    "$mkimage" --out long.bin --size 4132 --checksum 300000 --declared-size 9000 >/dev/null
    printf 'short' >short.bin
    cp "$embedded" good.bin
    # Opening these must not wait (a pipe without a writer) nor read what no
    # image can be (a sparse gigabyte).
    mkfifo pipe.bin
    mkdir dir.bin
    truncate -s 1G huge.bin
    : >empty.bin
    # file, exit, check's reason (empty: OK), the checksum test's failure
    # number (null: the test never saw the file) and the cause
    while read -r file code reason number cause; do
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
            got=$("$jsonlines" path sound failure cause <out)
            if [ "$code" = 0 ]; then want="$file true null null"; else want="$file false $number $cause"; fi
            [ "$got" = "$want" ] || fail "$command --json $file: \"$got\", wanted \"$want\""
        done
    done <<'TABLE'
good.bin 0 - - -
badsum.bin 4 checksum_mismatch 191 checksum
long.bin 4 shorter_than_the_size_its_header_declares 161 truncated
short.bin 4 shorter_than_its_header 167 too-short
empty.bin 4 cannot_be_read 167 too-short
missing.bin 4 cannot_be_read null unreadable
pipe.bin 4 not_a_regular_file null not-regular
dir.bin 4 not_a_regular_file null not-regular
huge.bin 4 larger_than_an_image_can_be null too-large
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
    run extract pipe.bin
    expect_rc "extract pipe" 4 $rc
    [ ! -e pipe.bin.bin ] || fail "extract pipe: wrote an output"
    # update reads the image before it looks for a device
    while read -r file cause; do
        cause=${cause//_/ }
        run update --yes "$file"
        expect_rc "update $file" 4 $rc
        expect_in "update $file" err "Cannot read the firmware file: $file"
        expect_in "update $file" err "$cause"
        run update --yes --json "$file"
        [ "$("$jsonlines" result exit <out)" = "bad-image 4" ] || fail "update --json $file: $(cat out)"
    done <<'TABLE'
pipe.bin Not_a_regular_file.
dir.bin Not_a_regular_file.
huge.bin Larger_than_an_image_can_be
TABLE
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

    # Entries with nothing behind them are listed, but are no device.
    silent_entry() {   # registry root
        mkdir -p -m 700 "$1/silent/render"
        printf 'qel\n' >"$1/silent/service"
        : >"$1/silent/render/global"
    }
    silent_entry "$work/quiet/qel-devices"
    XDG_RUNTIME_DIR=$work/quiet run devices
    expect_rc "devices, none answers" 3 $rc
    [ "$(cat out)" = "silent  (does not answer)" ] || fail "devices, none answers: $(cat out)"
    expect_in "devices, none answers" err "No listed device answers."
    XDG_RUNTIME_DIR=$work/quiet run devices --json
    expect_rc "devices --json, none answers" 3 $rc
    [ "$("$jsonlines" name product <out)" = "silent null" ] || fail "devices --json, none answers"
    silent_entry "$XDG_RUNTIME_DIR/qel-devices"
    run devices
    expect_rc "devices, one does not answer" 0 $rc
    expect_in "devices, one does not answer" out "silent  (does not answer)"
    expect_in "devices, one does not answer" out "b1  Qel  1.01  build 30"
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
    "$jsonlines" event sent text <out >order
    full=$(grep -n '^progress 268320' order | head -n 1 | cut -d: -f1)
    checking=$(grep -n '^text - Checking...' order | head -n 1 | cut -d: -f1)
    [ -n "$full" ] && [ -n "$checking" ] && [ "$full" -lt "$checking" ] ||
        fail "update --json: the whole image is not reported sent before the check"
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
    # Before the transfer: Ctrl+C or Ctrl+\\ at the question ends the program, nothing written.
    for sig in INT QUIT; do
        start_device s1$sig --installed old.bin --log s1$sig.requests
        mkfifo answer$sig
        script -qec "sh -c 'echo \$\$ >pid$sig; exec $fw update --device s1$sig'" /dev/null <answer$sig >pty$sig 2>&1 &
        spid=$!
        exec 3>answer$sig
        wait_text pty$sig "Are you sure?" 10 || fail "no question"
        kill -$sig "$(cat pid$sig)"
        wait $spid
        expect_rc "SIG$sig before the transfer" 130 $?
        exec 3>&-
        expect_not_in "SIG$sig before the transfer" s1$sig.log "installed:"
        ! grep -q 'OUT request.*\[.\{200\}' s1$sig.requests || fail "SIG$sig before the transfer: image bytes reached the device"
    done

    # During the transfer: the signals are refused once and the update ends by itself.
    start_device s2 --installed old.bin --busy-us 10000 --log s2.requests
    "$fw" update --yes --device s2 >out 2>err </dev/null &
    fpid=$!
    wait_text err "progress: " 20 || fail "the transfer did not start"
    kill -INT $fpid; kill -TERM $fpid; kill -HUP $fpid; kill -QUIT $fpid; kill -INT $fpid
    wait $fpid
    expect_rc "signals during the transfer" 0 $?
    [ "$(grep -c 'An update is running; stopping now could leave the device unusable. It will finish by itself.' err)" = 1 ] ||
        fail "the warning is not shown exactly once"
    installed_once s2 s2.requests
    ;;

pipes)
    # Output nobody reads any more: the update goes on, what cannot be
    # written is dropped and the exit status is the update's. A pipe whose
    # reader is gone before the program starts fails every write, those of
    # the transfer included; "head" is the same as a user would meet it.
    gone_reader() {   # fd 6: a pipe with no reader
        rm -f gone; mkfifo gone
        exec 5<>gone 6>gone 5<&-
    }
    while read -r case; do
        # A reader that leaves on its own must leave well before the transfer ends.
        slow=0
        case $case in head_*|pager_*) slow=2000 ;; esac
        start_device p$case --installed old.bin --busy-us $slow --log p$case.requests
        gone_reader
        case $case in
        stdout_json) "$fw" update --yes --json --device p$case >&6 2>err </dev/null; rc=$? ;;
        stdout_text) "$fw" update --yes --device p$case >&6 2>err </dev/null; rc=$? ;;
        stderr) "$fw" update --yes --device p$case >out 2>&6 </dev/null; rc=$? ;;
        both) "$fw" update --yes --json --device p$case >&6 2>&6 </dev/null; rc=$? ;;
        head_json) "$fw" update --yes --json --device p$case 2>err </dev/null | head -n 3 >/dev/null
                   rc=${PIPESTATUS[0]} ;;
        pager_stderr) { "$fw" update --yes --device p$case 2>&1 >out </dev/null; echo $? >rc_pager; } | head -n 1 >/dev/null
                      rc=$(cat rc_pager) ;;
        esac
        exec 6>&-
        expect_rc "update, $case closed" 0 $rc
        installed_once p$case p$case.requests
    done <<'TABLE'
stdout_json
stdout_text
stderr
both
head_json
pager_stderr
TABLE
    ;;

lock)
    command -v script >/dev/null || { echo "script is not installed"; exit 77; }
    # The first updater holds the device while it waits at its question,
    # having checked the device; nothing else reaches the device meanwhile.
    start_device held --installed old.bin --log held.requests
    start_device free --installed old.bin --log free.requests
    mkfifo answer
    script -qec "$fw update --device held" /dev/null <answer >pty 2>&1 &
    spid=$!
    exec 3>answer
    wait_text pty "Are you sure?" 10 || fail "no question"
    before=$(wc -l <held.requests)
    run update --yes --device held
    expect_rc "a second updater" 75 $rc
    expect_in "a second updater" err "held: The device is being updated by another program."
    run update --yes --json --device held
    expect_rc "a second updater, --json" 75 $rc
    [ "$("$jsonlines" device result exit <out)" = "held busy 75" ] || fail "busy result: $(cat out)"
    run devices
    expect_rc "devices during an update" 0 $rc
    expect_in "devices during an update" out "held  (being updated by another program)"
    expect_in "devices during an update" out "free  Qel  1.01  build 30"
    # --all updates what it can; the busy device counts as failed.
    "$fw" update --all --yes --json >out 2>err </dev/null
    expect_rc "update --all beside an update" 1 $?
    "$jsonlines" event device result exit <out | grep -v '^text\|^progress' >results
    printf 'result free updated 0\nresult held busy 75\nsummary - - 1\n' >expected
    cmp -s results expected || { fail "update --all beside an update"; diff results expected; }
    [ "$("$jsonlines" updated refused failed <out | tail -n 1)" = "1 0 1" ] || fail "update --all summary"
    [ "$(wc -l <held.requests)" = "$before" ] || fail "another program reached the device being updated"
    installed_once free free.requests
    # Each attempt turned away is kept as busy, beside the one that updated.
    "$jsonlines" device result <"$XDG_STATE_HOME/qel-updater/history.jsonl" >attempts
    [ "$(grep -c '^held busy$' attempts)" = 3 ] && [ "$(grep -c '^free updated$' attempts)" = 1 ] ||
        { fail "history beside an update:"; cat attempts; }
    # The first goes on as if nothing had happened.
    echo y >&3
    exec 3>&-
    wait $spid
    expect_rc "the first updater" 0 $?
    installed_once held held.requests

    # During a transfer; two devices at the same time.
    start_device t1 --installed old.bin --busy-us 5000 --log t1.requests
    start_device t2 --installed old.bin --busy-us 5000 --log t2.requests
    "$fw" update --yes --device t1 >out1 2>err1 </dev/null &
    p1=$!
    wait_text err1 "progress: " 20 || fail "t1: the transfer did not start"
    run update --yes --device t1
    expect_rc "a second updater during the transfer" 75 $rc
    "$fw" update --yes --device t2 >out2 2>err2 </dev/null &
    p2=$!
    wait $p1
    expect_rc "t1 beside t2" 0 $?
    wait $p2
    expect_rc "t2 beside t1" 0 $?
    installed_once t1 t1.requests
    installed_once t2 t2.requests

    # A killed updater leaves no lock behind.
    start_device k --installed old.bin --busy-us 10000 --log k.requests
    "$fw" update --yes --device k >out 2>err </dev/null &
    kpid=$!
    wait_text err "progress: " 20 || fail "k: the transfer did not start"
    kill -KILL $kpid
    wait $kpid
    run update --yes --device k
    expect_rc "update after a killed updater" 0 $rc
    wait_text k.log "installed: Qel 1.02, build 31" 10 || fail "k: not installed after a killed updater"
    ;;

escapes)
    # Text from images, devices and names is shown, never obeyed; JSON keeps it exact.
    esc=$(printf '\033')
    "$mkimage" --out esc.bin --product "Q${esc}[2J${esc}[H" --size 4132 --checksum 300000 >/dev/null
    run info esc.bin
    expect_rc "info" 0 $rc
    expect_in "info" out 'product: Q\x1b[2J\x1b[H'
    ! grep -q "$esc" out || fail "info: an escape character reached the terminal"
    run info --json esc.bin
    [ "$("$jsonlines" product <out)" = "Q${esc}[2J${esc}[H" ] || fail "info --json: the product is not exact"
    nl='
'
    cp esc.bin "new${nl}line.bin"
    run check "new${nl}line.bin"
    [ "$(cat out)" = 'new\x0aline.bin: OK' ] || fail "check: $(cat out)"
    run info "new${nl}line.bin"
    expect_in "info, a name with a line break" out 'filename: new\x0aline.bin'
    run "frob${esc}[2J"
    expect_in "an unknown command" err 'unknown command frob\x1b[2J'

    # A name that would forge a line of the list, a product that would clear the screen.
    forged="desk${nl}fake  Qel  9.99  build 1"
    start_device "$forged" --installed old.bin --log forged.requests
    start_device odd --product "Q${esc}[2J" --version 100 --build 1
    run devices
    expect_rc "devices" 0 $rc
    printf '%s\n' 'desk\x0afake  Qel  9.99  build 1  Qel  1.01  build 30' 'odd  Q\x1b[2J  1.00  build 1' >expected
    cmp -s out expected || { fail "devices: names and products escaped"; diff out expected; }
    run devices --json
    [ "$("$jsonlines" name product <out)" = "$forged Qel${nl}odd Q${esc}[2J" ] || fail "devices --json: not exact"
    # The name as shown chooses the device, and so does the name itself.
    run update --yes --device 'desk\x0afake  Qel  9.99  build 1'
    expect_rc "update --device, the escaped name" 0 $rc
    installed_once "$forged" forged.requests
    run update --yes --device "$forged"
    expect_rc "update --device, the raw name" 2 $rc
    expect_in "update --device, the raw name" err 'desk\x0afake  Qel  9.99  build 1: Cannot downgrade from 1.02 to 1.02'
    run update --yes --device odd
    expect_in "update, another product" err "Product is not matching"
    ;;

registry)
    # A registry another user made first (anybody can make /tmp/qel-devices-<uid>
    # before its user does): the updater says so instead of "no device".
    reg=$XDG_RUNTIME_DIR/qel-devices
    if [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1; then
        mkdir -m 700 "$reg" && chown nobody "$reg"
    else
        mkdir -m 700 "$work/elsewhere" && ln -s "$work/elsewhere" "$reg"
    fi
    said="The device registry $reg is not yours; remove it or set XDG_RUNTIME_DIR."
    run devices
    expect_rc "devices, a foreign registry" 3 $rc
    expect_in "devices, a foreign registry" err "$said"
    expect_not_in "devices, a foreign registry" err "No Qel device is present."
    run update --yes
    expect_rc "update, a foreign registry" 3 $rc
    expect_in "update, a foreign registry" err "Supported hardware is not connected."
    expect_in "update, a foreign registry" err "$said"
    run update --yes --json
    expect_rc "update --json, a foreign registry" 3 $rc
    [ "$("$jsonlines" result cause <out)" = "no-device $said" ] || fail "update --json: $(cat out)"
    rm -rf "$reg"
    mkdir -m 770 "$reg"
    chmod 770 "$reg"
    run devices
    expect_rc "devices, a registry others may write" 3 $rc
    expect_in "devices, a registry others may write" err "may be written by other users"
    ;;

faults|stalls|waits|verify)
    # group, mode, exit, the failure text, its cause (the stalls wait for the
    # device layer's time-outs, so they run as groups of their own)
    while IFS='|' read -r in_group mode code text cause; do
        [ "$in_group" = "$group" ] || continue
        name=f${mode//[^a-z0-9]/}
        start_device "$name" --installed old.bin --fault "$mode"
        run update --yes --device "$name"
        expect_rc "fault $mode" "$code" $rc
        if [ "$code" = 0 ]; then
            expect_in "fault $mode" out "$text"
            wait_text "$name.log" "installed: Qel 1.02, build 31" 10 || fail "fault $mode: not installed"
        else
            expect_in "fault $mode" err "$name: $text"
        fi
        [ -z "$cause" ] || expect_in "fault $mode" err "$name: $cause"
        expect_not_in "fault $mode" out "ERROR"
        [ "$group" != verify ] || { expect_in "fault $mode" out "Retrying... 1/2";
                                    expect_in "fault $mode" out "Retrying... 2/2"; }
    done <<'TABLE'
faults|noise=5000|1|Hardware checksum is not valid.|
faults|vanish=1000|1|Firmware Update Failed|The device went away.
faults|fail-writes=100|1|Cannot get connected hardware product|The device refused a request.
faults|never=0x34|1|Cannot get connected hardware product|The device refused a request.
faults|never=0x32|1|Cannot get connected hardware version|The device refused a request.
faults|fail-writes=2|0|Completed.|
stalls|busy|1|Cannot get connected hardware product|The device stopped answering (time-out).
waits|short-read|1|Cannot get connected hardware product|The device stopped answering (time-out).
stalls|no-room|1|Firmware Update Failed|
waits|lag|1|Firmware Update Failed|
verify|checksum-off=1000|1|Hardware checksum is not equal to firmware.|
TABLE
    ;;

records)
    run history
    expect_rc "history, nothing recorded" 0 $rc
    [ "$(cat out)" = "No updates recorded." ] || fail "history, nothing recorded: $(cat out)"
    [ ! -e "$XDG_STATE_HOME" ] || fail "history made the state folder"
    run history --json
    expect_rc "history --json, nothing recorded" 0 $rc
    expect_empty "history --json, nothing recorded" out

    mkdir -p "$XDG_STATE_HOME/qel-updater/traces"
    {
        echo '{"time":"2026-12-10T21:30:00.123Z","program":"qel-fwtool","device":"desk","product":"Qel","from":{"version":"1.01","build":30},"to":{"version":"1.02","build":31,"image":"embedded"},"result":"updated","cause":null,"text":"Done.","seconds":41.237,"trace":"20261210-213000.123-desk.jsonl"}'
        echo '{"time":"2026-12-10T21:31:'
        echo 'not json at all'
        echo '{"time":"2026-12-11T08:00:00.000Z","program":"QelUpdater","device":"ra\u001b[2Jck","product":null,"from":null,"to":null,"result":"failed","cause":"no-device","text":"x","seconds":0.1,"trace":null}'
        echo '{"time":12,"device":["odd"],"from":"1.0"}'
    } >"$XDG_STATE_HOME/qel-updater/history.jsonl"
    echo '{"format":"qel-trace","version":1}' >"$XDG_STATE_HOME/qel-updater/traces/20261210-213000.123-desk.jsonl"

    TZ=UTC run history
    expect_rc "history" 0 $rc
    expect_empty "history: stderr" err
    expect_in "history" out "2026-12-10 21:30:00  qel-fwtool  desk"
    expect_in "history" out "updated  1.01 (30) -> 1.02 (31)"
    expect_in "history" out '2026-12-11 08:00:00  QelUpdater  ra\x1b[2Jck'
    expect_in "history" out "no-device"
    [ "$(wc -l <out)" = 4 ] || fail "history: not a heading and three records"
    TZ=Asia/Tokyo run history
    expect_in "history, local time" out "2026-12-11 06:30:00  qel-fwtool"

    run history --json
    expect_rc "history --json" 0 $rc
    json_ok "history --json" out
    [ "$(wc -l <out)" = 3 ] || fail "history --json: not three records"
    expect_in "history --json" out '"device":"ra\u001b[2Jck"'

    run report
    expect_rc "report" 0 $rc
    expect_empty "report: stderr" err
    report=$(cat out)
    case $report in
    "$work"/qel-report-*.json) ;;
    *) fail "report: printed \"$report\"" ;;
    esac
    [ -f "$report" ] && expect_in "report" "$report" '"format": "qel-report"'
    [ -f "$report" ] && expect_in "report" "$report" '"name": "20261210-213000.123-desk.jsonl"'
    [ -f "$report" ] && expect_not_in "report" "$report" "$work"

    mkdir sub
    (cd sub && "$fw" report --output ../chosen.json --json >../out 2>../err </dev/null)
    expect_rc "report --output" 0 $?
    json_ok "report --json" out
    expect_in "report --output" out "\"report\":\"$work/chosen.json\""
    expect_in "report --output" chosen.json '"program": "qel-fwtool"'

    run report --output "$work/missing/r.json"
    expect_rc "report into a missing folder" 1 $rc
    expect_empty "report into a missing folder: stdout" out
    expect_in "report into a missing folder" err "qel-fwtool: the report cannot be saved: $work/missing/r.json"
    [ ! -e "$work/missing" ] || fail "report made a folder"

    for args in "history --output x" "devices --output x" "update --output x" "history FILE" \
                "report FILE" "report --output" "report --output=" "report --all" "report --log x"; do
        run $args
        expect_rc "qel-fwtool $args" 64 $rc
        expect_empty "qel-fwtool $args: stdout" out
        expect_in "qel-fwtool $args" err "Try 'qel-fwtool --help'."
    done
    run --help
    for text in "history" "report" "--output FILE"; do
        expect_in "--help" out "$text"
    done
    ;;

recorded)
    # Every attempt on a device leaves one history line and its trace; --record
    # keeps the whole session as well.
    start_device rec --installed old.bin --log rec.requests
    run update --yes --record session.jsonl
    expect_rc "recorded update" 0 $rc
    installed_once rec rec.requests
    history=$XDG_STATE_HOME/qel-updater/history.jsonl
    json_ok "history file" "$history"
    got=$("$jsonlines" program device product result cause trace <"$history")
    trace=$(ls "$XDG_STATE_HOME/qel-updater/traces")
    [ "$got" = "qel-fwtool rec Qel updated null $trace" ] || fail "history line: \"$got\""
    expect_in "history line" "$history" '"from":{"version":"1.01","build":30},"to":{"version":"1.02","build":31,"image":"embedded"}'
    [ "$(stat -c %a "$XDG_STATE_HOME/qel-updater")" = 700 ] || fail "the state folder is not 0700"
    json_ok "session trace" session.jsonl
    json_ok "attempt trace" "$XDG_STATE_HOME/qel-updater/traces/$trace"
    # Both saw every request the device got.
    sent=$(grep -cE '^[0-9]+ (IN|OUT) request' rec.requests)
    [ "$(grep -c '"request":' session.jsonl)" = "$sent" ] || fail "--record: not every request"
    [ "$(grep -c '"request":' "$XDG_STATE_HOME/qel-updater/traces/$trace")" = "$sent" ] ||
        fail "attempt trace: not every request"
    run update --yes --json
    expect_rc "refused, recorded" 2 $rc
    [ "$("$jsonlines" result text <"$history" | tail -n 1)" = "refused Cannot downgrade from 1.02 to 1.02" ] ||
        fail "refused: $(tail -n 1 "$history")"
    # A trace that cannot be written stops the command before the device is asked.
    before=$(wc -l <rec.requests)
    run devices --record "$work/missing/t.jsonl"
    expect_rc "--record into a missing folder" 64 $rc
    expect_in "--record into a missing folder" err "cannot write the trace $work/missing/t.jsonl"
    [ "$(wc -l <rec.requests)" = "$before" ] || fail "--record into a missing folder: the device was asked"

    # Two programs at once, each updating its own device: two whole lines.
    start_device twin1 --installed old.bin
    start_device twin2 --installed old.bin
    : >"$history"
    "$fw" update --yes --device twin1 >twin1.out 2>&1 </dev/null &
    first=$!
    "$fw" update --yes --device twin2 >twin2.out 2>&1 </dev/null
    second=$?
    wait $first
    expect_rc "twin1" 0 $?
    expect_rc "twin2" 0 $second
    json_ok "history after two programs" "$history"
    [ "$("$jsonlines" device result <"$history" | sort | tr '\n' ' ')" = "twin1 updated twin2 updated " ] ||
        fail "two programs: $(cat "$history")"

    # Where the state folder cannot be, the update goes on: one warning.
    start_device blocked --installed old.bin --log blocked.requests
    : >"$work/not-a-folder"
    XDG_STATE_HOME=$work/not-a-folder run update --yes --device blocked
    expect_rc "unwritable state folder" 0 $rc
    installed_once blocked blocked.requests
    [ "$(grep -c 'warning: Updates are not recorded' err)" = 1 ] || { fail "unwritable: not one warning"; cat err; }
    ;;

replay)
    # The recorded sessions played back: the updater must send the same bytes
    # and end the same way. trace, image (- for the embedded one), exit, the
    # failure's text and cause ("-": none). The verification that fails
    # three times waits half a minute in real time between its attempts; the
    # worker's replay of it runs on a virtual clock instead.
    traces=$src/testsupport/traces
    while IFS='|' read -r trace image code text cause; do
        [ "$image" = - ] && image="" || image=$traces/$image
        "$devsim" --replay "$traces/$trace.jsonl" --instance "r-$trace" >"r-$trace.log" 2>&1 &
        pid=$!
        pids+=($pid)
        wait_text "r-$trace.log" "ready:" 10 || fail "replay of $trace did not start"
        # shellcheck disable=SC2086
        run update $image --yes
        expect_rc "replay $trace" "$code" $rc
        if [ "$code" = 0 ]; then expect_in "replay $trace" out "$text"; else expect_in "replay $trace" err "r-$trace: $text"; fi
        [ "$cause" = - ] || expect_in "replay $trace" err "r-$trace: $cause"
        kill -INT $pid
        wait $pid
        recorded=$(grep -c '"request":' "$traces/$trace.jsonl")
        expect_in "replay $trace" "r-$trace.log" "replayed: $recorded of $recorded requests"
        expect_not_in "replay $trace" "r-$trace.log" "diverged:"
    done <<'TABLE'
whole-update|-|0|Completed.|-
vanishes|small.prg|1|Firmware Update Failed|The device went away.
busy|small.prg|1|Cannot get connected hardware product|The device stopped answering (time-out).
TABLE

    # Another image of the same size and identity: the traffic agrees up to
    # the first block of the image, which the replay names; the update fails
    # as against a device that refuses it, and nothing else is claimed.
    "$mkimage" --out other.bin --product Qel --version 102 --build 31 --date 2026-12-01 \
        --size 268320 --checksum 21022648 >/dev/null
    "$devsim" --replay "$traces/whole-update.jsonl" --instance r-other >r-other.log 2>&1 &
    pid=$!
    pids+=($pid)
    wait_text r-other.log "ready:" 10 || fail "replay with another image did not start"
    run update other.bin --yes
    expect_rc "replay with another image" 1 $rc
    expect_in "replay with another image" err "r-other: Firmware Update Failed"
    kill -INT $pid
    wait $pid
    # The first message of tag 37, a block of the image.
    first_block=$(grep '"request":' "$traces/whole-update.jsonl" | grep -n '"out":"25' | head -n 1 | cut -d: -f1)
    [ "$(grep -c '^diverged: ' r-other.log)" = 1 ] || fail "replay with another image: not one diverged line"
    expect_in "replay with another image" r-other.log "diverged: request $first_block: expected 29 out"
    expect_in "replay with another image" r-other.log "replayed: $((first_block - 1)) of "
    ;;

*)
    echo "unknown group $group"
    exit 2
    ;;
esac

exit $failed
