#!/usr/bin/env bash
# The real ambrise-check on real files: output form, exit statuses, the
# examples, hostile inputs, the plot, and the renderer's length and wraps
# matching a real render.
set -u
check_bin=$1
render_bin=$2
examples=$3
source "$(dirname "$0")/test_lib.sh"
cd "$work"

# The collection: every example clean, with notes that give its lengths as
# the checker finds them.
"$check_bin" "$examples"/*.seq >out.txt 2>err.txt
check "examples check clean" [ $? = 0 -a ! -s err.txt ]
check "at least ten examples" [ "$(ls "$examples"/*.seq | wc -l)" -ge 10 ]
check "a summary per example" [ "$(grep -c ': renderer ' out.txt)" = "$(ls "$examples"/*.seq | wc -l)" ]
for f in "$examples"/*.seq; do
    name=$(basename "$f")
    lengths=$("$check_bin" "$f" | sed -n 's/.*: renderer \([0-9:]*\), player about \([0-9:]*\),.*/\1 \2/p')
    read -r rendered played <<<"$lengths"
    # The player spends a second on every line it reads: settings first,
    # the notes after the end, where they cost nothing.
    check "$name opens with a setting" grep -qE '^(VOLUME|BASE|SET|HARMONICS|NOISE|MODE) ' <(head -n1 "$f")
    check "$name keeps its notes after the end" awk '/^(END|EXIT)/ {e = 1; next} e && /^#/ {n++} END {exit !n}' "$f"
    check "$name notes give the renderer's length $rendered" grep -q "^#.*renderer $rendered" "$f"
    check "$name notes give the player's length $played" grep -q "^#.*player about $played" "$f"
done

printf 'SET 10\nhold 5\nHOLD 60abc\n' >mistake.seq
"$check_bin" mistake.seq >out.txt 2>&1
status=$?
check "warnings give status 1" [ "$status" = 1 ]
check "FILE:LINE:COL: warning: form" grep -qx "mistake.seq:2:1: warning: 'hold' is not recognised: command words are upper case (HOLD)" out.txt
check "second warning" grep -q '^mistake.seq:3:6: warning: ' out.txt

printf 'BASE 200\nVOLUME 60\nHOLD 10\n' >loud.seq
"$check_bin" loud.seq >out.txt
check "exact-mode wrap at the VOLUME" grep -q "^loud.seq:2:1: warning: volume 60 with 3 partials wraps .*ambrise-render --clean" out.txt

# Unreadable files: the system's reason, status 2.
"$check_bin" /nonexistent/x.seq >out.txt 2>err.txt
check "unreadable file gives status 2" [ $? = 2 ]
check "and the reason on standard error" grep -qx '/nonexistent/x.seq: cannot read: No such file or directory' err.txt
mkdir dir.seq
"$check_bin" dir.seq >out.txt 2>err.txt
check "a directory gives status 2" [ $? = 2 ]
check "and its reason" grep -qx 'dir.seq: cannot read: Is a directory' err.txt
"$check_bin" "$examples/focus.seq" /nonexistent/x.seq >/dev/null 2>&1
check "status 2 wins over 0" [ $? = 2 ]

# Endless and binary input ends with a message, in bounded time and memory.
timeout 60 "$check_bin" /dev/zero >out.txt 2>err.txt
status=$?
check "/dev/zero ends with status 2 ($status)" [ "$status" = 2 ]
check "as no sequence file" grep -qx '/dev/zero: not a sequence file? stopped after 20 warnings' err.txt
check "after 20 warnings" [ "$(grep -c ': warning: ' out.txt)" = 20 ]
head -c 20000 /dev/urandom >binary.seq
"$check_bin" binary.seq >out.txt 2>err.txt
status=$?
check "random bytes: status 2, no crash ($status)" [ "$status" = 2 ]
check "random bytes: not a sequence file?" grep -q 'not a sequence file?' err.txt
yes 'SET 1' | timeout 120 "$check_bin" /dev/stdin >out.txt 2>err.txt
check "ten million lines refused" grep -qx '/dev/stdin: refused: more than 10000000 lines, far more than a sequence' err.txt

# The command line.
"$check_bin" >/dev/null 2>&1
check "no file is a usage error" [ $? = 2 ]
"$check_bin" --help >out.txt 2>err.txt
check "--help: status 0" [ $? = 0 -a ! -s err.txt ]
check "--help: the options on standard output" grep -q -- '--plot OUT.svg' out.txt
check "--help: points to the better sound paths" grep -q 'heard with ambrise -hq FILE, or rendered with$' out.txt
check "--version" [ "$("$check_bin" --version)" = "ambrise-check 2.1" ]
"$check_bin" --plot >out.txt 2>err.txt
check "--plot without a file: status 2" [ $? = 2 ]
check "--plot without a file: says so" grep -q -- '--plot needs the name of the picture to write' err.txt

