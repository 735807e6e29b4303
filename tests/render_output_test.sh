#!/usr/bin/env bash
# The real ambrise-render on real files and pipes: options, the clean mode,
# the wrap warning, the formats decoded again, standard input and output,
# broken pipes, stop signals, and the faults of hostile inputs and outputs.
set -u
bin=$1
decode=$2
source "$(dirname "$0")/render_test_lib.sh"
pcm() { tail -c +45 "$1"; }
seconds_of() { "$decode" "$1" | awk '{printf "%.3f", $1 / $2}'; }
near() { awk "BEGIN{d = $1 - $2; exit !(d < 0.1 && d > -0.1)}"; }

# Command line.
run --help
check "--help: usage on standard output, status 0" [ "$status" = 0 -a -z "$err" ]
check "--help names the options" grep -q -- '--clean' out.txt
run --version
check "--version" [ "$status" = 0 -a "$out" = "ambrise-render 2.1" ]
printf 'HOLD 1\n' >one.seq
run --bogus one.seq x.wav
check "unknown option refused" [ "$status" = 255 -a ! -e x.wav ]
run --format=aiff one.seq x.wav
check "unknown format refused" [ "$status" = 255 -a ! -e x.wav ]
run --clean one.seq
check "one path after an option: usage, 255" [ "$status" = 255 ] && check "usage text" grep -q '<sequence> <output>' out.txt
cp one.seq ./--odd.seq
run -- --odd.seq odd.wav
check "-- ends the options" [ "$status" = 0 -a "$(size odd.wav)" = 176444 ]

# The clean mode: golden bytes (the fade glides, the partial counts crossfade), no midpoint, no wrap where the exact mode wraps.
printf 'BASE 200\nSET 4\nHARMONICS 5\nFADE 90 2\nSLIDE 12 3\nHARMONICS 1\nHOLD 1\nVOLUME 100\nHARMONICS 4\nHOLD 1\n' >golden2.seq
run --clean golden2.seq clean.wav
check "clean golden hash" [ "$status" = 0 -a -z "$err" -a \
    "$(sha256sum clean.wav | cut -d' ' -f1)" = b97fa9ce828aa6df9d03318ec70fc29934cb4db56a218169f125b31ae912de72 ]
run golden2.seq exact.wav
check "exact golden hash unchanged" [ "$(sha256sum exact.wav | cut -d' ' -f1)" = d6b14990e7663047b7a69064e292561eb9e368e1ad905f74609bd41e1e9ae3f5 ]
printf 'BASE 100\nVOLUME 100\nHARMONICS 9\nHOLD 2\n' >loud.seq
run --clean loud.seq loud-clean.wav
read -r mean low high step < <("$decode" loud-clean.wav stats)
check "clean: no DC at volume 100, 9 partials (mean $mean)" awk "BEGIN{exit !($mean < 50 && $mean > -50)}"
check "clean: no wrap (largest step $step)" [ "$step" -lt 32768 ]
check "clean: no warning" [ -z "$err" ]
run loud.seq loud-exact.wav
read -r mean low high step < <("$decode" loud-exact.wav stats)
check "exact wraps there (largest step $step)" [ "$step" -gt 60000 -a "$status" = 0 ]
check "exact: wrap warning" grep -Eq '^warning: [0-9]+ samples wrapped past the 16-bit range \(volume above 41 with 9 partials\); render with --clean for clean audio$' err.txt
printf 'VOLUME 60\nHOLD 1\n' >sixty.seq
run sixty.seq sixty.wav
check "volume 60, 3 partials: warning, status 0" [ "$status" = 0 ] && check "warning names 52" grep -q 'volume above 52 with 3 partials' err.txt
run one.seq one.wav
check "no warning at the defaults" [ -z "$err" ]

# Formats: by extension or --format; FLAC decodes to the WAV's samples.
printf 'HARMONICS 4\nSLIDE 4 2\nFADE 80 1\n' >three.seq
for mode in "" --clean; do
    run $mode three.seq three.wav
    run $mode three.seq three.FLAC
    check "flac ${mode:-exact} is lossless" cmp -s <("$decode" three.FLAC raw) <(pcm three.wav)
done
run three.seq three.wav
run --format=flac three.seq three.out
check "--format=flac" cmp -s <("$decode" three.out raw) <(pcm three.wav)
run three.seq three.unknown
check "unknown extension writes WAV" cmp -s three.unknown three.wav
for f in ogg opus mp3; do
    run --clean three.seq "three.$f"
    s=$(seconds_of "three.$f")
    check "$f decodes to 3 s ($s)" near "$s" 3
    "$bin" --clean --format=$f three.seq - 2>/dev/null | cat >"pipe.$f"
    s=$(seconds_of "pipe.$f")
    check "$f through a pipe decodes to 3 s ($s)" near "$s" 3
done

# Standard output and input.
"$bin" three.seq - 2>/dev/null | cat >piped.wav
check "WAV through a pipe equals the file" cmp -s piped.wav three.wav
if command -v sox >/dev/null; then
    len=$("$bin" three.seq - 2>/dev/null | sox -t wav - -n stat 2>&1 | awk '/Length/{print $3}')
    check "sox reads the whole stream ($len s)" near "$len" 3
fi
cat three.seq | "$bin" - from-stdin.wav 2>/dev/null
check "sequence from standard input" cmp -s from-stdin.wav three.wav
run /dev/zero zero.wav
check "endless device: error, 254, nothing written" [ "$status" = 254 -a ! -e zero.wav ] &&
    check "endless device: message" grep -q 'longer than 64 MiB' err.txt
