#include "background_mix.h"

#include <algorithm>
#include <cmath>

BackgroundMixer::BackgroundMixer(StreamFormat format, BackgroundLink& link)
    : format_(format), link_(link), glide_(format.rate), volume_(format.glide_frames()) {}

bool BackgroundMixer::start_period(unsigned frames, double volume) {
    frames = std::min(frames, max_period);
    const bool streaming = link_.streaming.load(std::memory_order_acquire);
    const double target = streaming ? link_.gain.load(std::memory_order_relaxed) : 0.0;
    if (!(target == glide_.target())) glide_.glide_to(target);
    // The ring is read while frames flow, heard or not, so that what plays
    // after a silence is the decoder's newest and not frames held back.
    if (streaming) link_.ring.read(frames_, frames);
    if (glide_.settled() && glide_.gain() == 0.0) {
        volume_.next(volume);   // followed, so a later start glides from it
        return false;
    }
    if (!streaming) std::fill(frames_, frames_ + 2 * frames, 0.0f);
    const double full = format_.full_scale();
    for (unsigned i = 0; i < frames; ++i) scale_[i] = glide_.next() * volume_.next(volume) / 100.0 * full;
    return true;
}

void BackgroundMixer::mix(unsigned i, std::int32_t& left, std::int32_t& right) const {
    const double lo = format_.hq ? -32768.0 : 0.0, hi = format_.hq ? 32767.0 : 255.0;
    const double l = std::clamp(left + std::nearbyint(frames_[2 * i] * scale_[i]), lo, hi);
    const double r = std::clamp(right + std::nearbyint(frames_[2 * i + 1] * scale_[i]), lo, hi);
    left = static_cast<std::int32_t>(l);
    right = static_cast<std::int32_t>(r);
}
