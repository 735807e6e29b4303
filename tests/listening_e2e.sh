#!/usr/bin/env bash
# The real player's NOISE and MODE lines, heard in its captured high-quality
# stream: the binaural pair, then both ears the same (MONAURAL), then noise
# that differs in the two ears, then (NOISE OFF and MODE BINAURAL a tick
# apart) both ears the same for a tick and the plain pair again, each change
# at the tick after the hold before it.
# Run inside xvfb-run: listening_e2e.sh AMBRISE STREAM_CHECK
set -u
bin=$1
check_bin=$2
source "$(dirname "$0")/e2e_lib.sh"
rate=44100

printf 'VOLUME 100\nHOLD 2\nMODE MONAURAL\nHOLD 2\nNOISE WHITE 30\nHOLD 2\nNOISE OFF\nMODE BINAURAL\nHOLD 1000\n' \
    >"$work/listen.seq"
start_player listen -hq "$work/listen.seq"
# Eleven seconds of sound hold every change, however late the ticks came.
captured() { [ "$(stat -c %s "$cap" 2>/dev/null || echo 0)" -ge $((11 * rate * 4)) ]; }
check_soon "eleven seconds captured" captured
stop_player
"$check_bin" listen "$cap" $rate >"$work/runs"
echo "runs of the captured stream (state, start s, length s):"
cat "$work/runs"
# Silence before the first line counts as monaural: the runs from the
# first binaural one. A change glides over 10 ms, so the tenth of a second
# that holds it may class as either side: runs of one tenth are passed over.
sed -n '/^binaural/,$p' "$work/runs" | awk '$3 >= 0.15 && $1 != last {print $1; last = $1}' | head -n5 |
    paste -sd' ' >"$work/order"
check "binaural, monaural, noise, monaural, binaural in that order ($(cat "$work/order"))" \
    [ "$(cat "$work/order")" = "binaural monaural noise monaural binaural" ]
# Each of the middle runs lasts its hold of 2 s of sound, plus the tick or
# two of the lines around it.
for state in monaural noise; do
    len=$(sed -n '/^binaural/,$p' "$work/runs" | awk -v s=$state '$1 == s {print $3; exit}')
    check "$state lasts its hold ($len s)" awk "BEGIN{exit !(${len:-0} >= 1.9)}"
done
finish
