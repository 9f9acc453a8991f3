#!/bin/bash
# The manual pages keep up with the programs: every option that a program's
# usage names (and every fault mode of qel-devsim) is in its page, and man
# renders every page without a warning.
#
#   manpages_test.sh <folder of the pages> <program>...
set -u
pages=$1
shift
failed=0
fail() { echo "FAILED: $*"; failed=1; }

# What a program's usage names: its long options, and the words that start
# the lines of a "Faults:" list.
named() {   # usage text
    grep -o -- '--[a-z][a-z-]*' <<<"$1"
    sed -n '/^Faults:/,/^$/s/^  \([a-z][a-z-]*\).*/\1/p' <<<"$1"
}

for program in "$@"; do
    name=$(basename "$program")
    page=$pages/$name.1
    [ -f "$page" ] || { fail "no page for $name"; continue; }
    # qel-mkimage has no --help; it prints its usage when called without
    # arguments.
    usage=$("$program" --help 2>&1) || usage=$("$program" 2>&1)
    found=0
    for word in $(named "$usage" | sort -u); do
        found=1
        # In roff a hyphen is written \-.
        grep -qF -- "${word//-/\\-}" "$page" || fail "$name: the page lacks $word"
    done
    [ $found = 1 ] || fail "$name: no options found in its usage: $usage"
done
for page in "$pages"/*.1; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
exit $failed
