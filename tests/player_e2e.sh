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
# --help and --version need no display.
env -u DISPLAY "$bin" --help >"$work/long.out" 2>"$work/long.err"
check "--help: status 0" [ $? = 0 ]
check "--help: the usage line first, with -hq" [ "$(head -n1 "$work/long.out")" = "$bin [-hq] [-colorbox [<x> <y>]] [-harmonics <n>] [-timer <minutes>] [-noinhibit] [-background <file>] [<sequence>]" ]
check "--help: the options explained" grep -q -- '--version' "$work/long.out"
check "--help: nothing on standard error" [ ! -s "$work/long.err" ]
env -u DISPLAY "$bin" -harmonics 4 --version >"$work/version.out" 2>"$work/version.err"
check "--version: status 0" [ $? = 0 ]
check "--version: the version" [ "$(cat "$work/version.out")" = "ambrise 2.1" ]
check "--version: no directory made" [ ! -e "$HOME/.ambrise" ]

# ---- no sound device at all: the messages, and a working window ----
printf '# no devices here\n' >"$work/none.conf"
ALSA_CONFIG_PATH=$work/none.conf "$bin" >"$work/none.out" 2>"$work/none.err" &
pid=$!
win=$(timeout "$timeout" xdotool search --sync --onlyvisible --name '^Ambrise 2\.1$' 2>/dev/null | head -n1)
check "no device: the window opens" [ -n "$win" ]
none_err=$(printf 'Failed to open the sound card.\n%s\nSNDCTL_DSP_STEREO: Bad file descriptor\nSNDCTL_DSP_SPEED: Bad file descriptor\nERROR:\aCannot set a sample rate' "$(no_output_advice 'No such file or directory')")
check_soon "no device: standard error" [ "$(cat "$work/none.err")" = "$none_err" ]
check_soon "no device: standard output" [ "$(cat "$work/none.out")" = "no stereo, might as well quit" ]
# A thread that did not pace itself would spin a whole core.
t0=$(awk '{print $14 + $15}' /proc/$pid/stat)
sleep 2
ticks=$(($(awk '{print $14 + $15}' /proc/$pid/stat) - t0))
check "no device: the thread paces itself ($ticks ticks of CPU in 2 s)" [ "$ticks" -lt 50 ]
stop_player

# ---- window, title, class, placement ----
start_player main
check "window found" [ -n "$win" ]
check "title" [ "$(xdotool getwindowname "$win")" = "Ambrise 2.1" ]
check "class" grep -q 'WM_CLASS(STRING) = "ambrise", "Ambrise"' <(xprop -id "$win" WM_CLASS)
check "per-user directory made" [ -d "$HOME/.ambrise" ]
# The link to the shared collection only where it is installed.
if [ -d /usr/local/share/ambrise ]; then
    check "per-user link to the collection" [ "$(readlink "$HOME/.ambrise/public.seq")" = /usr/local/share/ambrise ]
else
    check "no link to a collection that is not installed" [ ! -L "$HOME/.ambrise/public.seq" ]
fi
# Centred with its content: the client area's centre within the frame's
# title bar of the screen's centre.
read -r wx wy < <(origin "$win")
read -r ww wh < <(size "$win")
dx=$((wx + ww / 2 - 512)) dy=$((wy + wh / 2 - 384))
echo "main window: ${ww}x${wh} at $wx,$wy; centre off the screen's by $dx,$dy"
check "main window centred ($dx, $dy)" [ "${dx#-}" -le 30 -a "${dy#-}" -le 30 ]

# ---- the sound: a fade-in to volume 50, then exactly the bank's frames ----
check_soon "sound flows" sound_at_least $((22050 * 4))
check "no device messages with ALSA" [ ! -s "$work/main.err" ]
faded_in() {
    read -r first count < <("$check_bin" match "$cap" 50 3 300 10)
    [ "$count" -ge 11025 ]
}
check_soon "the fade-in reaches volume 50 and the bank's exact frames follow" faded_in
"$check_bin" peaks "$cap" 1102 | awk -v f="$first" '$1 * 11025 < f {print int($4 + 0.5)}' >"$work/fadein.txt"
check "the fade-in rises from silence step by step ($(tr '\n' ' ' <"$work/fadein.txt"))" \
    awk 'NR == 1 && $1 > 2 {exit 1} $1 < last {exit 1} {last = $1; if ($1 > 2 && $1 < 60) mid++} END {exit !(mid >= 3)}' "$work/fadein.txt"
