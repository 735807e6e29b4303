// --measure and --loudness: the measuring pass before a render, its
// report, and the gain the render is then made with.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "synth.h"

namespace render {

// Reads --loudness's target (LUFS); false for anything but a number from
// sound::loudness_lowest to sound::loudness_highest.
bool read_loudness_target(std::string_view text, double& target);

// --measure: the clean render's integrated loudness, loudness range, true
// peak and sample peak on standard output, one "key value" line each.
void print_measurement(std::FILE* in, const RenderState& start, std::int64_t total_blocks);

// The measuring pass of --loudness: the gain that brings the clean render
// to the target. When the true peak limit stops it short, or the render is
// silent, says so on standard error.
double loudness_pass(std::FILE* in, const RenderState& start, double target, std::int64_t total_blocks);

// The state's volume scaled by the gain for the blocks of one call, and
// the state's own volume back after: the loudness gain is folded into the
// clean rule's volume, so the synthesis is the same and every sample is
// still floored once.
class ScaledVolume {
public:
    ScaledVolume(RenderState& state, double gain) : state_(state), volume_(state.volume) {
        if (gain != 1.0) state.volume = volume_ * gain;
    }
    ScaledVolume(const ScaledVolume&) = delete;
    ScaledVolume& operator=(const ScaledVolume&) = delete;
    ~ScaledVolume() { state_.volume = volume_; }

private:
    RenderState& state_;
    double volume_;
};

}  // namespace render
