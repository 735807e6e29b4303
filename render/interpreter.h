// The sequence interpreter both the renderer and the checker run: what
// each line means for the settings (the state's harmonics, base, beat,
// volume and listening words), and how a timed command's blocks are handed
// to a sink, from the first line to END, EXIT or the end of the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "sequence.h"
#include "synth.h"

namespace render {

// HARMONICS above this is ignored.
constexpr int max_harmonics = max_partials - 1;

// A timed command (HOLD, FADE, SLIDE) as it will be played, handed to the
// sink before its blocks: enough to plan them or to count them.
struct Segment {
    seq::Command command = seq::Command::None;   // None: the line plays nothing
    std::int64_t blocks = 0;                      // of 0.1 s
    double base = 0.0, beat = 0.0, volume = 0.0;  // at its first block
    double beat_step = 0.0;     // added to the beat after each second (SLIDE)
    double volume_step = 0.0;   // added to the volume after each block (FADE)
    double target = 0.0;        // the volume (FADE) or beat (SLIDE) the line names
    long line = 0, column = 0;  // where the command word stands

    std::int64_t seconds() const { return blocks / blocks_per_second; }
    // The blocks of one call of the sink: one for a fade (its volume moves
    // every block), a second for a slide, all of them for a hold.
    std::int64_t blocks_per_call() const {
        return command == seq::Command::Fade ? 1 : command == seq::Command::Slide ? blocks_per_second : blocks;
    }
    // The volume of its last block (a fade's last step is taken after it).
    double last_volume() const;
};

// from with step added times times, one addition after the other as the
// blocks are played. Past ten million the product stands in for the sum:
// near enough, and quick.
double stepped(double from, double step, std::int64_t times);

class BlockSink {
public:
    virtual ~BlockSink() = default;
    // A timed command is about to be played. A sink that wants its blocks
    // returns true; one that needs only the description (a counter) returns
    // false, and the settings move to where the command leaves them at once.
    virtual bool segment(RenderState&, const Segment&) { return true; }
    // count blocks (count > 0) with the state's harmonics and volume.
    virtual void blocks(RenderState& state, std::int64_t count, double base, double beat) = 0;
    // True once the sink wants no more blocks (a failed write, an
    // interruption): the interpreter then returns at once.
    virtual bool stopped() const { return false; }
    // A BACKGROUND line was read, between the blocks before it and after it:
    // the state's background is set already, unless the line was refused
    // (fault). line and column are where its word stands.
    virtual void background(RenderState&, const std::string& /*fault*/, long /*line*/, long /*column*/) {}
};

// Counts blocks without making sound: the dry pass that finds a render's
// exact length before its header is written.
class BlockCounter : public BlockSink {
public:
    bool segment(RenderState&, const Segment& s) override {
        total = s.blocks > INT64_MAX - total ? INT64_MAX : total + s.blocks;
        return false;
    }
    void blocks(RenderState&, std::int64_t, double, double) override {}
    std::int64_t total = 0;
};

// What a line did.
struct LineEffect {
    bool changed = false;   // it set a setting (VOLUME, BASE, SET, HARMONICS, NOISE, MODE, BACKGROUND)
    bool ends = false;      // END or EXIT: nothing after it is read
    bool background = false;   // a BACKGROUND line, set or refused
    std::string fault;         // why a BACKGROUND line was refused
};

// The meaning of one line: applied to the settings, a timed command
// described in segment (its position left to the caller). Values that are
// not finite change nothing; negative lengths play nothing.
// raw is the piece the line was parsed from (BACKGROUND reads its path there).
LineEffect apply_line(const seq::LineBuffer& raw, const seq::Line& line, RenderState& settings, Segment& segment);

// Plays a segment through the sink, the settings stepped as it goes.
// Returns false once the sink has stopped.
bool play_segment(const Segment& segment, RenderState& state, BlockSink& sink);

void run_sequence(std::FILE* in, RenderState& state, BlockSink& sink);

}  // namespace render
