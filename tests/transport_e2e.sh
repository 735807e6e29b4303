#!/usr/bin/env bash
# Transport and sequences in the real player: the file dialog, pause and
# resume on the play button's picture, stop, and a sequence named on the
# command line heard in the captured sound.
# Run inside xvfb-run: transport_e2e.sh AMBRISE STREAM_CHECK
bin=$1
check_bin=$2
source "$(dirname "$0")/e2e_lib.sh"

# The play button's picture: 44 pixels of triangle, or the two bars.
icon() { pixel_count "$win" $((play_x - 10)) $((transport_y - 10)) 20 20 "$1"; }
green=00cc00 yellow=ffff00 black=000000

mkdir -p "$HOME/.ambrise"
printf 'SET 5\nHOLD 100\n' >"$HOME/.ambrise/test.seq"

start_player dialog
# Dialogs open over the middle of the screen: keep the main window clear.
xdotool windowmove "$win" 0 0
sleep 0.5
check "idle: green triangle" [ "$(icon $green)" = 44 ]
click "$play_x" "$transport_y"
dialog=$(xdotool search --sync --onlyvisible --name '^File selection$' | head -n1)
check "play opens the file dialog" [ -n "$dialog" ]
sleep 0.5
xdotool key ctrl+a
xdotool type --delay 5 "$HOME/.ambrise/test.seq"
xdotool key Return
sleep 1.5
check "OK closes the dialog" [ -z "$(xdotool search --onlyvisible --name '^File selection$')" ]
bars=$(icon $black)
check "playing: no triangle" [ "$(icon $green)" = 0 ]
click "$play_x" "$transport_y"
check "paused: yellow triangle" [ "$(icon $yellow)" = 44 ]
check "playing showed two bars ($bars black pixels, $(icon $black) when paused)" [ $((bars - $(icon $black))) = 88 ]
click "$play_x" "$transport_y"
check "resumed: two bars again" [ "$(icon $black)" = "$bars" ]
check "no dialog while playing" [ -z "$(xdotool search --onlyvisible --name '^File selection$')" ]
click "$stop_x" "$transport_y"
check "stopped: green triangle" [ "$(icon $green)" = 44 ]

# Two dialogs at once; Cancel closes one.
click "$play_x" "$transport_y"
first=$(xdotool search --sync --onlyvisible --name '^File selection$' | head -n1)
xdotool windowmove "$first" 400 300
sleep 0.5
click "$play_x" "$transport_y"
sleep 0.5
dialogs=$(xdotool search --onlyvisible --name '^File selection$' | wc -l)
check "two dialogs ($dialogs)" [ "$dialogs" = 2 ]
xdotool key Escape
sleep 0.5
check "Escape closes one" [ "$(xdotool search --onlyvisible --name '^File selection$' | wc -l)" = 1 ]
stop_player

# A sequence named on the command line: its first line runs at start-up,
# then one line a second, heard in the sound.
printf 'VOLUME 100\nBASE 200\nSET 4\nHOLD 3\nEND\n' >"$work/cmdline.seq"
start_player cmdline "$work/cmdline.seq"
sleep 7
check "the sequence ended: green triangle" [ "$(icon $green)" = 44 ]
stop_player
"$check_bin" peaks "$cap" 5512 >"$work/peaks.txt"
at() { awk -v t="$1" '$1 == t {print $2, $3}' "$work/peaks.txt"; }
level() { awk -v t="$1" '$1 == t {print int($4 + 0.5)}' "$work/peaks.txt"; }
check "0.5 s: volume 100 at once, no fade-in (level $(level 0.50))" [ "$(level 0.50)" -ge 126 ]
check "0.5 s: 300 and 310 Hz ($(at 0.50))" [ "$(at 0.50)" = "300 310" ]
check "1.5 s: base 200, beat still 10 ($(at 1.50))" [ "$(at 1.50)" = "200 210" ]
check "2.5 s: beat 4 ($(at 2.50))" [ "$(at 2.50)" = "200 204" ]
check "5.0 s: still 200 and 204 after the hold ($(at 5.00))" [ "$(at 5.00)" = "200 204" ]

finish
