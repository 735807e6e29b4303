#include "audio.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/soundcard.h>

#include "background_feed.h"
#include "device.h"
#include "oscillator.h"
#include "snapshot.h"
#include "state.h"

namespace {

constexpr int fragment_request = 0x00800004;      // 128 fragments of 16 bytes
constexpr int hq_fragment_request = 0x00400008;   // 64 of 256: the same 93 ms at 44100 Hz, 16-bit stereo
constexpr int hq_rate_request = 44100;

struct Setup {
    unsigned rate;
    bool hq;
};

// The device requests and their messages. Standard output is flushed after
// each notice so that the notices keep their place among the errors on
// standard error whatever standard output is.
Setup configure(SoundDevice& dev, bool hq) {
    int value = hq ? hq_fragment_request : fragment_request;
    dev.set_fragment(&value);

    if (hq) {
        // A device without 16-bit samples plays the default stream instead;
        // no device at all says so below, once.
        value = AFMT_S16_LE;
        int r = dev.set_format(&value);
        if (dev.present() && (r == -1 || value != AFMT_S16_LE)) {
            if (r == -1) std::perror("SNDCTL_DSP_SETFMT");
            std::fputs("16-bit samples refused: playing the default stream\n", stderr);
            hq = false;
        }
    }

    value = 1;
    if (dev.set_stereo(&value) == -1) {
        std::perror("SNDCTL_DSP_STEREO");
        std::puts("no stereo, might as well quit");
        std::fflush(stdout);
    } else if (value != 1) {
        std::puts("\aNo sterio support");
        std::fflush(stdout);
        std::puts("Stereo support is REQUIRED for this to work!");
        std::fflush(stdout);
        std::puts("no stereo, might as well quit");
        std::fflush(stdout);
    }

    value = hq ? hq_rate_request : 11025;
    unsigned rate = 8000;
    if (dev.set_speed(&value) == -1) {
        std::perror("SNDCTL_DSP_SPEED");
        std::fputs("ERROR:\aCannot set a sample rate\n", stderr);
    } else if (value <= 0) {
        std::fputs("ERROR:\aCannot set a sample rate\n", stderr);
    } else {
        rate = static_cast<unsigned>(value);
    }
    return {rate, hq};
}

// How each stream's frames go to the device. The default stream: one
// unsigned byte per channel, left byte then right byte, each in a call of
// its own. The high-quality stream: signed 16-bit little-endian, left then
// right, one write per frame. A period, the frames played with one load of
// the settings, is about 6 ms either way.
struct DefaultOutput {
    static constexpr unsigned frame_bytes = 2;
    static constexpr int period_frames = 64;
    static constexpr unsigned pace_frames = 256;
    void operator()(SoundDevice& dev, std::int32_t left, std::int32_t right) const {
        auto l = static_cast<unsigned char>(left), r = static_cast<unsigned char>(right);
        dev.write(&l, 1);
        dev.write(&r, 1);
    }
};

struct HqOutput {
    static constexpr unsigned frame_bytes = 4;
    static constexpr int period_frames = 256;
    static constexpr unsigned pace_frames = 512;
    void operator()(SoundDevice& dev, std::int32_t left, std::int32_t right) const {
        auto l = static_cast<std::uint16_t>(left), r = static_cast<std::uint16_t>(right);
        const unsigned char bytes[4] = {static_cast<unsigned char>(l & 0xff), static_cast<unsigned char>(l >> 8),
                                        static_cast<unsigned char>(r & 0xff), static_cast<unsigned char>(r >> 8)};
        dev.write(bytes, sizeof bytes);
    }
};

static_assert(DefaultOutput::period_frames <= BackgroundMixer::max_period &&
              HqOutput::period_frames <= BackgroundMixer::max_period);

double seconds_since(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9;
}

// Keeps a sink that takes frames faster than it plays them (no device at
// all, ALSA's null and file sinks) to the rate's real time, at most its
// queue ahead of the wall clock. Only such a sink is paced here: a device
// whose writes block keeps its own clock, and pacing it by a second clock
// that drifts from it would drain its queue into an underrun.
class Pacer {
public:
    Pacer(unsigned rate, double queue_seconds) : rate_(rate) {
        lead_ = queue_seconds + 0.01;
        clock_gettime(CLOCK_MONOTONIC, &start_);
    }
    void frames_written(unsigned n) {
        frames_ += n;
        double ahead = static_cast<double>(frames_) / rate_ - seconds_since(start_);
        // Sleep off only the excess, so that the frames go out in small
        // bursts and each change of the parameters is heard on its own.
        if (ahead > lead_) {
            double wait = ahead - lead_ + 0.002;
            timespec ts{static_cast<time_t>(wait), static_cast<long>((wait - static_cast<double>(static_cast<time_t>(wait))) * 1e9)};
            nanosleep(&ts, nullptr);
        }
    }

private:
    unsigned rate_;
    double lead_;
    unsigned long long frames_ = 0;
    timespec start_{};
};

// The frame loop, the same for both streams: the settings loaded from the
// record once per period and the phases published after it; one count of
// the step clock per cycle of the phases (11025 frames, or N with -hq), the
// quit flag looked at once per count; the wall clock's pace only while the
// device has not shown that it keeps time. At quit the device plays out
// what it holds before the thread ends.
template <class Output>
void play(SoundDevice& dev, Oscillator& oscillator, BackgroundMixer& background, Output output, unsigned rate) {
    Pacer pacer(rate, static_cast<double>(dev.queue_bytes()) / Output::frame_bytes / rate);
    const int per_count = static_cast<int>(oscillator.format().modulus());
    int frame_count = 0;
    unsigned since_pace = 0;
    for (;;) {
        const Settings settings = load_settings();
        oscillator.load(settings);
        int frames = std::min(Output::period_frames, per_count - frame_count);
        // Without a background the frames are the tone's alone, untouched.
        const bool mixing = background.start_period(static_cast<unsigned>(frames), settings.volume);
        for (int i = 0; i < frames; ++i) {
            std::int32_t left, right;
            oscillator.frame(left, right);
            if (mixing) background.mix(static_cast<unsigned>(i), left, right);
            output(dev, left, right);
        }
        publish_phases(oscillator);
        // Paced in bursts of a few periods: each wait costs a wake-up.
        since_pace += static_cast<unsigned>(frames);
        if (since_pace >= Output::pace_frames) {
            if (dev.may_run_ahead()) pacer.frames_written(since_pace);
            since_pace = 0;
        }
        frame_count += frames;
        if (frame_count == per_count) {
            player.step_seconds.fetch_add(1, relaxed);
            if (player.quit_audio.load(relaxed)) {
                dev.drain();
                return;
            }
            frame_count = 0;
        }
    }
}

// Says that the thread runs for as long as it lives.
struct Running {
    Running() { player.audio_running.store(true); }
    ~Running() { player.audio_running.store(false); }
};

}  // namespace

