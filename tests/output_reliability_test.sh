#!/usr/bin/env bash
# What the renderer and the checker write when writing goes wrong: every
# writer's failures reported, an existing file never lost, links and devices
# written through, and the signals a shell leaves ignored or closes on us.
set -u
bin=$1
check_bin=$2
decode=$3
source "$(dirname "$0")/render_test_lib.sh"
formats="wav flac ogg opus mp3"
u64() { od -An -tu8 -j "$2" -N8 "$1" | tr -d ' '; }
tag() { dd if="$1" bs=1 skip="$2" count=4 2>/dev/null; }
waitsize() {  # waitsize FILE BYTES: until FILE holds more than BYTES
    local n=0
    until [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -gt "$2" ] || [ $n -ge 600 ]; do sleep 0.1; n=$((n + 1)); done
}
temps() { ls -A "${1:-.}" | grep -c '^\..*\.......$'; }
waittemp() {  # waittemp NAME BYTES: until the new file for NAME holds more than BYTES
    local n=0 t
    until t=$(ls -A | grep -m1 "^\.$1\.......\$") || [ $n -ge 600 ]; do sleep 0.1; n=$((n + 1)); done
    waitsize "$t" "$2"
}

# A small file system that fills, where the test may mount one.
full=
if [ "$(id -u)" = 0 ] && mkdir full && mount -t tmpfs -o size=2m tmpfs full 2>/dev/null; then
    full=$work/full
    extra_cleanup() { umount "$work/full" 2>/dev/null; }
else
    echo "SKIP: the full-disk cases need root to mount a small tmpfs"
fi

printf 'HOLD 1\n' >one.seq
printf 'HOLD 60\n' >minute.seq
printf 'HOLD 1200\n' >long.seq
printf 'FADE 40 30000\n' >huge.seq   # planned past 4 GiB, every block computed

# A script's background job starts with SIGINT ignored, which the renderer
# keeps: the renders to interrupt start with it restored.

## Writers: every failed write, flush or close ends the render with 252.
for f in $formats; do
    run --format=$f one.seq /dev/full
    check "$f to /dev/full: 252 and the message" [ "$status" = 252 -a "$err" = "ERROR: cannot write /dev/full" ]
    "$bin" --format=$f minute.seq - 2>err.txt | head -c 100 >/dev/null
    check "$f to a closed pipe: 252" [ "${PIPESTATUS[0]}" = 252 ] &&
        check "$f to a closed pipe: message" grep -qx 'ERROR: cannot write -: Broken pipe' err.txt
    if [ -n "$full" ]; then
        run long.seq "full/x.$f"
        check "$f on a full disk: 252 and the message" [ "$status" = 252 -a "$err" = "ERROR: cannot write full/x.$f" ]
        check "$f on a full disk: nothing left behind" [ -z "$(ls -A full)" ]
    fi
done
run --format=MP3 one.seq upper.out
check "--format= in any letter case" [ "$status" = 0 ] && check "--format=MP3 is MP3" [ "$(head -c 3 upper.out)" != RIFF ]

# A stream whose length cannot be stated declares the largest size instead
# of a wrapped one: 194 784 of the longest holds overflow 64 bits of frames.
yes 'HOLD 2147483647' | head -n 194784 >endless.seq
"$bin" endless.seq - 2>/dev/null | head -c 80 >endless.head
check "absurd length: an RF64 stream" [ "$(tag endless.head 0)" = RF64 -a "$(tag endless.head 12)" = ds64 ]
check "absurd length: the largest data size" [ "$(u64 endless.head 28)" = 18446744073709551532 ]

