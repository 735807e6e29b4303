#!/usr/bin/env bash
# Runs the real ambrise-render on real files: usage, statuses, messages,
# sizes, the refusals, and a golden hash of a short render.
set -u
bin=$1
examples=$2
source "$(dirname "$0")/render_test_lib.sh"

# Usage: on standard output, status 255, no file.
usage=$(printf 'Create a .wav file ready to burn to CD from an Ambrise sequence file:\n%s <sequence> <output>\n\t<sequence> = sequence file to read\n\t<output> the .wav file to create' "$bin")
run
check "usage without arguments" [ "$status" = 255 -a "$out" = "$usage" -a -z "$err" ]
printf 'HOLD 1\n' >one.seq
run one.seq
check "usage with one argument" [ "$status" = 255 -a "$out" = "$usage" ]
check "no file created by usage" [ "$(ls)" = "$(printf 'err.txt\none.seq\nout.txt')" ]
# --help leads with the clean path for listening.
run --help
check "--help: the clean path first" [ "$status" = 0 -a "$(head -n1 out.txt)" = "$bin [--clean] [--loudness=LUFS] [--format=NAME] [--] <sequence> <output>" ]
check "--help: the measuring form" [ "$(sed -n 2p out.txt)" = "$bin --measure <sequence>" ]
check "--help: an example with --clean" grep -q -- '--clean relaxation.seq relaxation.flac' out.txt

# A missing sequence: reading error, output untouched.
run missing.seq never.wav
check "missing sequence" [ "$status" = 254 -a "$err" = "ERROR: cannot open missing.seq for reading" -a ! -e never.wav ]

# An output that cannot be opened.
run one.seq nodir/out.wav
check "unwritable output" [ "$status" = 253 -a "$err" = "ERROR: cannot open nodir/out.wav for writing" ]

# Sizes and header fields.
run one.seq one.wav extra
check "HOLD 1 renders, third argument ignored" [ "$status" = 0 -a -z "$out" -a -z "$err" ]
check "HOLD 1 size" [ "$(size one.wav)" = 176444 -a "$(u32 one.wav 4)" = 176436 -a "$(u32 one.wav 40)" = 176400 ]
: >empty.seq
run empty.seq empty.wav
check "empty sequence" [ "$status" = 0 -a "$(size empty.wav)" = 44 -a "$(u32 empty.wav 4)" = 36 -a "$(u32 empty.wav 40)" = 0 ]
printf 'SET 4\nBASE 100\nVOLUME 30\nHARMONICS 2\n' >untimed.seq
run untimed.seq untimed.wav
check "untimed commands only" [ "$(size untimed.wav)" = 44 ]
printf 'HOLD 2.9\nSLIDE 20,3\nFADE 0 1\nhold 5\nHOLD\t5\nPAUSE\nEND\r\nHOLD 1\nEND\nHOLD 7\n' >mixed.seq
run mixed.seq mixed.wav
check "timed lengths add up" [ "$(size mixed.wav)" = $((44 + 176400 * 7)) ]

# The same file as sequence and output is refused, the sequence kept.
cp one.seq same.seq
ln same.seq hard.seq
ln -s same.seq link.seq
for target in same.seq hard.seq link.seq ./same.seq; do
    run same.seq "$target"
    check "same file $target refused" [ "$status" = 253 -a "$err" = "ERROR: $target is the sequence file" ]
    check "sequence kept after $target" cmp -s same.seq one.seq
done

# A write error (a full disk) is reported, with the header patched from
# what was written.
if [ -e /dev/full ]; then
    run one.seq /dev/full
    check "write error reported" [ "$status" = 252 -a "$err" = "ERROR: cannot write /dev/full" ]
fi

# Golden bytes: the first frame, and the hash of a short render.
printf 'HOLD 1\n' >golden.seq
run golden.seq golden.wav
check "first frame bytes" [ "$(od -An -tx1 -j44 -N4 golden.wav | tr -d ' ')" = 8c44a144 ]
printf 'BASE 200\nSET 4\nHARMONICS 5\nFADE 90 2\nSLIDE 12 3\nHARMONICS 1\nHOLD 1\nVOLUME 100\nHARMONICS 4\nHOLD 1\n' >golden2.seq
run golden2.seq golden2.wav
check "golden hash" [ "$(sha256sum golden2.wav | cut -d' ' -f1)" = d6b14990e7663047b7a69064e292561eb9e368e1ad905f74609bd41e1e9ae3f5 ]

# The examples render in the default mode without a wrapped sample (no
# warning at all), in the length their notes give.
for f in "$examples"/*.seq; do
    run "$f" example.wav
    length=$(sed -nE 's/^# Length: renderer ([0-9]+):([0-9]+):([0-9]+),.*/\1 \2 \3/p' "$f")
    set -- $length
    seconds=$((10#$1 * 3600 + 10#$2 * 60 + 10#$3))
    check "example $(basename "$f") renders clean, $seconds s" \
        [ "$status" = 0 -a -z "$err" -a "$(size example.wav)" = $((44 + 176400 * seconds)) ]
done

# Progress goes to a terminal only: nothing on a pipe.
printf 'HOLD 3\n' >three.seq
"$bin" three.seq three.wav 2>&1 | cat >piped.txt
check "no progress on a pipe" [ ! -s piped.txt ]
if command -v script >/dev/null; then
    script -qec "$bin three.seq three.wav" /dev/null >tty.txt 2>&1
    check "progress on a terminal" grep -q 'rendering  00:00:0[0-3] / 00:00:03' tty.txt
    check "same bytes with progress" [ "$(size three.wav)" = $((44 + 176400 * 3)) ]
fi

finish
