// The player's oscillator bank: partial k at 2^k times the base, weighted
// 1/2^k, looked up in an integer sine table. Two streams share it:
//   the default one, unsigned 8-bit at the granted rate with the phases
//   counted modulo 11025 and the volume scaling the midpoint too;
//   the high-quality one (-hq), signed 16-bit, phases modulo the granted
//   rate N so every partial sounds at its exact frequency, centred on 0,
//   the volume gliding to each new value over 10 ms.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "shaping.h"

constexpr double phase_modulus = 11025.0;

// One cycle in N entries of amplitude 127, allocated with at least 11025
// entries (2N, or more for small N) so that every phase index is readable.
std::vector<std::int32_t> make_sine_table(unsigned n);

// Builds the table for the granted rate N and keeps it in the player's
// state. False when it cannot be allocated.
bool build_sine_table(unsigned n);

using Phase = std::atomic<double>;

void advance_phases(Phase* bank, int count, double base, double offset);
std::int32_t mix_channel(const std::int32_t* table, const Phase* bank, int count, double volume);

// The signed sum of a channel's partials, entry / 2^k each, truncating:
// the one place both streams add up their partials.
std::int32_t partial_sum(const std::int32_t* table, const Phase* bank, int count);

// One frame of the default stream from the shared state: both banks
// advanced, then left and right mixed. Without a table (it could not be
// allocated) the frame is the rest level, silence.
void compute_frame(const std::int32_t* table, unsigned char& left, unsigned char& right);

// The same frame with the noise and listening mode of the shared state,
// applied to each channel's signed half sum before the midpoint; the
// listening record carries the noise generators and pulse envelope from
// frame to frame. While plain, the frame is exactly the one above.
void compute_frame(const std::int32_t* table, sound::Listening& listening, unsigned char& left, unsigned char& right);

// The default stream's sample for a signed half sum: the midpoint 128
// added, scaled by the volume, kept within 0..255.
std::int32_t default_sample(std::int32_t half, double volume);

// Copies the noise and mode of the shared state into a listening record.
void load_listening(sound::Listening& listening);

// ---- the high-quality stream ----

constexpr double hq_amplitude = 32767.0;

// One cycle in exactly N entries, round(32767 sin(2 pi i / N)), made odd
// about the half cycle so that a whole cycle sums to 0. 16-bit entries keep
// the table small enough to stay in the cache.
std::vector<std::int16_t> make_hq_table(unsigned n);

// Builds that table for the granted rate N, kept for the process's life;
// null when it cannot be allocated.
const std::int16_t* build_hq_table(unsigned n);

std::int32_t partial_sum(const std::int16_t* table, const Phase* bank, int count);

// Advances a bank's phases, counted modulo N (the granted rate), by one
// frame. Each partial's step, 2^k * base + offset, is reduced modulo N once
// for as long as base and offset stay, so a frame needs no remainder.
class PhaseStepper {
public:
    explicit PhaseStepper(double modulus) : modulus_(modulus) {}
    void advance(Phase* bank, int count, double base, double offset);

private:
    double modulus_;
    double base_ = 0.0, offset_ = 0.0;
    bool known_ = false;
    double step_[10] = {};
};

// floor(sum / 2 * volume / 100) with no midpoint, kept within 16 bits.
std::int16_t hq_sample(std::int32_t sum, double volume);
// The same for a half sum that is already halved (and shaped).
std::int16_t hq_level(std::int32_t half, double volume);

// Reaches each new volume by equal steps, one per frame, over `frames`
// frames (10 ms of the rate), instead of jumping to it.
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

// One frame of the high-quality stream from the shared state, for a table
// of N entries and phases modulo N.
class HqFrame {
public:
    HqFrame(const std::int16_t* table, unsigned rate)
        : table_(table),
          left_(static_cast<double>(rate)),
          right_(static_cast<double>(rate)),
          ramp_(rate >= 100 ? rate / 100 : 1),
          rate_(static_cast<double>(rate)) {}
    void operator()(std::int16_t& left, std::int16_t& right);
    // The first half of a frame: both banks advanced, each channel's signed
    // sum of partials.
    void sums(std::int32_t& left, std::int32_t& right);

private:
    const std::int16_t* table_;
    PhaseStepper left_, right_;
    VolumeRamp ramp_;
    double rate_;
    sound::Listening listening_;
};