# Interrupted: a render planned past 4 GiB that stopped short of it is a
# plain RIFF file, its ds64 chunk kept as JUNK; a stream keeps RF64.
(trap - INT; exec "$bin" huge.seq stopped.wav 2>/dev/null) &
pid=$!
waittemp stopped.wav 1000000
kill -INT $pid
wait $pid
s=$(size stopped.wav)
check "interrupted below 4 GiB: RIFF with JUNK" [ "$(tag stopped.wav 0)" = RIFF -a "$(tag stopped.wav 12)" = JUNK -a "$(tag stopped.wav 48)" = "fmt " ]
check "interrupted below 4 GiB: sizes of what was written" [ "$(u32 stopped.wav 4)" = $((s - 8)) -a "$(u32 stopped.wav 76)" = $((s - 80)) ]
frames=$("$decode" stopped.wav | cut -d' ' -f1)
check "interrupted below 4 GiB: decodes whole ($frames frames)" [ "$frames" = $(((s - 80) / 4)) ]
"$bin" huge.seq - 2>/dev/null | head -c 80 >huge.head
check "planned past 4 GiB, streamed: RF64" [ "$(tag huge.head 0)" = RF64 -a "$(tag huge.head 12)" = ds64 ]

# Appended to a file through standard output, then interrupted: the header
# where the render began tells what was written.
printf 'prefix\n' >appended.wav
(trap - INT; exec "$bin" huge.seq - >>appended.wav 2>/dev/null) &
pid=$!
waitsize appended.wav 1000000
kill -INT $pid
wait $pid
status=$?
s=$(($(size appended.wav) - 7))
check "appended, interrupted: 130" [ "$status" = 130 ]
check "appended, interrupted: header of what was written" [ "$(u32 appended.wav 11)" = $((s - 8)) -a "$(u32 appended.wav 83)" = $((s - 80)) ]
check "appended: what was there is kept" [ "$(head -c 7 appended.wav)" = prefix ]

## File replacement: a new file beside the target, renamed over it at the end.
"$bin" one.seq fresh.wav 2>/dev/null
head -c 1500000 /dev/urandom >old.bin
for f in $formats; do
    cp old.bin "old.$f"
    # A file size limit fails the writes as a full disk would.
    (ulimit -f 1000; trap '' XFSZ; exec "$bin" long.seq "old.$f" 2>err.txt)
    check "$f failed render: 252" [ $? = 252 ]
    check "$f failed render: the old file whole" cmp -s old.bin "old.$f"
done
check "failed renders: no temporary file left" [ "$(temps)" = 0 ]
if [ -n "$full" ]; then
    cp old.bin full/old.wav
    run minute.seq full/old.wav
    check "full disk: 252, old file whole" [ "$status" = 252 ] && check "full disk: old file whole" cmp -s old.bin full/old.wav
    check "full disk: no temporary file left" [ "$(temps full)" = 0 ]
    rm -f full/old.wav
fi
cp old.bin kept.wav
chmod 640 kept.wav
run one.seq kept.wav
check "replaced: the render" cmp -s fresh.wav kept.wav
check "replaced: permissions kept ($(stat -c %a kept.wav))" [ "$(stat -c %a kept.wav)" = 640 ]
cp old.bin stopped2.wav
(trap - INT; exec "$bin" huge.seq stopped2.wav 2>/dev/null) &
pid=$!
waittemp stopped2.wav 1000000
check "while rendering: the old file whole" cmp -s old.bin stopped2.wav
kill -INT $pid
wait $pid
s=$(size stopped2.wav)
check "interrupted: replaced by what was rendered" [ "$(u32 stopped2.wav 76)" = $((s - 80)) -a $s -gt 80 ]
check "interrupted: no temporary file left" [ "$(temps)" = 0 ]
# A directory that takes no new file: the writable target is written in place.
mkdir locked
cp old.bin locked/in-place.wav
chmod 666 locked/in-place.wav
chmod 755 "$work"
chmod 555 locked
if [ "$(id -u)" = 0 ]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups "$bin" "$work/one.seq" locked/in-place.wav 2>err.txt
else
    "$bin" one.seq locked/in-place.wav 2>err.txt
fi
check "locked directory: written in place" [ $? = 0 ] && check "locked directory: the render" cmp -s fresh.wav locked/in-place.wav
chmod 755 locked
# A file this user may not write is not replaced either, even where the
# directory would take a new one.
if [ "$(id -u)" = 0 ]; then
    mkdir open
    chmod 777 open
    cp old.bin open/theirs.wav
    chmod 644 open/theirs.wav
    setpriv --reuid=65534 --regid=65534 --clear-groups "$bin" "$work/one.seq" open/theirs.wav 2>err.txt
    check "unwritable file: 253, kept" [ $? = 253 ] && check "unwritable file: kept" cmp -s old.bin open/theirs.wav
    check "unwritable file: no new file" [ "$(temps open)" = 0 ]
