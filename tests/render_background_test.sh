#!/usr/bin/env bash
# Background sound files in the renderer and the checker, on files made
# here with sox: the mix measured against the same render without the
# background (its frequency, level and steps, loop points included), the
# glides, FADE and --loudness, paths from a sequence file, standard input
# and home, the same bytes twice, and bad files refused before anything is
# written. A fourth argument ON (the sanitizer build) skips the memory
# measurement.
set -u
bin=$1
check_bin=$2
probe=$3
sanitized=${4:-OFF}
source "$(dirname "$0")/render_test_lib.sh"

near() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { x = a - b; exit !(a != "" && x <= d && -x <= d) }'; }
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && a + 0 <= b + 0) }'; }
probed() { sed -n "s/^$1 //p" probe.txt; }
diff_of() { "$probe" diff "$1" "$2" >probe.txt; }

# A 1 kHz sine at half scale, 48 kHz mono, 750.33 cycles long. The loop's
# crossfade, a quarter of the clip, mixes samples three quarters of a cycle
# apart: uncorrelated, so its equal-power curves keep the level.
sox -n -r 48000 -c 1 -b 16 clip.wav synth 36016s sine 1000 vol 0.5
# At level 50 and volume 50 its amplitude is an eighth of full scale, and a
# sine's largest step between samples at 44.1 kHz is 2 pi 1000 / 44100 of
# that; a little more is allowed for rounding and the 50 ms glides.
amplitude=$(awk 'BEGIN { print 0.125 * 32767 }')
step_limit=$(awk -v a="$amplitude" 'BEGIN { print a * 2 * 3.14159265 * 1000 / 44100 * 1.01 + 4 }')
expected_db=$(awk -v a="$amplitude" 'BEGIN { print 20 * log(a / sqrt(2) / 32767) / log(10) }')

printf 'BACKGROUND 50 clip.wav\nHOLD 4\n' >bg.seq
printf 'BACKGROUND OFF\nHOLD 4\n' >plain.seq
run --clean bg.seq bg.wav
check "render with a background" [ "$status" = 0 -a -z "$err" ]
run --clean plain.seq plain.wav
check "render without" [ "$status" = 0 ]
diff_of bg.wav plain.wav
check "background at 1000 Hz, resampled ($(probed peak_hz) Hz)" near "$(probed peak_hz)" 1000 6
check "background's power at its frequency ($(probed share))" at_most 0.99 "$(probed share)"
check "background level ($(probed rms_dbfs) dBFS, expected $expected_db)" near "$(probed rms_dbfs)" "$expected_db" 0.5
check "no step past the sine's own ($(probed largest_step), at most $step_limit)" \
    at_most "$(probed largest_step)" "$step_limit"
check "mono in both ears" [ "$(probed sides_differ)" = 0 ]
run --clean bg.seq again.wav
check "the same bytes twice" cmp -s bg.wav again.wav
# Without a background the render is the one it always was, in both modes.
printf 'HOLD 4\n' >tone.seq
"$bin" tone.seq tone.wav && "$bin" plain.seq plain_exact.wav
check "BACKGROUND OFF alone changes nothing" cmp -s tone.wav plain_exact.wav
"$bin" --clean tone.seq tone_clean.wav
check "nor in the clean mode" cmp -s tone_clean.wav plain.wav

# OFF glides out: no larger step, and silence after the glide.
printf 'BACKGROUND 50 clip.wav\nHOLD 2\nBACKGROUND OFF\nHOLD 2\n' >off.seq
"$bin" --clean off.seq off.wav
diff_of off.wav plain.wav
check "OFF glides ($(probed largest_step), at most $step_limit)" at_most "$(probed largest_step)" "$step_limit"
check "silent after OFF ($(probed silent_tail_frames) frames)" at_most $((2 * 44100 - 2205)) "$(probed silent_tail_frames)"
# A change of level glides too, in the default mode as well.
printf 'BACKGROUND 50 clip.wav\nHOLD 2\nBACKGROUND 100 clip.wav\nHOLD 2\n' >level.seq
"$bin" level.seq level.wav && "$bin" plain.seq plain_exact.wav
diff_of level.wav plain_exact.wav
check "a new level glides ($(probed largest_step))" at_most "$(probed largest_step)" "$(awk -v l="$step_limit" 'BEGIN { print 2 * l }')"