void* audio_thread_main(void*) {
    Running running;
    // A queue of a tenth of a second leaves little room on a busy machine:
    // the thread asks for real-time scheduling where the system grants it
    // (and the sound library's own threads, started with the device, inherit
    // it); elsewhere it runs as it is.
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 9;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

    std::unique_ptr<SoundDevice> dev = sound_device_factory();
    Setup setup = configure(*dev, player.hq);
    const StreamFormat format{setup.hq, setup.rate};

    const std::int32_t* table = setup.hq ? nullptr : build_sine_table(format.rate);
    const std::int16_t* hq_table = setup.hq ? build_hq_table(format.rate) : nullptr;
    if (!table && !hq_table) std::fputs("cannot allocate the sine table: playing silence\n", stderr);
    player.phase_modulus.store(format.modulus(), relaxed);

    if (player.quit_audio.load(relaxed)) return nullptr;

    Oscillator oscillator(format, table, hq_table);
    BackgroundLink& link = BackgroundFeed::instance().link();
    BackgroundMixer background(format, link);
    link.rate.store(static_cast<int>(format.rate), std::memory_order_release);
    if (format.hq)
        play(*dev, oscillator, background, HqOutput{}, format.rate);
    else
        play(*dev, oscillator, background, DefaultOutput{}, format.rate);
    return nullptr;
}
