#!/usr/bin/env bash
# The real ambrise-check on real files: output form, exit statuses, the
# examples, the plot, and the renderer's length matching a real render.
set -u
check_bin=$1
render_bin=$2
examples=$3
source "$(dirname "$0")/test_lib.sh"
cd "$work"

"$check_bin" "$examples"/*.seq >out.txt 2>err.txt
check "examples check clean" [ $? = 0 -a ! -s err.txt ]
check "a summary per example" [ "$(grep -c ': renderer ' out.txt)" = "$(ls "$examples"/*.seq | wc -l)" ]

printf 'SET 10\nhold 5\nHOLD 60abc\n' >mistake.seq
"$check_bin" mistake.seq >out.txt 2>&1
status=$?
check "warnings give status 1" [ "$status" = 1 ]
check "FILE:LINE:COL: warning: form" grep -qx "mistake.seq:2:1: warning: 'hold' is not recognised: command words are upper case (HOLD)" out.txt
check "second warning" grep -q '^mistake.seq:3:6: warning: ' out.txt

"$check_bin" /nonexistent/x.seq >out.txt 2>err.txt
check "unreadable file gives status 2" [ $? = 2 ]
check "and a message on standard error" grep -q '^/nonexistent/x.seq: cannot read' err.txt
"$check_bin" "$examples/focus.seq" /nonexistent/x.seq >/dev/null 2>&1
check "status 2 wins over 0" [ $? = 2 ]
"$check_bin" >/dev/null 2>&1
check "no file is a usage error" [ $? = 2 ]

head -c 20000 /dev/urandom >binary.seq
"$check_bin" binary.seq >out.txt 2>&1
status=$?
check "binary file: warnings, no crash ($status)" [ "$status" = 1 ]

"$check_bin" --timeline "$examples/relaxation.seq" >out.txt
check "timeline starts at 0" grep -q '^00:00:00  FADE 60 15 ' out.txt
"$check_bin" --plot plot.svg "$examples/relaxation.seq" >/dev/null
check "plot written" grep -q '</svg>' plot.svg
if convert plot.svg plot.png 2>/dev/null; then
    check "plot renders as a picture" [ -s plot.png ]
fi

# The checker's renderer length is the length ambrise-render writes.
printf 'HOLD 2.9\nSLIDE 20,3\nFADE 0 1\nhold 5\nHOLD\t5\nPAUSE\nSET nan\nFADE inf 4\nHOLD -2\nHOLD 1e1\nEND\r\nHOLD 1\nEND\nHOLD 7\n' >mixed.seq
for f in "$examples"/*.seq mixed.seq mistake.seq; do
    "$render_bin" "$f" out.wav
    seconds=$(( ($(stat -c %s out.wav) - 44) / 176400 ))
    summary=$("$check_bin" "$f" | tail -n1)
    want=$(printf '%02d:%02d:%02d' $((seconds / 3600)) $((seconds / 60 % 60)) $((seconds % 60)))
    check "$(basename "$f"): renderer length $want" grep -q "renderer $want," <<<"$summary"
done

finish
