#!/usr/bin/env bash
# Both streams of the real player on a real sound server: a user-space
# pulseaudio started here, with one null sink per stream in the stream's own
# format, so the sink's monitor holds exactly the samples it played. The
# player writes through ALSA's pulse plugin; ALSA's file plugin on top keeps
# what it produced. Each player's clock is made to run 0.5 % slow or fast
# (SKEWED_CLOCK preloaded), so that the server's sink runs fast or slow as
# the player sees it, as real cards do. The server must log no underrun, and
# the recording of each monitor must be the produced stream without a gap.
# Run inside xvfb-run: pulse_soak.sh AMBRISE STREAM_CHECK SKEWED_CLOCK
# AMBRISE_SOAK_SECONDS (default 90): how long the players play.
# AMBRISE_SOAK_HQ=1: the high-quality stream too (eight times the data;
# on a machine loaded far beyond its cores its tenth of a second of queue
# has run dry twice in ten minutes, so it is not part of every test run).
bin=$1
check_bin=$2
skew_lib=$3
seconds=${AMBRISE_SOAK_SECONDS:-90}
source "$(dirname "$0")/test_lib.sh" || exit 1
# The streams and recordings live in memory: a disk's writeback must not
# stall the file plugin, which writes from the player's audio thread.
data=$(mktemp -d /dev/shm/ambrise-soak.XXXXXX) || exit 1
export HOME=$work/home XDG_RUNTIME_DIR=$work PULSE_RUNTIME_PATH=$work/pulse PULSE_STATE_PATH=$work/state
mkdir -p "$HOME"
server=unix:$work/sock
pids=()
extra_cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    [ -n "${pulse:-}" ] && kill "$pulse" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$data"
}

pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --system=no --log-level=debug --log-time=1 \
    --log-target="file:$work/pulse.log" \
    -L "module-null-sink sink_name=plain rate=11025 format=u8 channels=2" \
    -L "module-null-sink sink_name=hq rate=44100 format=s16le channels=2" \
    -L "module-null-sink sink_name=mixed rate=44100 format=s16le channels=2" \
    -L "module-native-protocol-unix socket=$work/sock auth-anonymous=1" >/dev/null 2>&1 &
pulse=$!
for _ in $(seq 100); do pactl -s "$server" info >/dev/null 2>&1 && break; sleep 0.1; done
# A sound server on a desktop gets real-time priority for the threads that
# move sound; where the system grants it, so does this one's main thread,
# which takes the players' data, or a loaded machine starves it.
chrt -r -p 10 "$pulse" >/dev/null 2>&1
check "the sound server runs" pactl -s "$server" info >/dev/null

# A tone that never repeats: a slow glide of the beat.
printf 'SLIDE 30 3000\n' >"$work/glide.seq"

# play NAME SINK FORMAT RATE REC_FORMAT REC_RATE CLOCK_RATE OPTIONS...:
# records the sink's monitor and starts the player on it, its clock running
# at CLOCK_RATE.
play() {
    local name=$1 sink=$2 format=$3 rate=$4 rec_format=$5 rec_rate=$6 clock=$7
    shift 7
    parec -s "$server" -d "$sink.monitor" --format="$rec_format" --rate="$rec_rate" --channels=2 --latency-msec=50 \
        >"$data/$name.monitor" 2>"$work/$name.parec-log" &
    pids+=($!)
    printf 'pcm.!default { type file; slave.pcm "srv"; file "%s"; format "raw" }\npcm.srv { type pulse; server "%s"; device "%s" }\n' \
        "$data/$name.produced" "$server" "$sink" >"$work/$name.asoundrc"
    ALSA_CONFIG_PATH=$work/$name.asoundrc LD_PRELOAD=$skew_lib AMBRISE_CLOCK_RATE=$clock \
        ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
        "$bin" "$@" "$work/glide.seq" >"$work/$name.out" 2>"$work/$name.err" &
    pids+=($!)
}
sleep 0.5
# A sink 0.5 % fast drains a queue of 0.1 s in 20 s unless the device
# alone sets the pace; one 0.5 % slow must not overfill it either.
play plain plain u8 11025 u8 11025 0.995
[ "${AMBRISE_SOAK_HQ:-0}" = 1 ] && play hq hq s16le 44100 s16le 44100 1.005 -hq
# The default stream on a sink of another rate, which the server resamples.
play mixed mixed u8 11025 s16le 44100 0.995
players=()
for ((i = 1; i < ${#pids[@]}; i += 2)); do players+=("${pids[i]}"); done
sleep 5
log_start=$(wc -l <"$work/pulse.log")
size() { stat -c %s "$1" 2>/dev/null || echo 0; }
b0=$(size "$data/plain.produced") h0=$(size "$data/hq.produced") m0=$(size "$data/mixed.produced")
t0=$(date +%s.%N)
sleep "$seconds"
b1=$(size "$data/plain.produced") h1=$(size "$data/hq.produced") m1=$(size "$data/mixed.produced")
t1=$(date +%s.%N)
for p in "${players[@]}"; do check "player $p still runs" kill -0 "$p"; done
tail -n +"$log_start" "$work/pulse.log" | grep -i 'underrun of' >"$work/underruns"
underruns=$(grep -c . "$work/underruns")
for p in "${players[@]}"; do kill "$p"; done
sleep 1
for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
wait "${pids[@]}" 2>/dev/null
pids=()

awk -v b=$((b1 - b0)) -v h=$((h1 - h0)) -v m=$((m1 - m0)) -v t0="$t0" -v t1="$t1" 'BEGIN {
    printf "consumed in %.1f s: default stream %.2f frames/s, high-quality %.2f frames/s, default stream resampled %.2f frames/s\n",
        t1 - t0, b / 2 / (t1 - t0), h / 4 / (t1 - t0), m / 2 / (t1 - t0) }'
echo "underruns logged by the server while playing: $underruns"
check "no underrun" [ "$underruns" = 0 ]
[ "$underruns" = 0 ] || head -n 5 "$work/underruns"
check "no device messages" [ -z "$(cat "$work"/*.err)" ]

# Up to what was produced before the players were stopped: what they wrote
# after may not have been played. From the second second on: the server may
# rewind a stream's first moments in the sink, which its monitor, recording
# as it goes, does not follow.
streams=("plain 2 11025 $((b1 / 2))")
[ "${AMBRISE_SOAK_HQ:-0}" = 1 ] && streams+=("hq 4 44100 $((h1 / 4))")
for s in "${streams[@]}"; do
    read -r name fb rate upto <<<"$s"
    read -r _ offset _ first _ frames _ differ _ longest _ at < <("$check_bin" compare "$data/$name.produced" \
        "$data/$name.monitor" "$fb" "$upto" "$rate")
    echo "$name: monitor holds produced frames $first to $((first + frames)) ($((frames / rate)) s), $differ differ" \
        "(the first at frame $at), longest gap $longest frames"
    check "$name: recorded the whole run" [ "${frames:-0}" -gt $((seconds * rate)) ]
    check "$name: the monitor is the produced stream" [ "${differ:-1}" = 0 ]
done
read -r _ span longest < <("$check_bin" gaps "$data/mixed.monitor" 4)
echo "mixed: $((span / 44100)) s recorded, longest silence $longest frames"
check "mixed: recorded the whole run" [ "${span:-0}" -gt $((seconds * 44100)) ]
check "mixed: no gap" [ "${longest:-1}" -lt 2 ]
finish