# A closing fade takes the background down with the tone, to silence.
printf 'BACKGROUND 80 clip.wav\nHOLD 2\nFADE 0 2\nHOLD 1\n' >fade.seq
"$bin" --clean fade.seq fade.wav
check "the fade silences the background" [ "$("$probe" peak fade.wav $((4 * 44100 + 4410)) $((5 * 44100)))" = 0 ]
printf 'BACKGROUND 80 clip.wav\nVOLUME 0\nHOLD 1\nVOLUME 50\nHOLD 1\n' >volume.seq
"$bin" --clean volume.seq volume.wav
check "VOLUME 0 silences it" [ "$("$probe" peak volume.wav 0 44100)" = 0 ]
check "and VOLUME brings it back" [ "$("$probe" peak volume.wav 50000 88200)" -gt 0 ]

# Paths: against the sequence's directory, the working directory for
# standard input, and ~/ for home.
mkdir -p sub/deeper
cp clip.wav sub/deeper/clip.wav
printf 'BACKGROUND 50 deeper/clip.wav\nHOLD 4\n' >sub/relative.seq
run --clean sub/relative.seq relative.wav
check "relative to the sequence's directory" cmp -s relative.wav bg.wav
run --clean - stdin.wav <bg.seq
check "standard input resolves against the working directory" cmp -s stdin.wav bg.wav
(cd sub && "$bin" --clean - ../stdin_sub.wav <../bg.seq 2>../err.txt)
check "from another working directory the file is missing" [ $? = 251 -a ! -e stdin_sub.wav ]
printf 'BACKGROUND 50 ~/deeper/clip.wav\nHOLD 4\n' >home.seq
HOME="$work/sub" "$bin" --clean home.seq home.wav
check "~/ is home" cmp -s home.wav bg.wav
printf 'BACKGROUND 50 my clip, 2.wav\nHOLD 4\n' >spaces.seq
cp clip.wav "my clip, 2.wav"
run --clean spaces.seq spaces.wav
check "a name with spaces and commas" cmp -s spaces.wav bg.wav

# --loudness brings the whole mix to the target, as another meter hears it.
printf 'VOLUME 30\nBACKGROUND 100 clip.wav\nHOLD 20\n' >loud.seq
run --loudness -16 loud.seq loud.wav
check "--loudness with a background" [ "$status" = 0 ]
ffmpeg -nostats -hide_banner -nostdin -i loud.wav -af ebur128 -f null - 2>ff.txt </dev/null
lufs=$(awk '/Integrated loudness:/ {i = 1} i && $1 == "I:" {print $2; exit}' ff.txt)
check "--loudness -16 reached with the background (ffmpeg $lufs)" near "$lufs" -16 0.3
run --measure loud.seq
"$bin" --clean loud.seq loud_clean.wav
ffmpeg -nostats -hide_banner -nostdin -i loud_clean.wav -af ebur128 -f null - 2>ff.txt </dev/null
lufs=$(awk '/Integrated loudness:/ {i = 1} i && $1 == "I:" {print $2; exit}' ff.txt)
check "--measure hears the background (ffmpeg $lufs)" near "$(sed -n 's/^integrated_lufs //p' out.txt)" "$lufs" 0.2

measured=$(sed -n 's/^integrated_lufs //p' out.txt)
estimate=$("$check_bin" loud.seq | sed -n 's/.*clean render about \(.*\) LUFS$/\1/p' | sed 's/−/-/')
check "the checker's estimate hears it too ($estimate, measured $measured)" near "$estimate" "$measured" 0.3

