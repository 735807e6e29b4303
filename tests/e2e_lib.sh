# Shared by the end-to-end scripts: run the real player under Xvfb with a
# window manager, capture its sound through ALSA's file plugin, drive it
# with xdotool and look at screenshots.
# Every check waits for a state or an event, with a generous timeout, and
# never measures how fast anything happened: the tests run on loaded
# machines.
# The caller sets bin and check_bin before sourcing.
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
export HOME=$work/home
mkdir -p "$HOME"
pid=
timeout=60   # seconds any awaited state may take

extra_cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    [ -n "${wm:-}" ] && kill "$wm" 2>/dev/null
}

# wait_for SECONDS COMMAND...: until the command succeeds; false on timeout.
wait_for() {
    local end=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -ge "$end" ] && return 1
        sleep 0.1
    done
}

# check_soon NAME COMMAND...: the command succeeds within the timeout.
check_soon() {
    local name=$1
    shift
    check "$name" wait_for "$timeout" "$@"
}

openbox --sm-disable >/dev/null 2>&1 &
wm=$!
wait_for "$timeout" wmctrl -m >/dev/null 2>&1

viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }

# start_player NAME ARGS...: the player with a capture file of its own;
# sets pid, win (the main window, once viewable) and cap.
start_player() {
    local name=$1
    shift
    cap=$work/$name.raw
    printf 'pcm.!default { type file; slave.pcm "nul"; file "%s"; format "raw" }\npcm.nul { type null }\n' \
        "$cap" >"$work/$name.asoundrc"
    started=$(date +%s.%N)
    ALSA_CONFIG_PATH=$work/$name.asoundrc "$bin" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!
    win=$(timeout "$timeout" xdotool search --sync --onlyvisible --name '^Ambrise 2\.1$' 2>/dev/null | head -n1)
    [ -n "$win" ] && wait_for "$timeout" viewable "$win"
}

stop_player() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
}

# Points of the main window's client area, as its table lays it out.
logo_x=110 logo_y=50
stop_x=131 play_x=157 transport_y=348
quit_x=136 quit_y=400
vol_x=194 vol_y=250
offset_x=109 offset_y=442

click() {  # click X Y [WINDOW]: a click at a point of a window's client area
    xdotool mousemove --window "${3:-$win}" "$1" "$2" click 1
}

# origin WINDOW: the absolute position of its client area, "X Y".
origin() {
    xwininfo -id "$1" | awk '/Absolute upper-left X/ {x = $4} /Absolute upper-left Y/ {y = $4} END {print x, y}'
}
# size WINDOW: "W H".
size() {
    xwininfo -id "$1" | awk '/^ *Width:/ {w = $2} /^ *Height:/ {h = $2} END {print w, h}'
}

# screenshot: the whole screen into a new file; prints its name.
screenshot() {
    local f
    f=$(mktemp "$work/shotXXXXXX.png")
    import -window root "$f"
    echo "$f"
}

# pixel_count WINDOW X Y W H COLOR: pixels of an exact colour (hex rrggbb)
# in a region of a window's client area, from a screenshot.
pixel_count() {
    local f
    read -r ox oy < <(origin "$1")
    f=$(screenshot)
    convert "$f" -crop "${4}x${5}+$((ox + $2))+$((oy + $3))" +repage txt:- | grep -ci "#$6\b"
}

# color_at WINDOW X Y: the colour of one pixel, "R G B" in 0..255.
color_at() {
    local f
    read -r ox oy < <(origin "$1")
    f=$(screenshot)
    convert "$f" -crop "1x1+$((ox + $2))+$((oy + $3))" +repage -depth 8 txt:- |
        sed -n 's/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3/p' | head -n1
}

# region_changed WINDOW X Y W H FILE: the region differs from the same
# region of an earlier screenshot.
region_changed() {
    local f crop
    read -r ox oy < <(origin "$1")
    f=$(screenshot)
    crop="${4}x${5}+$((ox + $2))+$((oy + $3))"
    convert "$6" -crop "$crop" +repage "$work/region_a.png"
    convert "$f" -crop "$crop" +repage "$work/region_b.png"
    [ "$(compare -metric AE "$work/region_a.png" "$work/region_b.png" null: 2>&1 | cut -d' ' -f1)" != 0 ]
}

# sound_at_least BYTES: the capture has grown to that size.
sound_at_least() { [ "$(stat -c %s "$cap" 2>/dev/null || echo 0)" -ge "$1" ]; }

# no_output_advice ALSA_ERROR: what the player says when no sound output opens.
no_output_advice() {
    printf '%s\n%s' "No sound output: ALSA's default device (a card, PulseAudio or PipeWire) did not open ($1), nor did the OSS node /dev/dsp." \
        'To hear it, start PipeWire or PulseAudio (packages pipewire-alsa, or pulseaudio and libasound2-plugins), or load the snd-pcm-oss module.'
}

exited() { ! kill -0 "$pid" 2>/dev/null; }

wait_exit() {  # wait_exit: sets status, or "running" after the timeout
    status=running
    wait_for "$timeout" exited || return
    wait "$pid"
    status=$?
}
