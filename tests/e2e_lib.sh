# Shared by the end-to-end scripts: run the real player under Xvfb with a
# window manager, capture its sound through ALSA's file plugin, drive it
# with xdotool and look at screenshots.
# The caller sets bin and check_bin before sourcing.
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
export HOME=$work/home
mkdir -p "$HOME"
pid=

extra_cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    [ -n "${wm:-}" ] && kill "$wm" 2>/dev/null
}

openbox --sm-disable >/dev/null 2>&1 &
wm=$!
sleep 1

# start_player NAME ARGS...: the player with a capture file of its own;
# sets pid, win (the main window) and cap.
start_player() {
    local name=$1
    shift
    cap=$work/$name.raw
    printf 'pcm.!default { type file; slave.pcm "nul"; file "%s"; format "raw" }\npcm.nul { type null }\n' \
        "$cap" >"$work/$name.asoundrc"
    ALSA_CONFIG_PATH=$work/$name.asoundrc "$bin" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pid=$!
    win=$(xdotool search --sync --onlyvisible --name '^Ambrise 2\.1$' 2>/dev/null | head -n1)
    sleep 0.3
}

stop_player() {
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=
}

# Points of the main window's client area, as its table lays it out.
logo_x=110 logo_y=50
stop_x=131 play_x=157 transport_y=173
quit_x=135 quit_y=200
vol_x=193 vol_y=120
offset_x=109 offset_y=243

click() {  # click X Y [WINDOW]: a click at a point of a window's client area
    xdotool mousemove --window "${3:-$win}" "$1" "$2" click 1
    sleep 0.4
}

# origin WINDOW: the absolute position of its client area, "X Y".
origin() {
    xwininfo -id "$1" | awk '/Absolute upper-left X/ {x = $4} /Absolute upper-left Y/ {y = $4} END {print x, y}'
}
# size WINDOW: "W H".
size() {
    xwininfo -id "$1" | awk '/^ *Width:/ {w = $2} /^ *Height:/ {h = $2} END {print w, h}'
}

# pixel_count WINDOW X Y W H COLOR: pixels of an exact colour (hex rrggbb)
# in a region of a window's client area, from a screenshot.
pixel_count() {
    local o
    read -r ox oy < <(origin "$1")
    import -window root "$work/shot.png"
    convert "$work/shot.png" -crop "${4}x${5}+$((ox + $2))+$((oy + $3))" +repage txt:- |
        grep -ci "#$6\b"
}

# color_at WINDOW X Y: the colour of one pixel, "R G B" in 0..255.
color_at() {
    read -r ox oy < <(origin "$1")
    import -window root "$work/shot.png"
    convert "$work/shot.png" -crop "1x1+$((ox + $2))+$((oy + $3))" +repage -depth 8 txt:- |
        sed -n 's/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1 \2 \3/p' | head -n1
}

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
