// The scalar reference synthesis: a block's phases stepped frame by frame
// and each partial read by the tone rules. The vector kernels give the same
// sums and samples for the blocks they take.
#pragma once

#include <cstring>

#include "block_cache.h"

namespace render {

// Blocks that do not go through the channel caches: no partials, or a
// listening mode or noise (the mode and noise applied to each half sum
// before the sample rule). The wraps are added to the state's. In the
// clean mode, after a change, the volume glides from the last block's and
// the last block's partial count, mode and noise crossfade into the new.
void silent_block(RenderState& state, unsigned char* out);
void shaped_block(RenderState& state, unsigned char* out, double base, double beat);

namespace {

// A frame's little-endian words, left then right.
inline void store_frame(unsigned char* p, std::uint32_t l, std::uint32_t r) {
    std::uint32_t frame = (l & 0xffff) | (r << 16);
    unsigned char bytes[4] = {static_cast<unsigned char>(frame), static_cast<unsigned char>(frame >> 8),
                              static_cast<unsigned char>(frame >> 16), static_cast<unsigned char>(frame >> 24)};
    std::memcpy(p, bytes, 4);
}

// A sum's sample from the level table when there is one, else by the rule.
template <class Mode>
inline std::uint16_t sample_of(std::int32_t sum, const std::uint16_t* levels, const LevelCache<Mode>& cache,
                               double volume, std::int64_t& wraps) {
    if (levels) {
        if constexpr (Mode::wraps) wraps += cache.wrapped(sum);
        return levels[sum];
    }
    return formula_sample<Mode>(sum, volume, wraps);
}

// Steps Count partials from first on through a block (Cycles as
// cycles_needed gives it, 0 for the general step) and hands each frame's
// sum of them to emit(f, sum). The first partial reads the full table.
template <int Count, int Cycles, bool Fundamental, class Emit>
[[gnu::always_inline]] inline void step_frames(double* phase, const double* step, int first, Emit emit) {
    double x[Count];   // a local, so that the stores cannot be taken to alias it
    const std::int16_t* rows[Count];
    PhaseStep general[Cycles == 0 ? Count : 1];
    for (int k = 0; k < Count; ++k) {
        x[k] = phase[k];
        rows[k] = weighted[first + k];
        if constexpr (Cycles == 0) general[k] = PhaseStep(step[k]);
    }
    for (int f = 0; f < frames_per_block; ++f) {
        std::int32_t sum = 0;
#pragma GCC unroll 10
        for (int k = 0; k < Count; ++k) {
            if constexpr (Cycles == 0)
                x[k] = general[k](x[k]);
            else
                x[k] = step_phase<Cycles>(step[k], x[k]);
            // A 64-bit conversion: the index needs no widening before the read.
            const auto i = static_cast<std::int64_t>(x[k]);
            sum += Fundamental && k == 0 ? table[i] : rows[k][i];
        }
        emit(f, sum);
    }
    for (int k = 0; k < Count; ++k) phase[k] = x[k];
}

// One channel's samples of N partials; with Extra, each frame's sum starts
// from the given sums of the channel's upper partials.
template <int N, class Mode, int Cycles, bool Extra = false>
std::int64_t scalar_channel(double* phase, const double* step, std::uint16_t* out, const std::uint16_t* levels,
                            const LevelCache<Mode>& cache, double volume, const std::int32_t* extra = nullptr) {
    std::int64_t wraps = 0;
    step_frames<N, Cycles, true>(phase, step, 0, [&](int f, std::int32_t sum) {
        if constexpr (Extra) sum += extra[f];
        out[f] = sample_of<Mode>(sum, levels, cache, volume, wraps);
    });
    return wraps;
}

// The sums of Count partials from first on, frame by frame.
template <int Count, int Cycles, bool Fundamental>
void scalar_sums(double* phase, const double* step, int first, std::int32_t* sums) {
    step_frames<Count, Cycles, Fundamental>(phase, step, first, [&](int f, std::int32_t sum) { sums[f] = sum; });
}

}  // namespace

}  // namespace render
