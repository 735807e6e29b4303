#!/usr/bin/env bash
# The player as the desktop sees it, on a private session bus: the media
# keys and the sound menu through playerctl and gdbus (status, metadata,
# play-pause heard in the captured stream, stop, volume, quit), the signals
# they send, a second player beside the first, the right-click menu (the
# collection by title, the sleep timer in the title), -timer's fade and
# exit, and a player without any bus.
# Run inside xvfb-run and dbus-run-session: desktop_e2e.sh AMBRISE CAPTURE_LEVEL
bin=$1
level_bin=$2
check_bin=/bin/false
source "$(dirname "$0")/e2e_lib.sh"
export XDG_CONFIG_HOME=$work/config
rate=44100
mon=

extra_cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    [ -n "${pid2:-}" ] && kill "$pid2" 2>/dev/null
    [ -n "$mon" ] && kill "$mon" 2>/dev/null
    [ -n "${wm:-}" ] && kill "$wm" 2>/dev/null
}

name=org.mpris.MediaPlayer2.ambrise
ctl() { playerctl -p ambrise "$@" 2>/dev/null; }
is() { [ "$("${@:2}")" = "$1" ]; }
status_is() { is "$1" ctl status; }
prop() {
    gdbus call --session -d "$name" -o /org/mpris/MediaPlayer2 -m org.freedesktop.DBus.Properties.Get \
        "org.mpris.MediaPlayer2${2:+.$2}" "$1" 2>/dev/null
}
method() { gdbus call --session -d "${2:-$name}" -o /org/mpris/MediaPlayer2 -m "org.mpris.MediaPlayer2.$1" >/dev/null; }
owned() { gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus -m org.freedesktop.DBus.NameHasOwner "$1" |
          grep -q true; }
# The newest tenth of a second of sound, in dBFS.
tail_db() { "$level_bin" tail "$cap" $((rate / 10)); }
silent() { [ "$(tail_db)" = -200.00 ] && sound_at_least $((rate * 4)); }
loud() { awk -v l="$(tail_db)" -v m="$1" 'BEGIN {exit !(l > m)}'; }
between() { awk -v l="$(tail_db)" -v a="$1" -v b="$2" 'BEGIN {exit !(l > a && l < b)}'; }
titled() { xdotool search --onlyvisible --name "$1" 2>/dev/null | grep -qx "$win"; }

# ---- -timer without a usable length: a message and status 1 ----
for bad in 0 -5 abc 1,5 1441 ""; do
    "$bin" -timer "$bad" >/dev/null 2>"$work/bad.err"
    check "-timer '$bad': status 1" [ $? = 1 ]
    check "-timer '$bad': says what it wants" grep -q -- "-timer wants minutes above 0 and at most 1440, not '$bad'" \
        "$work/bad.err"
done

# ---- the remote: status, metadata, play-pause, volume, stop, quit ----
printf '# Evening session\nVOLUME 100\nHOLD 1000\n' >"$work/evening.seq"
start_player remote -hq "$work/evening.seq"
check_soon "the name is on the bus" owned "$name"
gdbus monitor --session -d "$name" >"$work/monitor.log" 2>&1 &
mon=$!
check_soon "status: Playing" status_is Playing ctl status
check "metadata: the sequence's title" is "Evening session" ctl metadata xesam:title
# A second for each of the first two lines, then the hold.
check "metadata: its length in microseconds" is 1002000000 ctl metadata mpris:length
own_track() { ctl metadata mpris:trackid | grep -q "^'*/org/ambrise/"; }
check "metadata: a track of the player's own" own_track
check "identity" bash -c "gdbus call --session -d $name -o /org/mpris/MediaPlayer2 \
    -m org.freedesktop.DBus.Properties.Get org.mpris.MediaPlayer2 Identity | grep -q \"'Ambrise'\""
check_soon "full level heard" loud -3
ctl play-pause
check_soon "play-pause: Paused" status_is Paused
check_soon "play-pause: the stream goes silent" silent
ctl play-pause
check_soon "play-pause again: Playing" status_is Playing
check_soon "play-pause again: the sound returns" loud -3
ctl volume 0.3
check_soon "volume: the slider follows" is "0.300000" ctl volume
# 3 partials at volume 30: 0.3 x 1.75 / 2 of full scale, -11.6 dBFS.
check_soon "volume: heard at 30 ($(tail_db) dBFS)" between -13 -10
ctl stop
check_soon "stop: Stopped" status_is Stopped
check_soon "stop: silent" silent
check "stop: the tone has no length" is "Ambrise tone" ctl metadata xesam:title
check "stop: the slider stays" is "0.300000" ctl volume
ctl play
check_soon "play after stop: the sequence from its beginning" status_is Playing
check_soon "play after stop: heard, at the sequence's own volume" loud -3
changed() { grep -c "PropertiesChanged.*'$1'" "$work/monitor.log"; }
signalled() { [ "$(grep -c "PropertiesChanged.*$1" "$work/monitor.log")" -ge "${2:-1}" ]; }
check_soon "signalled: Paused" signalled "'PlaybackStatus': <'Paused'>"
check_soon "signalled: Stopped" signalled "'PlaybackStatus': <'Stopped'>"
check_soon "signalled: Playing again" signalled "'PlaybackStatus': <'Playing'>" 2
check_soon "signalled: the volume" signalled "'Volume': <0.3"
check_soon "signalled: the tone's metadata" signalled "'xesam:title': <'Ambrise tone'>"
check "remembered in the configuration directory" \
    is "$(readlink -f "$work/evening.seq")" head -n1 "$XDG_CONFIG_HOME/ambrise/last-played"