fi

## Links and devices: written through, never renamed over.
mkdir real
ln -s real/target.wav link.wav
ln -s real/new.wav dangling.wav
run one.seq link.wav
check "render through a link: still a link" [ -L link.wav ] && check "render through a link: the target" cmp -s fresh.wav real/target.wav
run one.seq dangling.wav
check "render through a dangling link: target made" [ -L dangling.wav ] && check "dangling: target rendered" cmp -s fresh.wav real/new.wav
check "links: no temporary file left" [ "$(temps)" = 0 -a "$(temps real)" = 0 ]
ln -s real/pic.svg pic.svg
"$check_bin" --plot pic.svg one.seq >/dev/null 2>err.txt
check "--plot through a link: still a link" [ -L pic.svg ] && check "--plot through a link: the target" grep -q '<svg' real/pic.svg
ln -s /dev/stdout to-stdout.svg
"$check_bin" --plot to-stdout.svg one.seq >plot-out.txt 2>err.txt
check "--plot to a link to /dev/stdout: 0" [ $? = 0 ] && check "--plot to /dev/stdout: written in place" grep -q '<svg' plot-out.txt
check "--plot to /dev/stdout: the link kept" [ -L to-stdout.svg -a -L /dev/stdout ]
mkfifo pipe.fifo
cat pipe.fifo >from-fifo.wav &
reader=$!
run one.seq pipe.fifo
wait $reader
check "render into a FIFO: in place" [ "$status" = 0 -a -p pipe.fifo ] && check "render into a FIFO: the bytes" cmp -s fresh.wav from-fifo.wav
run one.seq /dev/null
check "render to /dev/null: a device still" [ "$status" = 0 -a -c /dev/null ]
timeout 20 "$check_bin" --plot pipe.fifo pipe.fifo >/dev/null 2>err.txt
check "--plot f f on a FIFO: refused at once" [ $? = 2 ] && check "--plot f f: message" grep -q 'is the sequence pipe.fifo: not overwritten' err.txt
timeout 20 "$check_bin" --plot /dev/null /dev/null >/dev/null 2>err.txt
check "--plot on the input device: refused" [ $? = 2 ]

## Signals and standard streams.
"$bin" one.seq - 2>err.txt >&-
status=$?
err=$(cat err.txt)
check "closed standard output: 253 and a clear message" [ "$status" = 253 -a "$err" = "ERROR: cannot open - for writing (standard output is closed)" ]
"$bin" - closed-in.wav 2>err.txt <&-
check "closed standard input: 254, nothing written" [ $? = 254 -a ! -e closed-in.wav ]
(trap '' INT; exec "$bin" huge.seq ignored.wav 2>/dev/null) &
pid=$!
waittemp ignored.wav 1000000
tempfile=$(ls -A | grep '^\.ignored\.wav\.')
kill -INT $pid
sleep 0.5
s=$(size "$tempfile")
waitsize "$tempfile" $((s + 1000000))
check "ignored SIGINT stays ignored" kill -0 $pid
kill -TERM $pid
wait $pid
check "then SIGTERM stops it: 143" [ $? = 143 ]
printf 'SET 10\nhold 5\nHOLD 60abc\n' >mistake.seq
"$check_bin" - <mistake.seq >out.txt 2>err.txt
check "checker: - is standard input" [ $? = 1 ] && check "checker: - in its reports" grep -q "^-:2:1: warning: 'hold'" out.txt
yes 'HOLD 1' | head -n 50000 >many.seq
"$check_bin" --timeline many.seq 2>err.txt | head -c 100 >/dev/null
check "checker on a closed pipe: status 2" [ "${PIPESTATUS[0]}" = 2 ] &&
    check "checker on a closed pipe: message" grep -Eqx '.*ambrise-check: cannot write standard output: Broken pipe' err.txt

finish
