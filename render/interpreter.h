// The renderer's sequence interpreter: runs a sequence from its first line
// to END, EXIT or the end of the file, handing every timed command's blocks
// to a sink.
#pragma once

#include <cstdint>
#include <cstdio>

#include "synth.h"

namespace render {

class BlockSink {
public:
    virtual ~BlockSink() = default;
    // count blocks (count > 0) with the state's harmonics and volume.
    virtual void blocks(RenderState& state, std::int64_t count, double base, double beat) = 0;
    // Says that a slide follows: seconds calls of a second's blocks each,
    // the beat moving by step after each.
    virtual void slide_ahead(const RenderState&, std::int64_t /*seconds*/, double /*base*/, double /*beat*/,
                             double /*step*/) {}
    // True once the sink wants no more blocks (a failed write, an
    // interruption): the interpreter then returns at once.
    virtual bool stopped() const { return false; }
    // True for a sink that only counts: it then gets each timed command's
    // blocks in one call, and the volume and beat a FADE or SLIDE leaves
    // behind are set to its target instead of being stepped there.
    virtual bool counts_only() const { return false; }
};

// Counts blocks without making sound: the dry pass that finds a render's
// exact length before its header is written.
class BlockCounter : public BlockSink {
public:
    void blocks(RenderState&, std::int64_t count, double, double) override {
        total = count > INT64_MAX - total ? INT64_MAX : total + count;
    }
    bool counts_only() const override { return true; }
    std::int64_t total = 0;
};

void run_sequence(std::FILE* in, RenderState& state, BlockSink& sink);

}  // namespace render
