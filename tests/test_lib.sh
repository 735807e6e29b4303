# Shared by the shell tests: a scratch directory removed at the end, and
# named checks counted into the closing "N passed, N failed" line.
set -u
work=$(mktemp -d)
passes=0
fails=0

test_cleanup() {
    if declare -F extra_cleanup >/dev/null; then extra_cleanup; fi
    chmod -R u+w "$work" 2>/dev/null
    rm -rf "$work"
}
trap test_cleanup EXIT

check() {  # check NAME COMMAND...: the command must succeed
    local name=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
    else
        echo "FAIL: $name" >&2
        fails=$((fails + 1))
    fi
}

finish() {
    echo "$passes passed, $fails failed"
    [ "$fails" = 0 ]
}
