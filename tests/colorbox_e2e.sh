#!/usr/bin/env bash
# The color box and the help window in the real player.
# Run inside xvfb-run: colorbox_e2e.sh AMBRISE STREAM_CHECK
bin=$1
check_bin=$2
source "$(dirname "$0")/e2e_lib.sh"

box_window() { xdotool search --onlyvisible --name '^ambrise$' | head -n1; }
box_shown() { box=$(box_window) && [ -n "$box" ] && viewable "$box"; }
# box_rgb: the colour in the middle of the box, "R G B".
box_rgb() {
    local b
    b=$(box_window)
    read -r w h < <(size "$b")
    color_at "$b" $((w / 2)) $((h / 2))
}
near() {  # near "R G B" R G B: each within 24
    read -r r g b <<<"$1"
    [ -n "$r" ] && awk -v r="$r" -v g="$g" -v b="$b" -v R="$2" -v G="$3" -v B="$4" \
        'function d(x){return x < 0 ? -x : x} BEGIN{exit !(d(r-R) < 24 && d(g-G) < 24 && d(b-B) < 24)}'
}
# expected OFFSET: the colour for that offset, from the phases heard: how far
# the right fundamental runs ahead of the left one.
expected() {
    awk -v d="$ahead" -v o="$1" 'BEGIN {
        x = o - d; x -= int(x); if (x < 0) x += 1; if (x > 0.5) x = 1 - x
        printf "%d %d 0", 2 * x * 255, (1 - 2 * x) * 255 }'
}
box_shows() { near "$(box_rgb)" $(expected "$1"); }

# A beat of 0: the phases stand still, whenever the first line ran.
printf 'SET 0\nHOLD 1000\n' >"$work/zero.seq"
start_player zero -colorbox 300 200 "$work/zero.seq"
check_soon "a color box window" box_shown
check "of 300 x 200" [ "$(size "$box")" = "300 200" ]
check_soon "a second of sound" sound_at_least $((22050 * 3))
ahead=$("$check_bin" phase "$cap" 300)
check_soon "beat 0, offset 0: the colour of the phases heard ($ahead cycles apart: $(expected 0))" box_shows 0
read -r mw mh_with < <(size "$win")

# The offset slider, from the keyboard: focus it with a click on its knob.
click "$offset_x" "$offset_y"
for _ in $(seq 25); do xdotool key Right; done
check_soon "offset 0.25 ($(expected 0.25))" box_shows 0.25
xdotool key End
check_soon "offset 0.5 ($(expected 0.5))" box_shows 0.5
xdotool key Home
check_soon "offset -0.5 ($(expected -0.5))" box_shows -0.5

# Closing the box leaves the player running.
wmctrl -i -c "$box"
check_soon "box closed" [ -z "$(box_window)" ]
check "player still running" kill -0 "$pid"
check "main window still there" xdotool getwindowname "$win" >/dev/null
mark=$(stat -c %s "$cap")
check_soon "sound still running" sound_at_least $((mark + 22050))

# Help: three clicks, three windows; Close destroys one. The help windows
# open in the middle of the screen: move the main window out of their way.
xdotool windowmove "$win" 0 0
helps_are() { [ "$(xdotool search --onlyvisible --name '^Ambrise Help$' | wc -l)" = "$1" ]; }
for n in 1 2 3; do
    click "$logo_x" "$logo_y"
    check_soon "help window $n" helps_are $n
done
help=$(xdotool search --onlyvisible --name '^Ambrise Help$' | head -n1)
read -r hw hh < <(size "$help")
read -r hx hy < <(origin "$help")
# Tab never takes the focus into the text: typing after it changes nothing;
# it reaches Close, which Return then presses.
timeout "$timeout" xdotool windowactivate --sync "$help" 2>/dev/null || timeout "$timeout" xdotool windowfocus --sync "$help"
text1=$(screenshot)
xdotool key Tab
xdotool type "qqqq"
xdotool key Tab
text2=$(screenshot)
text_area="${hw}x$((hh - 40))+$hx+$hy"
convert "$text1" -crop "$text_area" +repage "$work/text1.png"
convert "$text2" -crop "$text_area" +repage "$work/text2.png"
diff=$(compare -metric AE "$work/text1.png" "$work/text2.png" null: 2>&1 | cut -d' ' -f1)
check "the text took no typing ($diff pixels changed)" [ "$diff" = 0 ]
xdotool key Return
check_soon "Tab reaches Close: Return closes the window" helps_are 2
help=$(xdotool search --onlyvisible --name '^Ambrise Help$' | head -n1)
read -r hw hh < <(size "$help")
click $((hw / 2)) $((hh - 10)) "$help"
check_soon "a click on Close destroys one" helps_are 1
check "player still running after Close" kill -0 "$pid"
stop_player

# A beat of 10 Hz: the colour moves.
start_player moving -colorbox 200 150
first=$(box_rgb)
moved() { [ "$(box_rgb)" != "$first" ]; }
check_soon "colour changes with a beat ($first)" moved
stop_player

# The box is exactly the size asked, beside the main window, not over it.
start_player small -colorbox 200 100
wait_for "$timeout" box_shown
check "200 x 100 is 200 x 100 ($(size "$box"))" [ "$(size "$box")" = "200 100" ]
read -r mx my < <(origin "$win")
read -r mw mh < <(size "$win")
read -r bx by < <(origin "$box")
echo "main ${mw}x${mh} at $mx,$my; box 200x100 at $bx,$by"
check "the box beside the main window" [ "$bx" -ge $((mx + mw)) -a "$bx" -le $((mx + mw + 60)) ]
check "level with it" [ "$by" -ge "$my" -a $((by + 100)) -le $((my + mh)) ]
stop_player
# The default 640 x 480 does not fit beside a centred main window on this
# 1024 x 768 screen: the two stand side by side, centred together.
start_player large -colorbox
wait_for "$timeout" box_shown
read -r mx my < <(origin "$win")
read -r mw mh < <(size "$win")
read -r bx by < <(origin "$box")
echo "main ${mw}x${mh} at $mx,$my; box $(size "$box") at $bx,$by"
check "640 x 480 beside the main window, not over it" [ "$bx" -ge $((mx + mw)) -a $((bx + 640)) -le 1024 ]
stop_player
# Larger than the screen: limited to it, no X error.
start_player huge -colorbox 100000 100000
wait_for "$timeout" box_shown
check "a huge box is limited to the screen ($(size "$box"))" [ "$(size "$box")" = "1024 768" ]
check "no X error: still running" kill -0 "$pid"
check "nothing on standard error" [ ! -s "$work/huge.err" ]
stop_player

# A height of 0: no box, no offset slider.
start_player none -colorbox 300 0
check "no box for a height of 0" [ -z "$(box_window)" ]
read -r _ mh_without < <(size "$win")
check "no offset slider ($mh_without < $mh_with)" [ "$mh_without" -lt "$mh_with" ]
stop_player

finish
