#!/usr/bin/env bash
# The color box and the help window in the real player.
# Run inside xvfb-run: colorbox_e2e.sh AMBRISE STREAM_CHECK
bin=$1
check_bin=$2
source "$(dirname "$0")/e2e_lib.sh"

box_window() { xdotool search --onlyvisible --name '^ambrise$' | head -n1; }
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

printf 'SET 0\nHOLD 1000\n' >"$work/zero.seq"
start_player zero -colorbox 300 200 "$work/zero.seq"
sleep 1
box=$(box_window)
check "a color box window" [ -n "$box" ]
check "of 300 x 200" [ "$(size "$box")" = "300 200" ]
rgb=$(box_rgb)
check "beat 0, offset 0: green ($rgb)" near "$rgb" 0 255 0
read -r mw mh_with < <(size "$win")

# The offset slider, from the keyboard: focus it with a click on its knob.
click "$offset_x" "$offset_y"
for _ in $(seq 25); do xdotool key Right; done
sleep 0.3
rgb=$(box_rgb)
check "offset 0.25: olive ($rgb)" near "$rgb" 127 127 0
xdotool key End
sleep 0.3
rgb=$(box_rgb)
check "offset 0.5: red ($rgb)" near "$rgb" 255 0 0
xdotool key Home
sleep 0.3
rgb=$(box_rgb)
check "offset -0.5: red ($rgb)" near "$rgb" 255 0 0

# Closing the box leaves the player running.
wmctrl -i -c "$box"
sleep 0.5
check "box closed" [ -z "$(box_window)" ]
check "player still running" kill -0 "$pid"
check "main window still there" xdotool getwindowname "$win"
size_before=$(stat -c %s "$cap")
sleep 1
check "sound still running" [ "$(stat -c %s "$cap")" -gt "$size_before" ]

# Help: three clicks, three windows; Close destroys one. The help windows
# open in the middle of the screen: move the main window out of their way.
xdotool windowmove "$win" 0 0
sleep 0.5
for _ in 1 2 3; do click "$logo_x" "$logo_y"; done
sleep 0.5
helps=$(xdotool search --onlyvisible --name '^Ambrise Help$')
check "three help windows" [ "$(echo "$helps" | wc -l)" = 3 ]
help=$(echo "$helps" | head -n1)
read -r hw hh < <(size "$help")
# Tab never takes the focus into the text: typing after it changes nothing.
xdotool windowactivate --sync "$help" 2>/dev/null || xdotool windowfocus --sync "$help"
read -r hx hy < <(origin "$help")
import -window root "$work/help1.png"
xdotool key Tab Tab Tab
xdotool type "qqqq"
sleep 0.3
import -window root "$work/help2.png"
text_area="${hw}x$((hh - 40))+$hx+$hy"
convert "$work/help1.png" -crop "$text_area" +repage "$work/text1.png"
convert "$work/help2.png" -crop "$text_area" +repage "$work/text2.png"
diff=$(compare -metric AE "$work/text1.png" "$work/text2.png" null: 2>&1 | cut -d' ' -f1)
check "the text took no typing ($diff pixels changed)" [ "$diff" = 0 ]
click $((hw / 2)) $((hh - 10)) "$help"
sleep 0.5
check "Close destroys one" [ "$(xdotool search --onlyvisible --name '^Ambrise Help$' | wc -l)" = 2 ]
check "player still running after Close" kill -0 "$pid"
stop_player

# A beat of 10 Hz: the colour moves between screenshots.
start_player moving -colorbox 200 150
sleep 1
c1=$(box_rgb)
sleep 0.13
c2=$(box_rgb)
sleep 0.17
c3=$(box_rgb)
check "colour changes at 10 Hz ($c1 / $c2 / $c3)" [ "$c1" != "$c2" -o "$c2" != "$c3" ]
stop_player

# A height of 0: no box, no offset slider.
start_player none -colorbox 300 0
sleep 1
check "no box for a height of 0" [ -z "$(box_window)" ]
read -r _ mh_without < <(size "$win")
check "no offset slider ($mh_without < $mh_with)" [ "$mh_without" -lt "$mh_with" ]
stop_player

finish
