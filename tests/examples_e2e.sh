#!/usr/bin/env bash
# Each example's first ten seconds in the real player (-hq, the desktop
# entry's stream), captured through ALSA's file plugin under Xvfb: the
# sequence starts with its own sound, and neither clicks (a step from one
# frame to the next that the tone, its noise, its background and the
# volume's 10 ms glide do not explain) nor cuts (a quarter second far
# quieter than an earlier one, as a VOLUME 0 read after the start-up
# fade-in made it).
# Run inside xvfb-run: examples_e2e.sh AMBRISE STREAM_CHECK EXAMPLES
set -u
bin=$1
check_bin=$2
examples=$3
source "$(dirname "$0")/e2e_lib.sh"
rate=44100
seconds=10

# bound SEQUENCE: the largest step the stream may take from one frame to
# the next. The tone of n partials moves at most n * 32767 * pi *
# (base + beat) / rate at full volume (every partial's weight cancels its
# frequency's factor); white noise at level p jumps by up to 2 p * 32767;
# an isochronic edge (4 ms raised cosine) lifts the tone by pi / 2 over
# 0.004 * rate frames; a background file at level p, like white noise, by
# up to 2 p * 32767 at most; a 10 ms glide moves the largest sum by its whole
# volume change in 441 frames. All scale with the loudest volume the
# sequence asks for (the start-up fade goes to 50), plus the floor's 2.
bound() {
    awk -v rate=$rate '
        $1 == "BASE" && $2 > base {base = $2}
        $1 == "SET" && $2 > beat {beat = $2}
        $1 == "HARMONICS" {n = $2}
        ($1 == "VOLUME" || $1 == "FADE") && $2 > v {v = $2}
        $1 == "NOISE" && $3 > noise {noise = $3}
        $1 == "BACKGROUND" && $2 + 0 > bg {bg = $2 + 0}
        $1 == "MODE" && $2 == "ISOCHRONIC" {iso = 1}
        BEGIN {base = 300; beat = 10; n = 3; v = 50; noise = 0; bg = 0; iso = 0; pi = atan2(0, -1)}
        END {
            if (v > 100) v = 100
            half = 32767 * (2 - 2 ^ (1 - n)) / 2
            tone = n * 32767 * pi * (base + beat) / rate
            edge = iso ? half * pi / 2 / (0.004 * rate) : 0
            printf "%d\n", v / 100 * (tone + 2 * (noise + bg) / 100 * 32767 + edge) + half / 441 + 2
        }' "$1"
}

for f in "$examples"/*.seq; do
    name=$(basename "$f" .seq)
    start_player "$name" -hq "$f"
    check "$name: the window opens" [ -n "$win" ]
    check_soon "$name: $seconds seconds captured" sound_at_least $((seconds * rate * 4))
    stop_player
    check "$name: no messages" [ ! -s "$work/$name.err" -a ! -s "$work/$name.out" ]
    limit=$(bound "$f")
    read -r step step_at lowest lowest_at < <("$check_bin" steps "$cap" $rate $seconds)
    echo "$name: largest step $step at frame $step_at (bound $limit); lowest level $lowest of the loudest before, at ${lowest_at} s"
    check "$name: no step larger than the glide allows ($step > $limit at frame $step_at)" [ "$step" -le "$limit" ]
    check "$name: no cut ($lowest at ${lowest_at} s)" awk "BEGIN{exit !($lowest > 0.6)}"
    rm -f "$cap"
done

finish
