#!/usr/bin/env bash
# The real player's high-quality stream (-hq), captured through ALSA's file
# plugin under Xvfb and checked against its formulas: signed 16-bit stereo
# at 44100 frames per second, partial k at exactly 2^k times the base, no
# offset, the volume gliding over 10 ms (441 frames) instead of stepping.
# Run inside xvfb-run: hq_e2e.sh AMBRISE STREAM_CHECK
set -u
bin=$1
check_bin=$2
source "$(dirname "$0")/e2e_lib.sh"
rate=44100

wait_bytes() {  # wait_bytes FILE BYTES: until the capture holds that much (60 s at most)
    local end=$(($(date +%s) + 60))
    while [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -lt "$2" ]; do
        [ "$(date +%s)" -gt "$end" ] && return 1
        sleep 0.1
    done
}

# ---- a forced start at volume 100: the formula from the first frames ----
printf 'VOLUME 100\nHOLD 1000\n' >"$work/loud.seq"
start_player loud -hq "$work/loud.seq"
check "loud: three seconds captured" wait_bytes "$cap" $((3 * rate * 4))
stop_player
check "loud: no device messages" [ ! -s "$work/loud.err" -a ! -s "$work/loud.out" ]
read -r first count < <("$check_bin" hqmatch "$cap" 100 3 300 10 $rate)
# Before the volume was set the stream is silence; from there it glides to
# 100 within 441 frames and is then exactly the formula's.
head -c $(((first > 441 ? first - 441 : 0) * 4)) "$cap" | tr -d '\0' >"$work/before"
echo "forced start: the formula holds from frame $first on, for $count frames"
check "loud: silence until the volume is set" [ ! -s "$work/before" ]
check "loud: then exactly the formula's frames at volume 100 ($count frames)" [ "$count" -ge $((2 * rate)) ]
read -r _ _ lmean _ _ _ _ rmean _ _ < <("$check_bin" hqstats "$cap" $rate $rate $rate | paste -sd' ')
echo "forced start, a steady second: mean left $lmean, right $rmean"
check "loud: no offset ($lmean $rmean)" awk "BEGIN{exit !($lmean * $lmean < 0.25 && $rmean * $rmean < 0.25)}"

# ---- one partial: frequencies, then the Quit fade-out ----
# The volume is set at start-up, so the tone is steady from its first
# tenth of a second however late the fader's ticks come.
printf 'VOLUME 50\nHOLD 1000\n' >"$work/half.seq"
start_player fade -hq -harmonics 1 "$work/half.seq"
check "fade: 2.5 seconds captured" wait_bytes "$cap" $((5 * rate * 2))
read -r _ _ lmean _ lhz _ _ rmean _ rhz < <("$check_bin" hqstats "$cap" $rate $((rate * 3 / 2)) $rate | paste -sd' ')
echo "one partial at volume 50: left $lhz Hz mean $lmean, right $rhz Hz mean $rmean"
check "fade: left at 300 Hz ($lhz)" awk "BEGIN{d = $lhz - 300; exit !(d * d < 0.0001)}"
check "fade: right at 310 Hz ($rhz)" awk "BEGIN{d = $rhz - 310; exit !(d * d < 0.0001)}"
check "fade: no offset at volume 50 ($lmean $rmean)" awk "BEGIN{exit !($lmean * $lmean < 0.25 && $rmean * $rmean < 0.25)}"
click "$quit_x" "$quit_y"
wait_exit 30
check "fade: Quit exits with 0 ($status)" [ "$status" = 0 ]
pid=
read -r step jump jump_at < <("$check_bin" hqfade "$cap" 1 300 10 $rate)
# A frame-to-frame step can be no larger than the 310 Hz partial moves at
# volume 50 (16383 * 2 pi 310 / 44100 / 2 = 361.8), plus what the steepest
# glide adds (a jump of 50 spread over 441 frames: 16383 * 50 / 441 / 100
# = 18.6) and the floor. A glide moves the volume by at most 100 / 441 =
# 0.23 in a frame however the fader's steps bunch on a busy machine; a step
# of the fader taken at once shows as 0.5.
echo "fade out: largest sample step $step, largest volume change in one frame $jump at frame $jump_at" \
    "(a fader step of 0.5 over 441 frames: $(awk 'BEGIN{print 0.5 / 441}'))"
check "fade: no step larger than the ramp allows ($step)" [ "$step" -le 382 ]
check "fade: the volume glides ($jump)" awk "BEGIN{exit !($jump < 0.25)}"

# ---- the color box beside the high-quality stream ----
# With a beat of 0 the two fundamentals keep their distance, so the box
# keeps one colour (which one depends on how far the beat of 10 Hz moved
# them apart before the first line ran). The modulus it measures against
# is checked in the unit tests.
printf 'SET 0\nHOLD 1000\n' >"$work/zero.seq"
start_player box -hq -colorbox 300 200 "$work/zero.seq"
sleep 1
boxwin=$(xdotool search --onlyvisible --name '^ambrise$' | head -n1)
colours=()
for _ in 1 2 3 4 5; do
    colours+=("$(color_at "$boxwin" 150 100)")
    sleep 0.3
done
spread=$(printf '%s\n' "${colours[@]}" | awk '{for (i = 1; i <= 3; i++) {if (NR == 1 || $i < lo[i]) lo[i] = $i; if (NR == 1 || $i > hi[i]) hi[i] = $i}}
    END {m = 0; for (i = 1; i <= 3; i++) if (hi[i] - lo[i] > m) m = hi[i] - lo[i]; print m}')
check "color box: beat 0 keeps one colour (${colours[*]})" [ "$spread" -le 8 ]
stop_player

# ---- no usable output: the messages in their order on one pipe, real time ----
# A default device that names a card the machine does not have, and no OSS
# node: the player says once what it tried and what would help, and its
# window works.
printf 'pcm.!default { type hw; card 31 }\n' >"$work/none.conf"
ALSA_CONFIG_PATH=$work/none.conf "$bin" -hq > >(cat >"$work/none.both") 2>&1 &
pid=$!
win=$(xdotool search --sync --onlyvisible --name '^Ambrise 2\.1$' 2>/dev/null | head -n1)
sleep 1
ticks=$(awk '{print $14 + $15}' /proc/$pid/stat)
check "no device: the window opens" [ -n "$win" ]
check "no device: paced to real time ($ticks ticks of CPU)" [ "$ticks" -lt 50 ]
stop_player
sleep 0.2
echo "no usable output, what the player says:"
sed 's/^/    /' "$work/none.both"
error=$(sed -n 's/.*did not open (\(.*\)), nor.*/\1/p' "$work/none.both")
expected="Failed to open the sound card.
$(no_output_advice "$error")
SNDCTL_DSP_STEREO: Bad file descriptor
no stereo, might as well quit
SNDCTL_DSP_SPEED: Bad file descriptor
ERROR:\aCannot set a sample rate"
check "no device: the advice once ($(grep -c 'No sound output' "$work/none.both"))" \
    [ "$(grep -c 'No sound output' "$work/none.both")" = 1 -a -n "$error" ]
check "no device: the messages in order on one pipe" [ "$(cat "$work/none.both")" = "$(printf "$expected")" ]
finish
