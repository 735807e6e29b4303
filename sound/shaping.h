// Noise backgrounds and listening modes as sound, shared by both programs'
// tone generators. Everything here works on the signed sum of a channel's
// partials (its "half", before any midpoint or volume), so each sound path
// keeps its own rule for turning that into a sample.
#pragma once

#include <cstdint>

#include "listening.h"

namespace sound {

using seq::ListenMode;
using seq::NoiseColour;

// One channel's noise: white, pink (-3 dB per octave) or brown (-6 dB per
// octave) from a 64-bit generator. Samples lie in [-1, 1]: white is uniform
// over the whole range; pink and brown have an RMS of 1/4 and are clipped
// at four times that, which they reach very rarely.
class NoiseSource {
public:
    explicit NoiseSource(std::uint64_t seed = 1) : state_(seed ? seed : 1) {}
    double next(NoiseColour colour);

private:
    double uniform();   // [-1, 1)
    std::uint64_t state_;
    double pink_[7] = {};
    double brown_ = 0.0;
};

// The on/off envelope of isochronic pulses: on for the first half of each
// beat cycle, off for the second, with raised-cosine edges so that the
// pulses never click.
class PulseEnvelope {
public:
    // Edge length: 4 ms, but at most a quarter of a cycle at fast beats.
    static constexpr double edge_seconds = 0.004;

    // The gain for the next frame (0 to 1), the cycle advanced by beat / rate.
    // A beat of 0 or less (or not a number) holds the cycle where it is.
    double next(double beat, double rate);
    double phase() const { return phase_; }

private:
    double phase_ = 0.25;   // starts in the middle of a pulse: no jump when switched on
};

// The listening state one program carries from line to line and frame to
// frame: mode, noise and their generators.
struct Listening {
    ListenMode mode = ListenMode::Binaural;
    NoiseColour colour = NoiseColour::Off;
    double level = 0.0;   // percent of the tone's full scale
    NoiseSource left_noise{0x9E3779B97F4A7C15ull};
    NoiseSource right_noise{0xD1B54A32D192ED03ull};
    PulseEnvelope pulse;

    // True while the frames are today's plain binaural tone.
    bool plain() const { return mode == ListenMode::Binaural && (colour == NoiseColour::Off || level <= 0.0); }

    // Applies the mode and adds the noise to one frame's two signed sums.
    // full_scale is the sum that a tone at volume 100 reaches at full scale
    // in the caller's sound path (32767 for 16 bits, 127 for 8 bits); beat
    // and rate drive the isochronic envelope.
    void shape(std::int32_t& left, std::int32_t& right, double beat, double rate, std::int32_t full_scale);
};

}  // namespace sound
