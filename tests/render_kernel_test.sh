#!/usr/bin/env bash
# Every kernel this processor can run against the scalar reference, through
# the real renderer: both modes, no partial to nine, fractional and whole
# steps (the work ahead and the repeated blocks), steps past one and two
# cycles, negative beats, fades, slides, noise and the listening modes, and
# volumes with and without the vectors' short cut. AMBRISE_KERNEL names the
# kernel; one the processor lacks is refused.
set -u
bin=$1
source "$(dirname "$0")/render_test_lib.sh"

flags=$(grep -m1 '^flags' /proc/cpuinfo)
has() { [[ " $flags " == *" $1 "* ]]; }
kernels=()
has avx2 && kernels+=(avx2)
has avx2 && has avx512f && has avx512vl && kernels+=(avx512)

{
    for n in 0 1 2 3 4 5 6 7 8 9; do
        printf 'HARMONICS %d\nVOLUME 50\nSET 7.83\nBASE 136.1\nHOLD 3\n' "$n"
        printf 'SET 10\nBASE 300\nHOLD 25\nSET 4.4\nHOLD 3\nSET 10\nBASE 136.1\nHOLD 3\n'
        printf 'VOLUME 75\nFADE 100 2\nSLIDE 2.5 3\nVOLUME 41\nHOLD 3\nSLIDE 12 2\n'
        printf 'BASE 44100.7\nSET -3.3\nHOLD 2\nBASE 14700.1\nSET 14700.1\nHOLD 2\nBASE 250\nSET 1e300\nHOLD 1\n'
        printf 'VOLUME 100\nBASE 200\nSET 10\nNOISE PINK 20\nMODE ISOCHRONIC\nHOLD 2\n'
        printf 'NOISE OFF\nMODE MONAURAL\nSLIDE 6 2\nMODE BINAURAL\n'
    done
    printf 'HARMONICS 3\nVOLUME 50\nNOISE BROWN 30\nHOLD 2\nNOISE OFF\nSET 7.83\nHOLD 60\n'
} >cases.seq

for mode in "" --clean; do
    AMBRISE_KERNEL=scalar "$bin" $mode cases.seq scalar.wav 2>/dev/null
    check "scalar render ${mode:-exact}" [ -s scalar.wav ]
    for k in "${kernels[@]}"; do
        AMBRISE_KERNEL=$k "$bin" $mode cases.seq "$k.wav" 2>/dev/null
        check "$k kernel, ${mode:-exact} mode: the scalar bytes" cmp -s scalar.wav "$k.wav"
        rm -f "$k.wav"
    done
    "$bin" $mode cases.seq default.wav 2>/dev/null
    check "the default kernel, ${mode:-exact} mode: the scalar bytes" cmp -s scalar.wav default.wav
    rm -f scalar.wav default.wav
done
[ ${#kernels[@]} -lt 2 ] && echo "note: this processor runs ${kernels[*]:-no vector kernel}; the others are not compared"

printf 'HOLD 1\n' >one.seq
AMBRISE_KERNEL=sse9 "$bin" one.seq never.wav 2>err.txt
status=$?
check "an unknown kernel is refused" [ "$status" = 1 -a ! -e never.wav ]
check "with its message" grep -qx 'ERROR: AMBRISE_KERNEL=sse9 is not a kernel: scalar, avx2 or avx512' err.txt
for k in avx2 avx512; do
    [[ " ${kernels[*]} " == *" $k "* ]] && continue
    AMBRISE_KERNEL=$k "$bin" one.seq never.wav 2>err.txt
    status=$?
    check "$k, which this processor lacks, is refused" [ "$status" = 1 -a ! -e never.wav ]
    check "with its message" grep -qx "ERROR: AMBRISE_KERNEL=$k: this processor cannot run the $k kernel" err.txt
done
AMBRISE_KERNEL= "$bin" one.seq empty.wav
check "an empty name takes the default" [ "$?" = 0 -a -s empty.wav ]

finish