# Bad files: told with the file and the line before anything is written.
echo "no sound in here" >x.wav
printf 'HOLD 1\nBACKGROUND 50 missing.wav\nHOLD 2\n' >missing.seq
printf 'HOLD 1\nBACKGROUND 50 x.wav\nHOLD 2\n' >text.seq
printf 'HOLD 1\nBACKGROUND 50\nHOLD 2\n' >nofile.seq
for name in missing text nofile; do
    run --clean $name.seq new.wav
    check "$name: status 251" [ "$status" = 251 ]
    check "$name: no output" [ ! -e new.wav ]
    check "$name: names the line" grep -q "^ERROR: $name.seq: line 2: " err.txt
    cp bg.wav kept.wav
    run $name.seq kept.wav
    check "$name: an existing output kept whole" cmp -s kept.wav bg.wav
    run $name.seq - >/dev/null
    check "$name: nothing on standard output" [ "$status" = 251 -a ! -s out.txt ]
    "$check_bin" $name.seq >out.txt 2>err.txt
    check "$name: checker status 2" [ $? = 2 ]
done
run missing.seq new.wav
check "missing: names the file" grep -q "missing.wav: No such file" err.txt
run text.seq new.wav
check "text: names the file" grep -q "x.wav: not a sound file" err.txt
"$check_bin" missing.seq >out.txt
check "checker: missing file at line:col" grep -q "^missing.seq:2:15: error: cannot play background ./missing.wav" out.txt
"$check_bin" text.seq >out.txt
check "checker: undecodable file at line:col" grep -q "^text.seq:2:15: error: cannot play background ./x.wav" out.txt
"$check_bin" nofile.seq >out.txt
check "checker: a refused line at line:col" grep -q "^nofile.seq:2:1: error: BACKGROUND needs a file" out.txt

# A FIFO is no file to loop, and opening it does not wait for a writer.
mkfifo pipe.wav
printf 'BACKGROUND 50 pipe.wav\nHOLD 1\n' >fifo.seq
run fifo.seq new.wav
check "a FIFO refused" [ "$status" = 251 -a ! -e new.wav ]
check "a FIFO: said so" grep -q "pipe.wav: not a regular file" err.txt

# The checker: a good file is no warning, and the timeline describes it.
"$check_bin" bg.seq >out.txt
check "checker: a good background is clean" [ $? = 0 ]
"$check_bin" --timeline off.seq >out.txt
check "timeline: the file described" grep -q "^00:00:00  BACKGROUND 50 ./clip.wav: WAV, 48000 Hz, 1 channel, 0.75 s$" out.txt
check "timeline: OFF" grep -q "^00:00:02  BACKGROUND OFF$" out.txt
printf 'BACKGROUND 150 clip.wav\nHOLD 1\n' >over.seq
"$check_bin" over.seq >out.txt
check "checker: a level past 100 is limited" grep -q "^over.seq:1:12: warning: background level 150 is limited to 0 to 100" out.txt

# Streamed: a background file of a gigabyte (sparse: silence) is rendered
# in little memory.
if [ "$sanitized" != ON ]; then
    le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24)))"; }
    data=$((1 << 30))
    # 44.1 kHz 16-bit stereo PCM, its data left as a hole.
    { printf 'RIFF'; le32 $((data + 36)); printf 'WAVEfmt '; le32 16; printf '\x01\x00\x02\x00'; le32 44100
      le32 176400; printf '\x04\x00\x10\x00data'; le32 $data; } >huge.wav
    truncate -s $((data + 44)) huge.wav
    printf 'BACKGROUND 50 huge.wav\nHOLD 60\n' >huge.seq
    /usr/bin/time -f "%M" -o rss.txt "$bin" --clean huge.seq huge_out.wav 2>err.txt
    check "a 1 GB background renders" [ $? = 0 ]
    check "in less than 50 MB ($(cat rss.txt) kB)" at_most "$(tail -n 1 rss.txt)" 51200
fi

finish
