#include "audio.h"

#include <cstdio>
#include <ctime>

#include "device.h"
#include "oscillator.h"
#include "state.h"

namespace {

constexpr int fragment_request = 0x00800004;   // 128 fragments of 16 bytes
constexpr int frames_per_count = 11025;

unsigned configure(SoundDevice& dev) {
    int value = fragment_request;
    dev.set_fragment(&value);

    value = 1;
    if (dev.set_stereo(&value) == -1) {
        std::perror("SNDCTL_DSP_STEREO");
        std::puts("no stereo, might as well quit");
    } else if (value != 1) {
        std::puts("\aNo sterio support");
        std::puts("Stereo support is REQUIRED for this to work!");
        std::puts("no stereo, might as well quit");
    }

    value = 11025;
    unsigned rate = 8000;
    if (dev.set_speed(&value) == -1) {
        std::perror("SNDCTL_DSP_SPEED");
        std::fputs("ERROR:\aCannot set a sample rate\n", stderr);
    } else if (value <= 0) {
        std::fputs("ERROR:\aCannot set a sample rate\n", stderr);
    } else {
        rate = static_cast<unsigned>(value);
    }
    std::fflush(stdout);
    return rate;
}

double seconds_since(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9;
}

// Keeps a device that takes bytes faster than it plays them (none at all,
// or a sink that does not block) to the rate's real time. A device that
// blocks is never more than its queue ahead, and is never slowed twice.
class Pacer {
public:
    Pacer(unsigned rate, std::size_t queue_bytes) : rate_(rate) {
        lead_ = static_cast<double>(queue_bytes) / 2.0 / rate + 0.01;
        clock_gettime(CLOCK_MONOTONIC, &start_);
    }
    void frames_written(unsigned n) {
        frames_ += n;
        double ahead = static_cast<double>(frames_) / rate_ - seconds_since(start_);
        if (ahead > lead_) {
            double wait = ahead - lead_ / 2;
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

}  // namespace

void* audio_thread_main(void*) {
    std::unique_ptr<SoundDevice> dev = sound_device_factory();
    unsigned rate = configure(*dev);

    if (!build_sine_table(rate)) std::fputs("cannot allocate the sine table: playing silence\n", stderr);
    const std::int32_t* table = player.sine_table;

    if (player.quit_audio.load(relaxed)) return nullptr;

    Pacer pacer(rate, dev->queue_bytes());
    const bool pace = dev->may_run_ahead();
    constexpr unsigned pace_every = 256;
    int frame_count = 0;
    unsigned since_pace = 0;
    for (;;) {
        unsigned char left, right;
        compute_frame(table, left, right);
        dev->write(&left, 1);
        dev->write(&right, 1);
        if (pace && ++since_pace == pace_every) {
            pacer.frames_written(since_pace);
            since_pace = 0;
        }
        if (++frame_count == frames_per_count) {
            player.step_seconds.fetch_add(1, relaxed);
            if (player.quit_audio.load(relaxed)) return nullptr;
            frame_count = 0;
        }
    }
}
