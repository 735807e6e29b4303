// The player's oscillator bank: partial k at 2^k times the base, weighted
// 1/2^k, looked up in an integer sine table, and the one frame pipeline
// that plays both streams, told apart by their format:
//   the default one, unsigned 8-bit at the granted rate with the phases
//   counted modulo 11025, the volume scaling the midpoint too, every
//   change heard at once;
//   the high-quality one (-hq), signed 16-bit, phases modulo the granted
//   rate N so every partial sounds at its exact frequency, centred on 0,
//   every change gliding over 10 ms.
// The pipeline knows nothing of the player's record: it plays the settings
// it is given, which the audio thread loads once per period.
#pragma once

#include <cstdint>
#include <vector>

#include "shaping.h"

constexpr int phase_count = 10;
constexpr double phase_modulus = 11025.0;
constexpr double hq_amplitude = 32767.0;

// One cycle in N entries of amplitude 127, allocated with at least 11025
// entries (2N, or more for small N) so that every phase index is readable.
std::vector<std::int32_t> make_sine_table(unsigned n);
// One cycle in exactly N entries, round(32767 sin(2 pi i / N)), made odd
// about the half cycle so that a whole cycle sums to 0. 16-bit entries keep
// the table small enough to stay in the cache.
std::vector<std::int16_t> make_hq_table(unsigned n);

// Those tables for the granted rate N, kept for the process's life; null
// when they cannot be allocated.
const std::int32_t* build_sine_table(unsigned n);
const std::int16_t* build_hq_table(unsigned n);

// What tells the two streams apart, fixed once the device has answered.
struct StreamFormat {
    bool hq = false;
    unsigned rate = 11025;   // granted by the device
    // Phase units per cycle; also the frames of one count of the step clock.
    double modulus() const { return hq ? static_cast<double>(rate) : phase_modulus; }
    // The half sum a tone at volume 100 reaches at full scale.
    std::int32_t full_scale() const { return hq ? 32767 : 127; }
    // Frames over which a change is spread: 10 ms, or 1 (at once).
    unsigned glide_frames() const { return hq && rate >= 100 ? rate / 100 : 1; }
};

// The sound's parameters as one period plays them.
struct Settings {
    double base = 300.0, beat = 10.0;
    double volume = 0.0;   // as heard: through the gain stage
    int harmonics = 3;
    seq::ListenMode mode = seq::ListenMode::Binaural;
    seq::NoiseColour colour = seq::NoiseColour::Off;
    double noise_level = 0.0;
};

// The signed sum of a channel's partials, entry / 2^k each, truncating:
// the one place both streams add up their partials.
std::int32_t partial_sum(const std::int32_t* table, const double* bank, int count);
std::int32_t partial_sum(const std::int16_t* table, const double* bank, int count);

// The default stream's sample for a signed half sum: the midpoint 128
// added, scaled by the volume, kept within 0..255.
std::int32_t default_sample(std::int32_t half, double volume);
// floor(half * volume / 100) with no midpoint, kept within 16 bits.
std::int16_t hq_level(double half, double volume);
// The same for a whole sum, halved first (truncating).
inline std::int16_t hq_sample(std::int32_t sum, double volume) { return hq_level(sum / 2, volume); }

// Advances a bank's phases by one frame. Each partial's step, 2^k * base +
// offset, is worked out once for as long as base and offset stay; reduced
// modulo the cycle when asked (the high-quality stream), so that a frame
// needs no remainder, or left whole so that the default stream adds it to
// the phase before wrapping, exactly as it always has.
class PhaseStepper {
public:
    PhaseStepper(double modulus, bool reduce) : modulus_(modulus), reduce_(reduce) {}
    void advance(double* bank, int count, double base, double offset);

private:
    double modulus_;
    bool reduce_;
    double base_ = 0.0, offset_ = 0.0;
    bool known_ = false;
    double step_[phase_count] = {};
};

// Reaches each new volume by equal steps, one per frame, over `frames`
// frames, instead of jumping to it; 1 frame takes it at once.
class VolumeRamp {
public:
    explicit VolumeRamp(unsigned frames) : length_(frames ? frames : 1) {}
    // The volume for this frame, given the volume wanted now.
    double next(double wanted) {
        if (!started_) {
            started_ = true;
            current_ = target_ = wanted;
        } else if (!(wanted == target_)) {
            target_ = wanted;
            step_ = (target_ - current_) / length_;
            left_ = length_;
        }
        if (left_ > 0) current_ = --left_ == 0 ? target_ : current_ + step_;
        return current_;
    }
    unsigned length() const { return length_; }

private:
    unsigned length_;
    unsigned left_ = 0;
    bool started_ = false;
    double current_ = 0.0, target_ = 0.0, step_ = 0.0;
};

// The frame pipeline. Tables may be null (they could not be allocated):
// the frames are then the stream's silence.
class Oscillator {
public:
    Oscillator(StreamFormat format, const std::int32_t* table, const std::int16_t* hq_table);
    // The settings from the next frame on. Base, beat and volume are taken
    // as they are (the volume through its ramp); a new mode, number of
    // partials, noise colour or level glides from the old one.
    void load(const Settings& settings);
    // One frame: the default stream's byte values or 16-bit samples.
    void frame(std::int32_t& left, std::int32_t& right);
    // The first half of a frame: both banks advanced, each channel's signed
    // sum of the partials now playing.
    void sums(std::int32_t& left, std::int32_t& right);

    const double* left_phases() const { return left_bank_; }
    const double* right_phases() const { return right_bank_; }
    const StreamFormat& format() const { return format_; }

private:
    std::int32_t sum(const double* bank, int count) const;
    void shape(sound::Listening& listening, std::int32_t& left, std::int32_t& right);
    void start_glide();

    StreamFormat format_;
    const std::int32_t* table_;
    const std::int16_t* hq_table_;
    PhaseStepper left_step_, right_step_;
    VolumeRamp ramp_;
    double left_bank_[phase_count] = {};
    double right_bank_[phase_count] = {};
    Settings wanted_;   // as last loaded
    Settings playing_;  // what the new side of a glide plays
    sound::Listening listening_;   // the sound of `playing_`, carried on
    // During a glide: what was playing before, and the frames done.
    Settings fading_;
    sound::Listening fading_listening_;
    unsigned glide_done_ = 0, glide_length_;
    bool gliding_ = false;
    bool loaded_ = false;
};