# A second player takes a name of its own.
ALSA_CONFIG_PATH=$work/remote.asoundrc "$bin" -noinhibit >/dev/null 2>&1 &
pid2=$!
check_soon "a second player: $name.instance$pid2" owned "$name.instance$pid2"
method Quit "$name.instance$pid2"
wait "$pid2"
check "a second player: Quit from the bus exits 0" [ $? = 0 ]
pid2=

# ---- the right-click menu ----
mkdir -p "$HOME/.ambrise"
printf '# 00 First of the collection\nVOLUME 100\nHOLD 500\n' >"$HOME/.ambrise/first.seq"
menu() {  # menu KEYS...: opens the menu over the clock and types the keys
    xdotool mousemove --window "$win" 136 110 click 3
    sleep 0.5
    xdotool key --delay 100 "$@"
}
menu Down Down Return   # Sequences, a separator, "Sleep in 15 minutes"
check_soon "sleep in 15 minutes: shown in the title" titled 'Ambrise 2\.1 .* sleep in 1[45]:[0-9][0-9]$'
menu Down Down Down Down Down Down Down Return   # Sequences, the five times, "Cancel sleep timer"
check_soon "cancelled: the title as it was" titled '^Ambrise 2\.1$'
menu Down Right Return  # Sequences, its first entry
check_soon "Sequences: the chosen one plays" is "00 First of the collection" ctl metadata xesam:title
check_soon "Sequences: heard" loud -3

method Quit
wait_exit
check "Quit from the bus: the fade, then status 0 ($status)" [ "$status" = 0 ]
pid=
kill "$mon" 2>/dev/null
mon=

# ---- -timer 0.2: twelve seconds, fading throughout, then the exit ----
start_timer() {
    cap=$work/timer.raw
    printf 'pcm.!default { type file; slave.pcm "nul"; file "%s"; format "raw" }\npcm.nul { type null }\n' \
        "$cap" >"$work/timer.asoundrc"
    # Its first line runs at start-up: full level from the first frames.
    printf 'VOLUME 100\nHOLD 1000\n' >"$work/loud.seq"
    ALSA_CONFIG_PATH=$work/timer.asoundrc "$bin" -hq -timer 0.2 "$work/loud.seq" 2>"$work/timer.err" &
    pid=$!
    win=$(timeout "$timeout" xdotool search --sync --onlyvisible --name 'sleep in 00:' 2>/dev/null | head -n1)
}
start_timer
check "-timer: the time left in the title" [ -n "$win" ]
timeout=120 wait_exit
check "-timer: the player exits by itself with 0 ($status)" [ "$status" = 0 ]
pid=
"$level_bin" windows "$cap" $((rate / 20)) >"$work/levels.txt"
# From the first window at full level on: never rising, no fall of more
# than 6 dB from one 50 ms window to the next down to -60 dBFS, and below
# -40 dBFS over the last two seconds (the end of the fade and the Quit).
read -r top rise fall seconds tail < <(awk '
    !full && $2 > -3 {full = 1; top = $2}
    full {
        if (n && $2 - last > rise) rise = $2 - last
        if (n && last > -60 && last - $2 > fall) fall = last - $2
        n++; last = $2; v[n] = $2
    }
    END {t = -200; for (i = n - 39; i <= n; i++) if (i > 0 && v[i] > t) t = v[i]
         printf "%s %.2f %.2f %.1f %s\n", full ? top : "none", rise + 0, fall + 0, n / 20, t}' "$work/levels.txt")
echo "-timer 0.2: full level $top dBFS, largest rise $rise dB and fall $fall dB between 50 ms windows," \
    "$seconds s from full level to the end, last two seconds at most $tail dBFS"
check "-timer: starts at full level" [ "$top" != none ]
check "-timer: no rise on the way down ($rise dB)" awk "BEGIN {exit !($rise <= 0.5)}"
check "-timer: no step on the way down ($fall dB)" awk "BEGIN {exit !($fall <= 6)}"
check "-timer: below -40 dBFS at the end ($tail)" awk "BEGIN {exit !($tail < -40)}"
check "-timer: nothing on standard error" [ ! -s "$work/timer.err" ]

# ---- no session bus: the player plays as before, and says nothing ----
DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus start_player nobus -hq "$work/evening.seq"
check_soon "no bus: heard" loud -3
click "$quit_x" "$quit_y"
wait_exit
check "no bus: Quit exits 0 ($status)" [ "$status" = 0 ]
check "no bus: nothing said" [ ! -s "$work/nobus.err" -a ! -s "$work/nobus.out" ]
pid=
finish
