#!/usr/bin/env bash
# Every option a program's --help prints, and every path of the listener it
# names (GET /probe, .../metrics), is in that program's manual page.
#   ManPageTest.sh PROGRAM PAGE.1.in [PROGRAM PAGE.1.in ...]
set -euo pipefail
fail=0
while [ $# -ge 2 ]; do
    program=$1 page=$2
    shift 2
    help=$("$program" --help)
    # The page as a reader sees it: "\-" is a dash, font changes vanish.
    text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
    names=$(
        grep -oE -- '(^|[^a-zA-Z0-9-])--?[a-zA-Z][a-zA-Z0-9-]*' <<<"$help" | sed -E 's/^[^-]*//' || true
        grep -oE -- '(GET |PORT)/[a-z]+' <<<"$help" | sed -E 's/^(GET |PORT)//' || true
    )
    [ -n "$names" ] || { echo "FAIL: $program --help names no option"; exit 1; }
    for name in $(sort -u <<<"$names"); do
        if ! grep -qE -- "(^|[^a-zA-Z0-9-])${name}([^a-zA-Z0-9-]|\$)" <<<"$text"; then
            echo "FAIL: $(basename "$program") --help lists $name, $(basename "$page") does not"
            fail=1
        fi
    done
done
[ $# -eq 0 ] || { echo "usage: $0 PROGRAM PAGE [PROGRAM PAGE ...]"; exit 2; }
exit $fail
