#!/usr/bin/env bash
# The real player with a background sound under the tone, captured through
# ALSA's file plugin under Xvfb: -background, a sequence's BACKGROUND lines
# (a path relative to the sequence, with a space in it), the window's menu,
# a file that does not open, and the high-quality stream's rate.
# Run inside xvfb-run: background_e2e.sh AMBRISE STREAM_CHECK
set -u
bin=$1
check_bin=$2
source "$(dirname "$0")/e2e_lib.sh"

# Sines made by sox at 48 kHz, which the player resamples to its own rate,
# long enough that no measurement reaches their loop.
mkdir -p "$work/seqs/sounds"
sox -n -r 48000 -c 2 -b 16 "$work/sine1k.wav" synth 30 sine 1000 vol 0.5
sox -n -r 48000 -c 2 -b 16 "$work/seqs/sounds/two k.wav" synth 30 sine 2000 vol 0.5

# levels CAPTURE BITS RATE FROM SECONDS HZ...: sets the variable `db` to the list.
levels() { db=$("$check_bin" tones "$@"); echo "    levels at ${*:6} Hz from ${4}s: $db"; }
# near VALUE EXPECTED DB: within DB decibels.
near() { awk -v v="$1" -v e="$2" -v d="$3" 'BEGIN{x = v - e; exit !(x * x <= d * d)}'; }
below() { awk -v v="$1" -v e="$2" 'BEGIN{exit !(v < e)}'; }
dbfs() { awk -v a="$1" 'BEGIN{printf "%.1f", 20 * log(a) / log(10)}'; }

# The level a sine of amplitude 0.5 is heard at: its level in percent, the
# volume in percent; the tone's fundamental at that volume is half of it.
bed_db() { dbfs "$(awk -v l="$1" -v v="$2" 'BEGIN{print 0.5 * l / 100 * v / 100}')"; }
tone_db=$(dbfs "$(awk 'BEGIN{print 127 / 2 * 0.5 / 128}')")

printf 'VOLUME 50\nHOLD 1000\n' >"$work/hold.seq"

# ---- -background in the default stream, then Quit: no underrun line ----
start_player plain -background "$work/sine1k.wav" "$work/hold.seq"
check_soon "plain: five seconds captured" sound_at_least $((5 * 11025 * 2))
levels "$cap" 8 11025 2 3 300 1000
read -r t b <<<"$db"
check "plain: the tone at 300 Hz ($t, expected $tone_db)" near "$t" "$tone_db" 1.5
check "plain: the background at 30% under volume 50 ($b, expected $(bed_db 30 50))" near "$b" "$(bed_db 30 50)" 1.5

# ---- the menu: level 50, then No background ----
menu() {  # menu KEYS...: opens the menu over the clock and types the keys
    xdotool mousemove --window "$win" 136 110 click 3
    sleep 0.5
    xdotool key --delay 100 "$@"
}
# Without a sleep timer the last items are the levels and "No background".
menu Up Up Return
sleep 1.5
levels "$cap" 8 11025 -1 1 1000
check "menu: level 50 is heard ($db, expected $(bed_db 50 50))" near "$db" "$(bed_db 50 50)" 1.5
menu Up Return
sleep 1.5
levels "$cap" 8 11025 -1 1 300 1000
read -r t b <<<"$db"
check "menu: No background silences it ($b)" below "$b" -50
check "menu: the tone plays on ($t)" near "$t" "$tone_db" 1.5
click "$quit_x" "$quit_y"
wait_exit
check "plain: Quit exits with 0 ($status)" [ "$status" = 0 ]
pid=
check "plain: nothing on standard error (no underrun line): $(head -c 300 "$work/plain.err")" [ ! -s "$work/plain.err" ]

