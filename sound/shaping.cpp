#include "shaping.h"

#include <cmath>

namespace sound {

namespace {

// Scales that bring pink and brown to an RMS of 1/4 from uniform white of
// RMS 1/sqrt(3), measured over 2^24 samples.
constexpr double pink_scale = 0.1423;
// Brown: a leaky integrator whose corner (3.5 Hz) lies far below the band
// it is heard in, so the slope is -6 dB per octave from 50 Hz up.
constexpr double brown_pole = 0.9995;
constexpr double brown_gain = 0.01369;

inline double clip(double x) { return x > 1.0 ? 1.0 : (x < -1.0 ? -1.0 : x); }

// A sum plus noise, kept inside the 32-bit range.
inline std::int32_t add(std::int32_t sum, double noise) {
    double v = static_cast<double>(sum) + noise;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

}  // namespace

double NoiseSource::uniform() {
    // xorshift64*: fast, and the same sequence on every machine.
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    std::uint64_t r = state_ * 0x2545F4914F6CDD1Dull;
    // The top 53 bits as a double in [0, 2), moved to [-1, 1).
    return static_cast<double>(r >> 11) * (1.0 / 4503599627370496.0) - 1.0;
}

double NoiseSource::next(NoiseColour colour) {
    double w = uniform();
    switch (colour) {
        case NoiseColour::White:
            return w;
        case NoiseColour::Pink: {
            // A sum of first-order filters whose poles are spread so that
            // together they fall 3 dB per octave across the audible band.
            double* b = pink_;
            b[0] = 0.99886 * b[0] + w * 0.0555179;
            b[1] = 0.99332 * b[1] + w * 0.0750759;
            b[2] = 0.96900 * b[2] + w * 0.1538520;
            b[3] = 0.86650 * b[3] + w * 0.3104856;
            b[4] = 0.55000 * b[4] + w * 0.5329522;
            b[5] = -0.7616 * b[5] - w * 0.0168980;
            double p = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
            b[6] = w * 0.115926;
            return clip(p * pink_scale);
        }
        case NoiseColour::Brown:
            brown_ = brown_pole * brown_ + brown_gain * w;
            return clip(brown_);
        case NoiseColour::Off:
            break;
    }
    return 0.0;
}

double PulseEnvelope::next(double beat, double rate) {
    if (beat > 0.0 && rate > 0.0 && std::isfinite(beat)) {
        phase_ += beat / rate;
        if (phase_ >= 1.0) phase_ -= std::floor(phase_);
        if (!(phase_ >= 0.0 && phase_ < 1.0)) phase_ = 0.0;
    }
    // The edge as a fraction of a cycle, at most a quarter.
    double edge = 0.25;
    if (beat > 0.0 && std::isfinite(beat)) {
        double e = edge_seconds * beat;
        if (e < edge) edge = e;
    }
    double p = phase_;
    if (p >= 0.5) return 0.0;
    if (p < edge) return 0.5 - 0.5 * std::cos(M_PI * p / edge);
    if (p > 0.5 - edge) return 0.5 - 0.5 * std::cos(M_PI * (0.5 - p) / edge);
    return 1.0;
}

void Listening::shape(std::int32_t& left, std::int32_t& right, double beat, double rate, std::int32_t full_scale) {
    switch (mode) {
        case ListenMode::Binaural:
            break;
        case ListenMode::Monaural: {
            // Both tones in both ears: the beat happens in the air.
            auto mixed = static_cast<std::int32_t>((static_cast<std::int64_t>(left) + right) / 2);
            left = right = mixed;
            break;
        }
        case ListenMode::Isochronic: {
            double gain = pulse.next(beat, rate);
            left = right = static_cast<std::int32_t>(static_cast<double>(left) * gain);
            break;
        }
    }
    if (colour != NoiseColour::Off && level > 0.0) {
        double scale = level / 100.0 * full_scale;
        left = add(left, std::trunc(left_noise.next(colour) * scale));
        right = add(right, std::trunc(right_noise.next(colour) * scale));
    }
}

}  // namespace sound