# Paced by the clock: never ahead of real time by more than the device's queue.
bytes=$(stat -c %s "$cap")
limit=$(awk "BEGIN{printf \"%d\", ($(date +%s.%N) - $started + 0.5) * 22050}")
check "never ahead of real time ($bytes bytes, at most $limit)" [ "$bytes" -le "$limit" ]

# A close request is refused with a message.
wmctrl -i -c "$win"
check_soon "close message" grep -qx 'delete event occured' "$work/main.out"
check "close refused" kill -0 "$pid"
check "window stays" xdotool getwindowname "$win" >/dev/null

# ---- the sliders' travel, from screenshots of the volume knob at both ends ----
click "$vol_x" "$vol_y"   # the volume slider takes the focus
before=$(screenshot)
xdotool key Home
check_soon "Home moves the knob to the top" region_changed "$win" $((vol_x - 8)) 100 16 300 "$before"
top=$(screenshot)
xdotool key End
check_soon "End moves the knob to the bottom" region_changed "$win" $((vol_x - 8)) 100 16 300 "$top"
bottom=$(screenshot)
read -r ox oy < <(origin "$win")
# The knob's top edge: the first row of the slider's band with a run of
# white, its highlight.
knob_top() {
    convert "$1" -crop "40x${wh}+$((ox + vol_x - 15))+$oy" +repage -depth 8 txt:- |
        awk -F'[,:]' '/^[0-9]/ && /#FFFFFF/ {n[$2]++} END {for (r in n) if (n[r] >= 10) print r}' | sort -n | head -n1
}
travel=$(($(knob_top "$bottom") - $(knob_top "$top")))
echo "volume slider travel: $travel px"
check "the slider's knob travels at least 200 px ($travel)" [ "${travel:-0}" -ge 200 ]

# The keyboard sets the volume: label and sound follow.
before=$(screenshot)
xdotool key Home
check_soon "the volume label changes" region_changed "$win" $((vol_x - 20)) 80 40 30 "$before"
mark=$(stat -c %s "$cap")
check_soon "more sound" sound_at_least $((mark + 22050 * 2))
tail -c +$((mark + 22050)) "$cap" | head -c 22050 >"$work/later.raw"
level=$("$check_bin" peaks "$work/later.raw" | tail -n1 | cut -d' ' -f4)
check "full volume after Home (level $level)" awk "BEGIN{exit !($level > 120)}"

# ---- Quit fades out to silence, then exits with status 0 ----
click "$quit_x" "$quit_y"
wait_exit
check "Quit exits with 0 (status $status)" [ "$status" = 0 ]
pid=
"$check_bin" peaks "$cap" 1102 | tail -n 40 | awk '{print int($4 + 0.5)}' >"$work/fadeout.txt"
check "heard fading out ($(tr '\n' ' ' <"$work/fadeout.txt"))" \
    awk '$1 > 120 {loud = 1} NR > 1 && loud && $1 > last {exit 1} loud && $1 < 110 {mid++} {last = $1} END {exit !(loud && mid >= 5 && last < 40)}' \
    "$work/fadeout.txt"

# ---- a second Quit ends at once: both clicks reach the stopped player
# together, so the exit fade-out cannot have run its course ----
start_player twice
check_soon "twice: faded in" faded_in
kill -STOP "$pid"
xdotool mousemove --window "$win" "$quit_x" "$quit_y" click 1 click 1
kill -CONT "$pid"
wait_exit
check "second Quit status 0 ($status)" [ "$status" = 0 ]
pid=
level=$(tail -c 2204 "$cap" >"$work/end.raw" && "$check_bin" peaks "$work/end.raw" 1102 | tail -n1 | cut -d' ' -f4)
check "second Quit ends before the fade-out (last level $level)" awk "BEGIN{exit !($level > 40)}"

finish
