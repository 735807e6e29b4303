#!/usr/bin/env bash
# Loudness end to end: the shipped examples rendered with --loudness -16 and
# -23 and measured by another meter (ffmpeg's ebur128 filter, true peak on),
# the true peak limit and its message, --measure's lines, the refused
# targets, every format, and the checker's estimate and saturation warnings.
# Prints each example's loudness before and after. A fourth argument,
# "short", keeps to the examples of ten minutes or less (the sanitizer
# build, many times slower, runs the same code on those).
set -u
bin=$1
check_bin=$2
examples=$3
only_short=${4:-}
source "$(dirname "$0")/render_test_lib.sh"

# ffmpeg_levels FILE|-: sets lufs and peak (dBTP) from ffmpeg's summary.
ffmpeg_levels() {
    ffmpeg -nostats -hide_banner -nostdin -i "$1" -af ebur128=peak=true -f null - 2>ff.txt </dev/null
    lufs=$(awk '/Integrated loudness:/ {i = 1} i && $1 == "I:" {print $2; exit}' ff.txt)
    peak=$(awk '/True peak:/ {p = 1} p && $1 == "Peak:" {print $2; exit}' ff.txt)
}
near() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { x = a - b; exit !(a != "" && x <= d && -x <= d) }'; }
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && a + 0 <= b + 0) }'; }
measured() { sed -n "s/^$1 //p" out.txt; }

# --measure: four key value lines, numbers, for the clean render.
printf 'HARMONICS 4\nSET 7.83\nHOLD 20\nFADE 80 10\nHOLD 10\n' >short.seq
run --measure short.seq
check "--measure status" [ "$status" = 0 -a -z "$err" ]
check "--measure keys" [ "$(cut -d' ' -f1 out.txt | tr '\n' ' ')" = "integrated_lufs range_lu true_peak_dbtp sample_peak_dbfs " ]
check "--measure numbers" awk 'NF != 2 || $2 !~ /^-?[0-9]+\.[0-9][0-9]$/ {bad = 1} END {exit bad}' out.txt
before=$(measured integrated_lufs)
before_peak=$(measured true_peak_dbtp)
"$bin" --clean short.seq clean.wav
ffmpeg_levels clean.wav
check "--measure agrees with ffmpeg" near "$before" "$lufs" 0.2
check "--measure true peak agrees with ffmpeg" near "$before_peak" "$peak" 0.2
check "--measure from standard input" [ "$("$bin" --measure - <short.seq)" = "$(cat out.txt)" ]
printf 'VOLUME 0\nHOLD 5\n' >silent.seq
run --measure silent.seq
check "--measure of silence" [ "$status" = 0 -a "$(measured integrated_lufs)" = -inf ]

# Refused targets: the usage status, a message, no file.
for bad in -41 -4.9 0 abc nan inf -16x ""; do
    run --loudness "$bad" short.seq never.wav
    check "--loudness '$bad' refused" [ "$status" = 255 -a ! -e never.wav ]
    check "--loudness '$bad' message" grep -q "^ERROR: --loudness takes a target from -40 to -5 LUFS" err.txt
done
run --loudness
check "--loudness without a value" [ "$status" = 255 ]
run --loudness=-40 short.seq low.wav
check "--loudness=-40 accepted" [ "$status" = 0 -a -s low.wav ]

# The true peak limit: the default tone peaks 4.8 dB above its loudness, so
# -5 LUFS would take it past -1 dBTP.
printf 'HOLD 20\n' >tone.seq
run --measure tone.seq
tone=$(measured integrated_lufs)
tone_peak=$(measured true_peak_dbtp)
reached=$(awk -v i="$tone" -v p="$tone_peak" 'BEGIN { printf "%.1f", i + (-1 - p) }' | sed 's/^-/−/')
run --loudness -5 tone.seq limited.wav
check "limited render" [ "$status" = 0 -a -s limited.wav ]
check "limit message" [ "$err" = "loudness −5.0 LUFS asked, $reached reached: true peak limit −1 dBTP" ]
ffmpeg_levels limited.wav
check "limited level reached (ffmpeg $lufs)" near "$lufs" "$(echo "$reached" | sed 's/−/-/')" 0.2
check "limited true peak at most -1 (ffmpeg $peak)" at_most "$peak" -1.0
run --loudness -16 tone.seq unlimited.wav
check "no message when reached" [ "$status" = 0 -a -z "$err" ]

# Silence cannot be made louder: said, and rendered as it is.
run --loudness -16 silent.seq silent.wav
check "silent render" [ "$status" = 0 -a "$(size silent.wav)" = $((44 + 176400 * 5)) ]
check "silent message" [ "$err" = "loudness −16.0 LUFS asked: the render is silent, left as it is" ]

