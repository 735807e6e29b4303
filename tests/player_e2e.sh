#!/usr/bin/env bash
# The real player in a real window under Xvfb, its sound captured by ALSA's
# file plugin, driven with xdotool and checked with screenshots.
# Run inside xvfb-run: player_e2e.sh AMBRISE STREAM_CHECK EXAMPLES
set -u
bin=$1
check_bin=$2
examples=$3
work=$(mktemp -d)
export HOME=$work/home
mkdir -p "$HOME"
passes=0
fails=0
pid=

cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    [ -n "${wm:-}" ] && kill "$wm" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

check() {
    local name=$1
    shift
    if "$@"; then
        passes=$((passes + 1))
    else
        echo "FAIL: $name" >&2
        fails=$((fails + 1))
    fi
}

openbox --sm-disable >/dev/null 2>&1 &
wm=$!
sleep 1

# start_player NAME ARGS...: the player with its own capture file; sets pid
# and win.
start_player() {
    local name=$1
    shift
    cap=$work/$name.raw
    printf 'pcm.!default { type file; slave.pcm "nul"; file "%s"; format "raw" }\npcm.nul { type null }\n' \
        "$cap" >"$work/$name.asoundrc"
    ALSA_CONFIG_PATH=$work/$name.asoundrc "$bin" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!
    win=$(xdotool search --sync --onlyvisible --name '^Ambrise 2\.1$' 2>/dev/null | head -n1)
    started=$(date +%s.%N)
}

# click X Y: a click at a point of the main window's client area.
click() {
    xdotool mousemove --window "$win" "$1" "$2" click 1
    sleep 0.3
}

# Positions in the window, as the table lays it out.
quit_x=135 quit_y=200
vol_x=193 vol_y=120

elapsed() { awk "BEGIN{print $(date +%s.%N) - $1}"; }
wait_exit() {  # wait_exit SECONDS: sets status, or "running"
    local end=$(($(date +%s) + $1))
    status=running
    while kill -0 "$pid" 2>/dev/null; do
        [ "$(date +%s)" -gt "$end" ] && return
        sleep 0.02
    done
    wait "$pid"
    status=$?
}

# ---- window, title, class, sound ----
start_player main
check "window found" [ -n "$win" ]
check "title" [ "$(xdotool getwindowname "$win")" = "Ambrise 2.1" ]
check "class" grep -q 'WM_CLASS(STRING) = "ambrise", "Ambrise"' <(xprop -id "$win" WM_CLASS)
check "no device messages with ALSA" [ ! -s "$work/main.err" ]
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

echo "$passes passed, $fails failed"
[ "$fails" = 0 ]
