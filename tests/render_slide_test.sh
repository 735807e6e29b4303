#!/usr/bin/env bash
# Steps so large that a phase added to them leaves them as they were: a
# slide or hold at such a beat or base costs what an ordinary one does. Each
# render took over a minute while every frame's phase went through the
# general remainder; ctest's timeout for this test is the assertion.
set -euo pipefail
bin=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/ambrise-slide.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
fail=0
render() {  # render NAME LINES...: renders 900 s and checks the length
    local name=$1
    shift
    printf '%s\n' "$@" >"$name.seq"
    "$bin" "$name.seq" "$name.wav"
    local size
    size=$(stat -c %s "$name.wav")
    if [ "$size" -ne $((44 + 176400 * 900)) ]; then
        echo "FAIL: $name: $size bytes"
        fail=1
    fi
    rm -f "$name.wav"
}
render up 'SLIDE 1e300 900'
render down 'SET 1e300' 'SLIDE -1e300 900'
render base 'BASE 1e300' 'SET 7.83' 'HOLD 900'
render noise 'NOISE PINK 20' 'SLIDE 1e300 900'
exit $fail