"$bin" - zero.wav </dev/zero 2>err.txt
check "endless standard input refused" [ $? = 254 -a ! -e zero.wav ]

# A broken pipe ends the render with a message and status 252.
printf 'HOLD 100\n' >hundred.seq
"$bin" hundred.seq - 2>err.txt | head -c 1000 >/dev/null
check "broken pipe: status 252" [ "${PIPESTATUS[0]}" = 252 ] && check "broken pipe: message" grep -q 'Broken pipe' err.txt
"$bin" --format=flac hundred.seq - 2>err.txt | head -c 1000 >/dev/null
check "broken pipe, flac: status 252" [ "${PIPESTATUS[0]}" = 252 ]

# SIGINT and SIGTERM stop at a block, leave a header that matches the file,
# report how far the render came and exit 130 or 143.
printf 'HOLD 20000\n' >long.seq
interrupt() {  # interrupt SIGNAL OUTPUT
    # A background job of a script starts with SIGINT ignored, which the
    # renderer keeps: restored here. The render goes to a new file beside
    # the output until it ends.
    (trap - INT; exec "$bin" long.seq "$2" 2>err.txt) &
    local pid=$! n=0 temp
    until temp=$(ls -A | grep -m1 "^\.$2\.......\$") || [ $n -ge 600 ]; do sleep 0.1; n=$((n + 1)); done
    until [ "$(stat -c %s "$temp" 2>/dev/null || echo 0)" -gt 1000000 ] || [ $n -ge 600 ]; do sleep 0.1; n=$((n + 1)); done
    kill -s "$1" $pid
    wait $pid
    status=$?
}
interrupt INT stopped.wav
s=$(size stopped.wav)
check "SIGINT: status 130" [ "$status" = 130 ]
check "SIGINT: header matches the file" [ "$(u32 stopped.wav 40)" = $((s - 44)) -a "$(u32 stopped.wav 4)" = $((s - 8)) ]
check "SIGINT: whole blocks" [ $(((s - 44) % 17640)) = 0 ]
check "SIGINT: message" grep -Eq '^interrupted after [0-9:]{8} of 05:33:20$' err.txt
interrupt TERM stopped.flac
check "SIGTERM: status 143" [ "$status" = 143 ]
frames=$("$decode" stopped.flac | cut -d' ' -f1)
check "SIGTERM: flac complete ($frames frames)" [ "$frames" -gt 0 -a $((frames % 4410)) = 0 ]

# A directory is no sequence.
mkdir dir.seq
run dir.seq dir.wav
check "directory: reading error, 254, nothing written" [ "$status" = 254 -a ! -e dir.wav -a "$err" = "ERROR: cannot open dir.seq for reading" ]

# Absurd lengths: the dry pass does not stall and a full disk stops the
# render at its first failed write.
if [ -e /dev/full ]; then
    printf 'FADE 50 2147483647\n' >absurd.seq
    timeout 120 "$bin" absurd.seq /dev/full 2>err.txt
    check "absurd fade on a full disk: 252 at once" [ $? = 252 ]
fi

# The output swapped for a link to the sequence while the render starts:
# the sequence is never overwritten.
{ printf 'HOLD 1\n'; head -c 20000000 /dev/zero | tr '\0' '#'; printf '\n'; } >big.seq
cp big.seq big.orig
for i in 1 2 3 4 5 6 7 8; do
    rm -f swap.wav
    ( while :; do ln -f big.seq swap.wav 2>/dev/null; rm -f swap.wav; done ) &
    swapper=$!
    "$bin" big.seq swap.wav 2>/dev/null
    kill $swapper
    wait $swapper 2>/dev/null
    cmp -s big.seq big.orig || break
done
check "sequence survives a swapped output" cmp -s big.seq big.orig

# An existing output is replaced, whether longer than the render or empty.
printf 'HOLD 1\n' >one.seq
"$bin" one.seq fresh.wav 2>/dev/null
head -c 1000000 /dev/zero | tr '\0' 'x' >longer.wav
: >empty.wav
"$bin" one.seq longer.wav 2>/dev/null
"$bin" one.seq empty.wav 2>/dev/null
check "longer existing output replaced" cmp -s fresh.wav longer.wav
check "empty existing output filled" cmp -s fresh.wav empty.wav

# Progress on a terminal: position, speed and time left.
if command -v script >/dev/null; then
    # Speed and time left show once the render has run a moment: wait for
    # them, then stop the render. Ten partials at fractional frequencies
    # keep it going for many seconds; a plain hold would finish first.
    pattern='rendering  [0-9:]+ / 05:33:20  [0-9]+%  [0-9.]+x real time  [0-9:]+ left'
    printf 'BASE 136.1\nSET 7.83\nHARMONICS 10\nHOLD 20000\n' >slow.seq
    (trap - INT; exec script -qfec "$bin slow.seq /dev/null" /dev/null >tty.txt 2>&1) &
    spid=$! n=0
    until grep -Eq "$pattern" tty.txt || [ $n -ge 600 ]; do sleep 0.1; n=$((n + 1)); done
    check "progress with speed and time left" grep -Eq "$pattern" tty.txt
    pkill -INT -f "$bin slow.seq /dev/null" || true
    wait $spid 2>/dev/null
fi

finish
