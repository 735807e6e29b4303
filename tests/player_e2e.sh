#!/usr/bin/env bash
# The real player in a real window under Xvfb, its sound captured by ALSA's
# file plugin, driven with xdotool and checked with screenshots.
# Run inside xvfb-run: player_e2e.sh AMBRISE STREAM_CHECK EXAMPLES
set -u
bin=$1
check_bin=$2
examples=$3
source "$(dirname "$0")/e2e_lib.sh"

# ---- the command line ----
"$bin" -Help >"$work/help.out" 2>"$work/help.err"
check "-Help: status 0" [ $? = 0 ]
check "-Help: the usage line" [ "$(cat "$work/help.out")" = "$bin [-colorbox [<x> <y>]] [-harmonics <n>] [<sequence>]" ]
check "-Help: no directory made" [ ! -e "$HOME/.ambrise" ]
"$bin" -bogus >"$work/bogus.out" 2>"$work/bogus.err"
check "unknown option: status 1" [ $? = 1 ]
check "unknown option: message" grep -qx "$bin: unknown option -bogus" "$work/bogus.err"

# ---- no sound device at all: the messages, and a working window ----
printf '# no devices here\n' >"$work/none.conf"
ALSA_CONFIG_PATH=$work/none.conf "$bin" >"$work/none.out" 2>"$work/none.err" &
pid=$!
win=$(xdotool search --sync --onlyvisible --name '^Ambrise 2\.1$' 2>/dev/null | head -n1)
sleep 1
check "no device: the window opens" [ -n "$win" ]
check "no device: standard error" [ "$(cat "$work/none.err")" = "$(printf 'Failed to open the sound card.\nSNDCTL_DSP_STEREO: Bad file descriptor\nSNDCTL_DSP_SPEED: Bad file descriptor\nERROR:\aCannot set a sample rate')" ]
check "no device: standard output" [ "$(cat "$work/none.out")" = "no stereo, might as well quit" ]
ticks=$(awk '{print $14 + $15}' /proc/$pid/stat)
check "no device: the thread paces itself ($ticks ticks of CPU)" [ "$ticks" -lt 50 ]
stop_player

# ---- window, title, class, sound ----
start_player main
check "window found" [ -n "$win" ]
check "title" [ "$(xdotool getwindowname "$win")" = "Ambrise 2.1" ]
check "class" grep -q 'WM_CLASS(STRING) = "ambrise", "Ambrise"' <(xprop -id "$win" WM_CLASS)
check "no device messages with ALSA" [ ! -s "$work/main.err" ]
check "per-user directory made" [ "$(readlink "$HOME/.ambrise/public.seq")" = /usr/local/share/ambrise ]
sleep 1.5
t0=$(date +%s.%N)
b0=$(stat -c %s "$cap")
sleep 3
rate=$(awk "BEGIN{printf \"%d\", ($(stat -c %s "$cap") - $b0) / $(elapsed "$t0")}")
check "real time: $rate bytes/s" [ "$rate" -gt 19000 -a "$rate" -lt 24000 ]
read -r first count < <("$check_bin" match "$cap" 50 3 300 10)
check "fade-in done within 1.5 s (frame $first)" [ "$first" -le 16538 ]
check "then exactly the bank's frames at volume 50 ($count frames)" [ "$count" -ge $((11025 * 2)) ]
import -window root "$work/before.png"

# A close request is refused with a message.
wmctrl -i -c "$win"
sleep 0.5
check "close refused" kill -0 "$pid"
check "close message" grep -qx 'delete event occured' "$work/main.out"
check "window stays" xdotool getwindowname "$win"

# The volume slider moved by the mouse and the keyboard: label and sound.
size_before=$(stat -c %s "$cap")
click "$vol_x" "$vol_y"
xdotool key Up
sleep 1.5
import -window root "$work/after.png"
check "volume label changed" [ "$(compare -metric AE "$work/before.png" "$work/after.png" null: 2>&1 | cut -d' ' -f1)" != 0 ]
tail -c +$((size_before + 11025 * 2)) "$cap" >"$work/later.raw"
level=$("$check_bin" peaks "$work/later.raw" | tail -n1 | cut -d' ' -f4)
check "louder after the slider moved (level $level)" awk "BEGIN{exit !($level > 66)}"

# Quit fades out in about a second and exits with status 0.
before_quit=$(date +%s.%N)
click "$quit_x" "$quit_y"
wait_exit 5
took=$(elapsed "$before_quit")
check "Quit exits with 0 (status $status)" [ "$status" = 0 ]
check "after about a second ($took s)" awk "BEGIN{exit !($took > 0.5 && $took < 3.5)}"
pid=

# A second Quit exits at once.
start_player twice
sleep 1.5
xdotool mousemove --window "$win" "$quit_x" "$quit_y" click 1 sleep 0.1 click 1
before=$(date +%s.%N)
wait_exit 5
took=$(elapsed "$before")
check "second Quit exits at once ($took s)" awk "BEGIN{exit !($took < 0.5)}"
check "second Quit status 0" [ "$status" = 0 ]
pid=

finish
