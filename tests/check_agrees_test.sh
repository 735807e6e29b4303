#!/usr/bin/env bash
# The real ambrise-check and ambrise-render on generated sequences (seeded,
# so that a failure comes back): the length the checker reports is the
# length the renderer writes, and a render that wraps was warned of.
set -u
check_bin=$(realpath "$1")
render_bin=$(realpath "$2")
source "$(dirname "$0")/test_lib.sh"
cd "$work"

RANDOM=2107
pick() { local words=("$@"); echo "${words[RANDOM % ${#words[@]}]}"; }

# One line of a sequence: mostly timed commands of a few seconds, with every
# setting, odd values among them, and now and then the end.
line() {
    case $((RANDOM % 14)) in
        0) echo "SET $(pick 0 4 7.83 12.5 -3 40 1e1 nan)" ;;
        1) echo "BASE $(pick 100 200.5 300 440 -20 1000)" ;;
        2|3) echo "VOLUME $(pick 0 20 41 45 50 52 53 60 75 100 120 -5 33.3)" ;;
        4) echo "HARMONICS $(pick 0 1 2 3 5 7 9 12)" ;;
        5|6) echo "FADE $(pick 0 30 52.2 60 80 100 150) $(pick 1 2 3 0 -1)" ;;
        7|8) echo "SLIDE $(pick 0 4 10 20.5 -2) $(pick 1 2 3 2.5 0)" ;;
        9|10) echo "HOLD $(pick 1 2 3 0 -2 1.5)" ;;
        11) echo "NOISE $(pick WHITE PINK BROWN OFF pink) $(pick 0 5 10 30 100)" ;;
        12) echo "MODE $(pick BINAURAL MONAURAL ISOCHRONIC monaural)" ;;
        13) echo "$(pick END PAUSE '# a note' 'hold 1')" ;;
    esac
}

cases=40
agreed_length=0 agreed_wraps=0 wrapped=0
for ((i = 0; i < cases; ++i)); do
    : >seq.seq
    for ((n = 0; n < 4 + RANDOM % 10; ++n)); do line >>seq.seq; done
    "$check_bin" seq.seq >check.txt 2>&1
    seconds=$(sed -n 's/.*: renderer \([0-9]*\):\([0-9]*\):\([0-9]*\),.*/\1 \2 \3/p' check.txt |
        awk '{ print $1 * 3600 + $2 * 60 + $3 }')
    "$render_bin" seq.seq out.wav 2>render.txt
    bytes=$(stat -c %s out.wav)
    if [ "$bytes" = $((44 + seconds * 176400)) ]; then
        agreed_length=$((agreed_length + 1))
    else
        echo "case $i: checker $seconds s, render $bytes bytes:" >&2
        cat seq.seq >&2
    fi
    # The checker's bound is the partials' crest: it may warn of a sum that
    # the render never reaches, but a wrap it is silent about is a fault.
    if grep -q "samples wrapped" render.txt; then
        wrapped=$((wrapped + 1))
        if grep -q "wrap.* past the 16-bit range" check.txt; then
            agreed_wraps=$((agreed_wraps + 1))
        else
            echo "case $i: the render wraps, the checker is silent:" >&2
            cat seq.seq >&2
        fi
    else
        agreed_wraps=$((agreed_wraps + 1))
    fi
done
check "the checker's length is the render's in all $cases cases" [ "$agreed_length" = $cases ]
check "every render that wraps was warned of" [ "$agreed_wraps" = $cases ]
check "some of the cases wrap" [ "$wrapped" -ge 5 ]
check "some do not" [ "$wrapped" -le $((cases - 5)) ]
finish