# The plot: a picture of the first file, never written over a sequence.
"$check_bin" --timeline "$examples/relaxation.seq" >out.txt
check "timeline starts at 0" grep -q '^00:00:00  FADE 50 15 ' out.txt
"$check_bin" --plot plot.svg "$examples/relaxation.seq" >/dev/null
check "plot written" grep -q '</svg>' plot.svg
check "no temporary file left" [ -z "$(ls -A | grep '^\.plot')" ]
if convert plot.svg plot.png 2>/dev/null; then
    check "plot renders as a picture" [ -s plot.png ]
fi
cp "$examples/focus.seq" a.seq
ln a.seq hard.seq
ln -s a.seq soft.seq
for out in a.seq hard.seq soft.seq; do
    "$check_bin" --plot "$out" a.seq >/dev/null 2>err.txt
    check "--plot $out over the sequence: status 2" [ $? = 2 ]
    check "--plot $out: the sequence stays" cmp -s a.seq "$examples/focus.seq"
done
check "--plot over a sequence: says so" grep -q 'is the sequence a.seq: not overwritten' err.txt
"$check_bin" --plot /dev/null a.seq >/dev/null
check "--plot into a device" [ $? = 0 -a -c /dev/null ]
printf 'SET 1e308\nHOLD 5\nSET -1e308\nHOLD 5\n' >huge.seq
"$check_bin" --plot huge.svg huge.seq >/dev/null
check "huge beats give a picture" [ -s huge.svg ]
check "with finite coordinates" bash -c "! grep -qiw -e nan -e inf huge.svg"

# The checker's renderer length is the length ambrise-render writes (the
# fuzz corpus replays the examples for the same).
printf 'HOLD 2.9\nSLIDE 20,3\nFADE 0 1\nhold 5\nHOLD\t5\nPAUSE\nSET nan\nFADE inf 4\nHOLD -2\nHOLD 1e1\nEND\r\nHOLD 1\nEND\nHOLD 7\n' >mixed.seq
for f in "$examples/focus.seq" mixed.seq mistake.seq; do
    "$render_bin" "$f" out.wav 2>/dev/null
    seconds=$(( ($(stat -c %s out.wav) - 44) / 176400 ))
    summary=$("$check_bin" "$f" | tail -n1)
    want=$(printf '%02d:%02d:%02d' $((seconds / 3600)) $((seconds / 60 % 60)) $((seconds % 60)))
    check "$(basename "$f"): renderer length $want" grep -q "renderer $want," <<<"$summary"
done

# The wrap limit is the renderer's: with 3 partials every sample of the
# exact mode is positive until it wraps.
negatives() { od -An -v -td2 -j44 "$1" | tr -s ' ' '\n' | grep -c '^-'; }
for volume in 52 60; do
    printf 'VOLUME %s\nHOLD 2\n' "$volume" >v$volume.seq
    "$render_bin" v$volume.seq v$volume.wav 2>/dev/null
done
check "volume 52: no sample wraps" [ "$(negatives v52.wav)" = 0 ]
check "volume 60: samples wrap" [ "$(negatives v60.wav)" -gt 0 ]
"$check_bin" v52.seq >/dev/null
check "volume 52: the checker is quiet" [ $? = 0 ]

# NOISE and MODE: names with suggestions, levels, the wrap with noise at the
# line that made it, the timeline and the plot.
cat >noise.seq <<'END'
BASE 200
NOISE pink 20
MODE ISOCRONIC
NOISE BROWN 150
VOLUME 30
HOLD 60
VOLUME 46
NOISE WHITE 30
MODE MONAURAL
HOLD 60
NOISE
END
END
"$check_bin" --timeline --plot noise.svg noise.seq >out.txt
check "noise: status 1" [ $? = 1 ]
check "lower-case colour" grep -qx "noise.seq:2:7: warning: 'pink' is not recognised: noise colours are upper case (PINK); the noise stays as it was" out.txt
check "misspelt mode" grep -qx "noise.seq:3:6: warning: 'ISOCRONIC' is not recognised: did you mean ISOCHRONIC? The mode stays as it was" out.txt
check "level limited" grep -qx "noise.seq:4:13: warning: noise level 150 is limited to 0 to 100" out.txt
check "wrap blamed on the NOISE line" grep -q "^noise.seq:8:1: warning: noise at 30 with 3 partials at volume 46 wraps .*(at most noise 25 at volume 46): ambrise-render --clean" out.txt
check "missing colour at the line's end" grep -qx "noise.seq:11:6: warning: missing noise colour: the noise stays as it was" out.txt
check "timeline: noise and mode" grep -qx '00:00:00  HOLD 60          beat  10.00  base  200.0  volume  30.0  noise BROWN 100  mode BINAURAL' out.txt
check "timeline: carried over and changed" grep -qx '00:01:00  HOLD 60          beat  10.00  base  200.0  volume  46.0  noise WHITE 30   mode MONAURAL' out.txt
check "lengths: no time in the renderer, a tick each in the player" grep -q '^noise.seq: renderer 00:02:00, player about 00:02:09,' out.txt
check "plot draws the noise level" grep -q 'noise (%)' noise.svg
"$render_bin" noise.seq out.wav 2>/dev/null
check "noise.seq: the renderer's length too" [ $(( ($(stat -c %s out.wav) - 44) / 176400 )) = 120 ]

finish
