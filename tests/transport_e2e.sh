#!/usr/bin/env bash
# Transport and sequences in the real player: the file dialog, pause and
# resume on the play button's picture, stop, files that are no sequence,
# and a sequence named on the command line heard in the captured sound.
# Run inside xvfb-run: transport_e2e.sh AMBRISE STREAM_CHECK
bin=$1
check_bin=$2
source "$(dirname "$0")/e2e_lib.sh"

# The play button's picture: 44 pixels of triangle, or the two bars.
icon() { pixel_count "$win" $((play_x - 10)) $((transport_y - 10)) 20 20 "$1"; }
icon_is() { [ "$(icon "$1")" = "$2" ]; }
green=00cc00 yellow=ffff00 black=000000
dialogs() { xdotool search --onlyvisible --name '^File selection$' | wc -l; }
dialogs_are() { [ "$(dialogs)" = "$1" ]; }

mkdir -p "$HOME/.ambrise"
printf 'SET 5\nHOLD 100\n' >"$HOME/.ambrise/test.seq"
mkfifo "$work/fifo.seq"
mkdir "$work/dir.seq"

# choose PATH: through the file dialog, with the keyboard.
choose() {
    click "$play_x" "$transport_y"
    dialog=$(timeout "$timeout" xdotool search --sync --onlyvisible --name '^File selection$' | head -n1)
    check "play opens the file dialog" [ -n "$dialog" ]
    timeout "$timeout" xdotool windowactivate --sync "$dialog" 2>/dev/null
    xdotool key ctrl+a
    xdotool type --delay 5 "$1"
    xdotool key Return
    check_soon "OK closes the dialog" dialogs_are 0
}

start_player dialog
# Dialogs open over the middle of the screen: keep the main window clear.
xdotool windowmove "$win" 0 0
check_soon "idle: green triangle" icon_is $green 44
# A FIFO or a directory chosen in the dialog: nothing blocks, still idle.
choose "$work/fifo.seq"
choose "$work/dir.seq"
check "a FIFO or a directory leaves the player idle" icon_is $green 44
choose "$HOME/.ambrise/test.seq"
check_soon "playing: no triangle" icon_is $green 0
bars=$(icon $black)
click "$play_x" "$transport_y"
check_soon "paused: yellow triangle" icon_is $yellow 44
check "playing showed two bars ($bars black pixels, $(icon $black) when paused)" [ $((bars - $(icon $black))) = 88 ]
click "$play_x" "$transport_y"
check_soon "resumed: two bars again" icon_is $black "$bars"
check "no dialog while playing" dialogs_are 0
click "$stop_x" "$transport_y"
check_soon "stopped: green triangle" icon_is $green 44

# Two dialogs at once; Escape closes the one in front.
click "$play_x" "$transport_y"
first=$(timeout "$timeout" xdotool search --sync --onlyvisible --name '^File selection$' | head -n1)
xdotool windowmove "$first" 400 300
click "$play_x" "$transport_y"
check_soon "two dialogs" dialogs_are 2
second=$(xdotool search --onlyvisible --name '^File selection$' | grep -vx "$first" | head -n1)
timeout "$timeout" xdotool windowactivate --sync "$second" 2>/dev/null
xdotool key Escape
check_soon "Escape closes one" dialogs_are 1
stop_player

# A FIFO named on the command line does not block start-up: the window
# comes and the fade-in is heard; a directory leaves the player idle.
start_player fifo "$work/fifo.seq"
check "FIFO: the window opens" [ -n "$win" ]
faded_in() {
    read -r _ count < <("$check_bin" match "$cap" 50 3 300 10)
    [ "$count" -ge 11025 ]
}
check_soon "FIFO: the fade-in is heard" faded_in
check "FIFO: idle" icon_is $green 44
stop_player
start_player dir "$work/dir.seq"
check_soon "directory: the fade-in is heard" faded_in
check "directory: idle" icon_is $green 44
stop_player

# A sequence named on the command line: its first line runs at start-up,
# then one line a second. What is heard is checked in order and in sound
# seconds, whatever the machine's load did to the clock ticks.
printf 'VOLUME 100\nBASE 200\nSET 4\nHOLD 3\nEND\n' >"$work/cmdline.seq"
start_player cmdline "$work/cmdline.seq"
check_soon "the sequence ends: green triangle" icon_is $green 44
mark=$(stat -c %s "$cap")
check_soon "sound goes on after the end" sound_at_least $((mark + 22050 * 2))
stop_player
# Levels in tenths of a second: silence until the first line, then at once
# full volume, with at most one window in between (no fade-in).
"$check_bin" peaks "$cap" 1102 | awk '{print int($4 + 0.5)}' >"$work/levels.txt"
check "volume 100 at once, no fade-in" \
    awk '$1 >= 126 {full = 1} !full && $1 > 2 {mid++} full && $1 < 126 {exit 1} END {exit !(full && mid <= 1)}' \
    "$work/levels.txt"
# Tones in half seconds: the order of the settings, and the hold lasting at
# least its 3 seconds of sound. A window that straddles a change may pair
# the old tone of one ear with the new one of the other: such pairs are
# left out.
"$check_bin" peaks "$cap" 5512 | awk '{print $2 "/" $3}' | grep -xE '300/310|200/210|200/204' | uniq -c |
    awk '{print $2, $1}' >"$work/runs.txt"
runs=$(awk '{printf "%s ", $1}' "$work/runs.txt")
check "heard in order: 300/310, 200/210, 200/204 ($runs)" [ "$runs" = "300/310 200/210 200/204 " ]
held=$(awk '$1 == "200/204" {print $2}' "$work/runs.txt")
check "beat 4 held 3 s and more (${held:-0} half seconds)" [ "${held:-0}" -ge 6 ]

finish