# Every format, to a file and to standard output.
for fmt in flac ogg opus mp3; do
    run --loudness -16 short.seq "short.$fmt"
    check "$fmt renders" [ "$status" = 0 -a -s "short.$fmt" ]
    ffmpeg_levels "short.$fmt"
    tolerance=0.5   # the lossy codecs move the level a little
    [ "$fmt" = flac ] && tolerance=0.2
    check "$fmt at -16 (ffmpeg $lufs)" near "$lufs" -16 "$tolerance"
done
"$bin" --loudness -16 --format=flac short.seq - >piped.flac 2>err.txt
check "flac to a pipe" cmp -s piped.flac short.flac
"$bin" --loudness -16 - from-stdin.flac <short.seq
check "sequence from standard input" cmp -s from-stdin.flac short.flac

# The shipped examples at -16 and -23, through a pipe; ffmpeg agrees and
# finds the true peak at most -1 dBTP.
printf '%-26s %8s %8s %8s %8s %8s\n' example before -16 peak -23 peak
for f in "$examples"/*.seq; do
    name=$(basename "$f" .seq)
    if [ "$only_short" = short ]; then
        case $name in alpha-break | focus | headphone-check) ;; *) continue ;; esac
    fi
    line="$(printf '%-26s' "$name")"
    run --measure "$f"
    line+=$(printf ' %8s' "$(measured integrated_lufs)")
    for target in -16 -23; do
        ffmpeg_levels <("$bin" --loudness "$target" "$f" - 2>err.txt)
        check "$name at $target (ffmpeg $lufs)" near "$lufs" "$target" 0.2
        check "$name at $target: true peak $peak at most -1" at_most "$peak" -1.0
        check "$name at $target: no message" [ ! -s err.txt ]
        line+=$(printf ' %8s %8s' "$lufs" "$peak")
    done
    echo "$line"
done

# The checker: the estimate beside the render length, and the lines that
# make the clean render saturate, at their command.
"$check_bin" "$examples/focus.seq" >out.txt
focus=$("$bin" --measure "$examples/focus.seq" | sed -n 's/^integrated_lufs //p')
estimate=$(sed -n 's/.*, clean render about \(.*\) LUFS$/\1/p' out.txt | sed 's/−/-/')
check "checker estimate of a short render is the measurement ($estimate, $focus)" near "$estimate" "$focus" 0.05
sampled="sleep sleep-brown-noise"
[ "$only_short" = short ] && sampled=sleep
for name in $sampled; do
    "$check_bin" "$examples/$name.seq" >out.txt
    estimate=$(sed -n 's/.*, clean render about \(.*\) LUFS$/\1/p' out.txt | sed 's/−/-/')
    full=$("$bin" --measure "$examples/$name.seq" | sed -n 's/^integrated_lufs //p')
    check "checker estimate of $name ($estimate, $full)" near "$estimate" "$full" 0.5
done
"$check_bin" --timeline "$examples/focus.seq" >out.txt
check "estimate with --timeline" grep -q ', clean render about −[0-9.]* LUFS$' out.txt
# The clean rule glides from one block's volume to the next, so each loud
# stretch ends in a fade, whose own line the first blocks are blamed on.
printf 'HARMONICS 6\nVOLUME 100\nHOLD 2\nFADE 40 1\nHOLD 3\n   FADE 100 2\nFADE 0 1\n' >sat.seq
"$check_bin" sat.seq >out.txt
status=$?
check "saturation: warnings status" [ "$status" = 1 ]
check "saturation at the HOLD" grep -q '^sat.seq:3:1: warning: the clean render (--clean, --loudness) saturates here: [0-9]* samples at full scale, volume 100 with 6 partials$' out.txt
check "saturation at the FADE's command" grep -q '^sat.seq:6:4: warning: the clean render .* saturates here' out.txt
check "the fade down from saturation" grep -q '^sat.seq:4:1: warning: the clean render .* saturates here: [0-9]* samples at full scale, volume 100 with 6 partials$' out.txt
check "no saturation at volume 40" [ -z "$(grep '^sat.seq:5:' out.txt)" ]
check "silent summary" grep -q '^sat.seq: renderer 00:00:09, .*, clean render about −[0-9.]* LUFS$' out.txt
"$check_bin" silent.seq >out.txt
check "silent render in the checker" grep -q ', clean render silent$' out.txt
cat sat.seq | "$check_bin" /dev/stdin >out.txt
check "a pipe: checked, no estimate" grep -q '^/dev/stdin: renderer 00:00:09, .* Hz$' out.txt

finish