# ---- the menu's file chooser: a file chosen plays at the level shown ----
mkdir -p "$HOME/.local/share"   # where the toolkit records the file as recently used
start_player chooser "$work/hold.seq"
# "No background" is greyed out with nothing chosen: the file chooser is
# five up, past the four levels.
menu Up Up Up Up Up Return
dialog=$(timeout "$timeout" xdotool search --sync --onlyvisible --name '^Background sound$' 2>/dev/null | head -n1)
check "chooser: the file chooser opens" [ -n "$dialog" ]
if [ -n "$dialog" ]; then
    # Typed into the focused dialog: the toolkit ignores keys sent to a window.
    wait_for "$timeout" viewable "$dialog"
    xdotool windowactivate --sync "$dialog" 2>/dev/null
    sleep 0.5
    xdotool key ctrl+l
    sleep 0.5
    xdotool type --delay 20 "$work/sine1k.wav"
    sleep 0.5
    xdotool key Return
    check_soon "chooser: the dialog closes" bash -c "! xdotool search --onlyvisible --name '^Background sound\$' >/dev/null 2>&1"
fi
sleep 2
levels "$cap" 8 11025 -1 1 1000
check "chooser: the chosen file at level 30 ($db, expected $(bed_db 30 50))" near "$db" "$(bed_db 30 50)" 1.5
stop_player

# ---- a sequence's BACKGROUND lines, relative to its own directory ----
printf 'VOLUME 50\nBACKGROUND 40 sounds/two k.wav\nHOLD 6\nBACKGROUND OFF\nHOLD 1000\n' >"$work/seqs/bed.seq"
start_player word "$work/seqs/bed.seq"
check_soon "word: twelve seconds captured" sound_at_least $((12 * 11025 * 2))
stop_player
levels "$cap" 8 11025 3 3 300 2000
read -r t b <<<"$db"
check "word: the file the line names at 40% ($b, expected $(bed_db 40 50))" near "$b" "$(bed_db 40 50)" 1.5
levels "$cap" 8 11025 -2 2 300 2000
read -r t b <<<"$db"
check "word: gone after OFF ($b)" below "$b" -50
check "word: the tone plays on ($t)" near "$t" "$tone_db" 1.5
check "word: nothing on standard error" [ ! -s "$work/word.err" ]

# ---- a file that does not open: said once, and the tone plays ----
printf 'VOLUME 50\nBACKGROUND 30 missing.wav\nHOLD 2\nBACKGROUND 50 missing.wav\nHOLD 1000\n' >"$work/seqs/missing.seq"
start_player missing -background "$work/nothing.wav" "$work/seqs/missing.seq"
check_soon "missing: six seconds captured" sound_at_least $((6 * 11025 * 2))
stop_player
echo "    a file that does not open, what the player says:"
sed 's/^/    /' "$work/missing.err"
check "missing: the command line's file named once" [ "$(grep -c "nothing.wav" "$work/missing.err")" = 1 ]
check "missing: the sequence's file named once" [ "$(grep -c "seqs/missing.wav" "$work/missing.err")" = 1 ]
check "missing: two lines in all" [ "$(wc -l <"$work/missing.err")" = 2 ]
levels "$cap" 8 11025 2 3 300
check "missing: the tone plays ($db)" near "$db" "$tone_db" 1.5

# ---- the high-quality stream: the background at the granted rate ----
start_player hq -hq -background "$work/sine1k.wav" "$work/hold.seq"
check_soon "hq: four seconds captured" sound_at_least $((4 * 44100 * 4))
stop_player
levels "$cap" 16 44100 2 2 300 1000
read -r t b <<<"$db"
hq_tone=$(dbfs "$(awk 'BEGIN{print 32767 / 2 * 0.5 / 32768}')")
check "hq: the tone ($t, expected $hq_tone)" near "$t" "$hq_tone" 1
check "hq: the background at 30% ($b, expected $(bed_db 30 50))" near "$b" "$(bed_db 30 50)" 1
check "hq: nothing on standard error" [ ! -s "$work/hq.err" ]
finish
