// The measuring pass: a clean render that goes into a loudness meter
// instead of a file, and notes where it saturates.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "interpreter.h"
#include "loudness.h"

namespace render {

class BackgroundMix;

class MeasureSink : public BlockSink {
public:
    // Bounded: a meter of constant memory, for renders of days. With
    // background, the sequence's background files are mixed in, as the
    // render mixes them.
    MeasureSink(unsigned measures, bool bounded, bool background = false);
    ~MeasureSink() override;

    void blocks(RenderState& state, std::int64_t count, double base, double beat) override;
    bool segment(RenderState& state, const Segment& s) override;

    bool ok() const;
    sound::Loudness result() const;
    // Samples so far at the clean rule's limits (-32768 or 32767): where the
    // clean render saturates, or touches full scale.
    std::int64_t full_scale_samples() const;

private:
    class Frames;
    std::unique_ptr<Frames> frames_;
    std::unique_ptr<BackgroundMix> mix_;
};

// Whether a render of so many blocks is measured with the bounded meter.
bool measure_bounded(std::int64_t total_blocks);

// Measures the clean render of a sequence from the given state.
sound::Loudness measure_clean(std::FILE* in, const RenderState& start, unsigned measures, std::int64_t total_blocks);

}  // namespace render
