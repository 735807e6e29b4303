#!/usr/bin/env bash
# Quit's fade-out reaches silence before the player ends: the device plays
# out what it holds, so the captured stream ends below -60 dBFS in both
# streams (the default stream's rest level, a constant, counts as silence).
# Run inside xvfb-run: quit_e2e.sh AMBRISE STREAM_CHECK
set -u
bin=$1
check_bin=$2
source "$(dirname "$0")/e2e_lib.sh"

printf 'VOLUME 50\nHOLD 1000\n' >"$work/half.seq"
for stream in default hq; do
    if [ $stream = hq ]; then args=(-hq) bits=16 second=$((44100 * 4)); else args=() bits=8 second=$((11025 * 2)); fi
    start_player "quit-$stream" "${args[@]}" "$work/half.seq"
    check_soon "$stream: a second and a half captured" sound_at_least $((second * 3 / 2))
    click "$quit_x" "$quit_y"
    wait_exit
    check "$stream: Quit exits with 0 ($status)" [ "$status" = 0 ]
    pid=
    level=$("$check_bin" tail "$cap" $bits 50)
    echo "$stream stream: the last 50 ms of the capture at $level dBFS"
    check "$stream: the last 50 ms below -60 dBFS ($level)" awk -v l="$level" 'BEGIN{exit !(l == "-inf" || l < -60)}'
    # The fade itself was heard: a second at volume 50 (0.5 % a tick) before.
    check "$stream: the fade-out is in the capture" sound_at_least $((second * 5 / 2))
done
finish
