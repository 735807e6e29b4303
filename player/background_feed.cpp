#include "background_feed.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

namespace {

void report_underruns() {
    const std::string line = underrun_report(BackgroundFeed::instance().underruns());
    if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

BackgroundFeed& BackgroundFeed::instance() {
    static BackgroundFeed* feed = new BackgroundFeed;
    return *feed;
}

std::string underrun_report(std::uint64_t underruns) {
    if (underruns == 0) return "";
    return "background sound: the decoder fell behind " + std::to_string(underruns) +
           (underruns == 1 ? " time" : " times") + " (periods played without it)";
}

BackgroundFeed::~BackgroundFeed() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void BackgroundFeed::play(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            // A feed that never plays a file starts no thread at all.
            if (path.empty()) return;
            thread_ = std::thread([this] { run(); });
            if (this == &instance()) std::atexit(report_underruns);
        }
        wanted_ = path;
        ++generation_;
    }
    wake_.notify_one();
}

void BackgroundFeed::set_level(double percent) {
    link_.gain.store(sound::background_gain(std::clamp(percent, 0.0, 100.0)), std::memory_order_relaxed);
}

void BackgroundFeed::run() {
    constexpr std::size_t chunk = sound::BackgroundSource::chunk_frames;
    std::vector<float> now(2 * chunk), next(2 * chunk);
    std::unique_ptr<sound::BackgroundSource> playing, coming;
    std::unique_ptr<sound::GainGlide> crossfade;   // from `playing` to `coming`
    std::set<std::string> failed;                  // each said once
    std::uint64_t seen = 0;
    bool pending = false;
    std::string path;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stop_) return;
            if (generation_ != seen) {
                seen = generation_;
                path = wanted_;
                pending = true;
            }
        }
        const int rate = link_.rate.load(std::memory_order_acquire);
        // A new file waits for the crossfade before it and for the rate.
        if (pending && !crossfade && rate > 0) {
            pending = false;
            coming.reset();
            if (!path.empty()) {
                std::string message;
                coming = sound::BackgroundSource::open_file(path, rate, message);
                if (!coming && failed.insert(path).second)
                    std::fprintf(stderr, "background sound not played: %s\n", message.c_str());
            }
            if (coming || playing) {
                crossfade = std::make_unique<sound::GainGlide>(rate, 0.0);
                crossfade->glide_to(1.0);
            }
        }
        const std::size_t keep = std::min(link_.ring.capacity(), rate > 0 ? static_cast<std::size_t>(rate) / 2 : 0);
        const std::size_t held = link_.ring.capacity() - link_.ring.space();
        const bool flowing = playing || crossfade || link_.streaming.load(std::memory_order_relaxed);
        if (!flowing || held >= keep) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(10), [&] { return stop_ || generation_ != seen; });
            continue;
        }
        const std::size_t n = std::min(chunk, keep - held);
        if (playing)
            playing->read(now.data(), n);
        else
            std::fill(now.begin(), now.begin() + 2 * n, 0.0f);
        if (crossfade) {
            if (coming)
                coming->read(next.data(), n);
            else
                std::fill(next.begin(), next.begin() + 2 * n, 0.0f);
            for (std::size_t i = 0; i < n && crossfade; ++i) {
                const float x = static_cast<float>(crossfade->next());
                now[2 * i] += (next[2 * i] - now[2 * i]) * x;
                now[2 * i + 1] += (next[2 * i + 1] - now[2 * i + 1]) * x;
                if (crossfade->settled()) {
                    // The rest of this chunk is the new file's own.
                    std::copy(next.begin() + 2 * (i + 1), next.begin() + 2 * n, now.begin() + 2 * (i + 1));
                    crossfade.reset();
                    playing = std::move(coming);
                }
            }
        }
        link_.ring.write(now.data(), n);
        link_.streaming.store(true, std::memory_order_release);
    }
}
