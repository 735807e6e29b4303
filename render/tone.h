// The renderer's tone rules, each written once: a partial's phase step, the
// step of a phase, a partial's weight and table read, a frame's half sum and
// the sample rule of each mode. The scalar reference, the vector kernels,
// the noise and mode path and the block caches all take them from here.
#pragma once

#include <cmath>
#include <cstdint>

#include "phase.h"
#include "synth.h"

namespace render {

// The sine table and each partial's entries already divided by its weight
// (rows 1 on; row 0 stays unused, partial 0 reads the table itself, whose
// peak entry 32768 does not fit 16 bits). Built by build_sine_table and
// fill_rows.
extern std::int32_t table[table_size];
extern std::int16_t weighted[max_partials][table_size];
// Fills the weighted rows up to n partials where not yet filled.
void fill_rows(int n);

// The exact mode: a 32768 midpoint, scaled by the volume; the caller keeps
// the low 16 bits, so values past the word's range wrap.
struct Exact {
    static constexpr bool wraps = true;
    static constexpr int index = 0;
    static constexpr std::int32_t midpoint = 32768;
};

// The clean mode: no midpoint, saturated to the word's range.
struct Clean {
    static constexpr bool wraps = false;
    static constexpr int index = 1;
    static constexpr std::int32_t midpoint = 0;
};

// Internal to each file that includes them: the kernels are compiled for
// their own instruction sets, and one file's copy of a rule must never
// stand in for another's.
namespace {

constexpr double modulus = 44100.0;

// 2^k for every partial: exact doubles.
constexpr double power_of_two[max_partials] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

// Partial k's phase step per frame, at 2^k times the base plus the offset
// (0 on the left, the beat on the right).
inline double partial_step(int k, double base, double offset) { return power_of_two[k] * base + offset; }

inline double wrap_phase(double x) { return sound::wrap_phase(x, modulus); }

// The general step of a phase: the remainder of step plus phase, for any
// step and phase. A step so large that adding a phase leaves it as it was
// gives the same phase every frame, its own remainder, which is worked out
// once: the remainder of such values takes a long loop.
class PhaseStep {
public:
    PhaseStep() = default;
    explicit PhaseStep(double step)
        : step_(step), absorbs_(std::isfinite(step) && std::fabs(step) >= 0x1p70), rest_(absorbs_ ? wrap_phase(step) : 0) {}
    double operator()(double x) const {
        double y = step_ + x;
        return absorbs_ && y == step_ ? rest_ : wrap_phase(y);
    }

private:
    double step_ = 0;
    bool absorbs_ = false;
    double rest_ = 0;
};

// The same step for phases inside the cycle and steps of 0 or more below
// Cycles cycles (1 or 2): the sum stays below Cycles + 1 cycles, where
// subtracting a cycle where the sum reached one (twice for steps up to two
// cycles) is exact and is what the general rule gives, without its range
// checks and remainder.
template <int Cycles>
inline double step_phase(double step, double x) {
    static_assert(Cycles == 1 || Cycles == 2);
    double y = step + x;
    y = y >= modulus ? y - modulus : y;
    if constexpr (Cycles == 2) y = y >= modulus ? y - modulus : y;
    return y;
}

// The fewest cycles the steps of this block need (1 or 2), or 0 for the
// general rule.
template <int N>
int cycles_needed(const double* phase, const double* step) {
    int cycles = 1;
    for (int k = 0; k < N; ++k) {
        if (!(phase[k] >= 0.0 && phase[k] < modulus && step[k] >= 0.0 && step[k] < 2.0 * modulus)) return 0;
        if (step[k] >= modulus) cycles = 2;
    }
    return cycles;
}

// A frame's partials summed, halved toward zero: the signed value every
// mode starts from.
inline std::int32_t half_of(std::int32_t sum) { return sum / 2; }

// A partial's weight: its table entry divided by k + 1, toward zero.
constexpr std::int32_t weigh(std::int32_t entry, int k) { return entry / (k + 1); }

// Partial k's value at a phase inside the cycle: the table read, weighed.
inline std::int32_t partial_value(int k, double phase) { return weigh(table[static_cast<std::int64_t>(phase)], k); }

// The same read from the weighted rows, which hold these values (filled by
// weigh; the reference tests hold every path to partial_value). A 64-bit
// conversion: the index needs no widening before the read.
inline std::int32_t weighted_value(int k, double phase) {
    const auto i = static_cast<std::int64_t>(phase);
    return k == 0 ? table[i] : weighted[k][i];
}

// A frame's half sum of n partials at these phases, by the reference rules.
inline std::int32_t frame_half(const double* phase, int n) {
    std::int32_t sum = 0;
    for (int k = 0; k < n; ++k) sum += partial_value(k, phase[k]);
    return half_of(sum);
}

// floor(v) as a 32-bit integer, clamped to its range; NaN gives 0.
inline std::int32_t floor_to_int32(double v) {
    if (v > -2147483648.0 && v < 2147483647.0) {
        // Truncation, one lower for negative fractions: floor, exactly.
        auto i = static_cast<std::int64_t>(v);
        return static_cast<std::int32_t>(static_cast<double>(i) > v ? i - 1 : i);
    }
    v = std::floor(v);
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    if (v != v) return 0;
    return static_cast<std::int32_t>(v);
}

// The clean mode's level for a half sum, whole or crossfaded: saturated.
inline std::int32_t clean_level(double half, double volume) {
    std::int32_t v = floor_to_int32(half * volume / 100.0);
    return v > 32767 ? 32767 : v < -32768 ? -32768 : v;
}

// The sample rule of each mode for a frame's half sum. A mode whose value
// is past the word's range wraps (the caller keeps the low 16 bits).
template <class Mode>
inline std::int32_t sample(std::int32_t half, double volume) {
    if constexpr (Mode::wraps)
        return floor_to_int32(static_cast<double>(half + Mode::midpoint) * volume / 100.0);
    else
        return clean_level(static_cast<double>(half), volume);
}

// The clean mode's gain at frame i of a block whose volume glides from the
// previous block's to its own, reaching it at the block's last frame.
inline double glide_gain(double from, double to, int i) {
    return from + (to - from) * static_cast<double>(i + 1) / frames_per_block;
}

// Frame i's half sum in the block that crossfades from one setting's to
// another's.
inline double crossfade(std::int32_t was, std::int32_t now, int i) {
    return static_cast<double>(was) + static_cast<double>(now - was) * static_cast<double>(i + 1) / frames_per_block;
}

inline bool outside_word(std::int32_t v) { return v < -32768 || v > 32767; }

// A frame's 16-bit word for its partials' sum by the mode's rule; a wrapped
// sample is counted.
template <class Mode>
inline std::uint16_t formula_sample(std::int32_t sum, double volume, std::int64_t& wraps) {
    std::int32_t v = sample<Mode>(half_of(sum), volume);
    if constexpr (Mode::wraps) wraps += outside_word(v);
    return static_cast<std::uint16_t>(v);
}

// The largest sum magnitude of n partials: each partial's weighed peak.
constexpr std::int32_t bound_for(int n) {
    std::int32_t b = 0;
    for (int k = 0; k < n; ++k) b += weigh(32768, k);
    return b;
}

inline int clamp_partials(int harmonics) {
    return harmonics <= 0 ? 0 : harmonics > max_partials ? max_partials : harmonics;
}

}  // namespace

}  // namespace render
