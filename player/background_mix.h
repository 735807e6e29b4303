// The background sound as the audio thread sees it: frames from a ring the
// decoder thread fills, a level that glides, and the mixing of both into
// the tone's frames. Nothing here allocates, locks, waits or calls a library
// once built: a dry ring is silence for the moment, and the tone goes on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "background.h"
#include "oscillator.h"
#include "ring.h"

// The levels the window's menu offers, and the one the user's choice
// starts at (-background, or a file chosen in the menu).
constexpr int background_levels[] = {10, 20, 30, 50};
constexpr double default_background_level = 30.0;

// What the decoder thread, the main thread and the audio thread share.
struct BackgroundLink {
    // The decoder keeps half a second in it: room for that up to 131 kHz.
    static constexpr std::size_t ring_frames = 1 << 16;

    sound::FrameRing ring{ring_frames};
    // The level as a gain (sound::background_gain), set by the main thread.
    std::atomic<double> gain{0.0};
    // Set by the decoder once its frames flow; they then flow for good
    // (silence when there is no file), so a dry ring is an underrun.
    std::atomic<bool> streaming{false};
    // The output rate, from the audio thread once the device has answered.
    std::atomic<int> rate{0};
};

class BackgroundMixer {
public:
    // Frames of the longest period the audio thread plays.
    static constexpr unsigned max_period = 256;

    BackgroundMixer(StreamFormat format, BackgroundLink& link);

    // Once per period, before its `frames` frames (at most max_period): the
    // level and the frames to mix. The volume is the tone's, as heard. False
    // when nothing is to be added: the frames then stay exactly the tone's.
    bool start_period(unsigned frames, double volume);
    // Frame `i` of the period, the background added to the tone's samples
    // and kept within the stream's range.
    void mix(unsigned i, std::int32_t& left, std::int32_t& right) const;

    double gain() const { return glide_.gain(); }

private:
    StreamFormat format_;
    BackgroundLink& link_;
    sound::GainGlide glide_;
    VolumeRamp volume_;
    float frames_[2 * max_period] = {};
    double scale_[max_period] = {};
};
