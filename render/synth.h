// The renderer's tone generator: 16-bit stereo frames at 44100 Hz built from
// an integer sine table, partial k at 2^k times the base, weighted 1/(k+1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "shaping.h"
#include "writer.h"

namespace render {

constexpr int table_size = 44100;
constexpr int frames_per_block = 4410;
constexpr int blocks_per_second = 10;
constexpr int bytes_per_frame = 4;
constexpr int bytes_per_second = table_size * bytes_per_frame;   // 176400
constexpr int max_partials = 10;

using PhaseBank = double[max_partials];

// How a frame's signed half sum becomes a 16-bit sample. The exact mode
// keeps the historic 32768 midpoint and lets the word wrap; the clean mode
// has no midpoint and saturates.
enum class SampleMode { exact, clean };

// Samples whose value did not fit the 16-bit word (exact mode only),
// counted by the partial count they were rendered with (0 for none or less).
struct WrapCount {
    std::int64_t total = 0;
    std::int64_t by_partials[max_partials + 1] = {};
    std::int64_t with_noise = 0;   // of the total, those rendered with noise
};

struct Engine;

// A state's own caches and second thread, made on its first block. A copy
// of a state starts without them: they hold only what the tone rules give,
// for the state that filled them.
class EngineHandle {
public:
    EngineHandle();
    EngineHandle(const EngineHandle&);
    EngineHandle& operator=(const EngineHandle&) { return *this; }
    ~EngineHandle();
    Engine& get() const;

private:
    mutable std::unique_ptr<Engine> engine_;
};

// A sound file under the tone, as the sequence's BACKGROUND lines last set
// it; the mixer (background_mix.h) follows the change count.
struct BackgroundSetting {
    bool on = false;
    double level = 0.0;        // percent
    std::string path;          // resolved
    long line = 0, column = 0;  // of the line that set it
    std::uint64_t changes = 0;  // BACKGROUND lines applied so far
};

struct RenderState {
    SampleMode mode = SampleMode::exact;
    WrapCount wraps;
    int harmonics = 3;
    double base_hz = 300.0;
    double beat_hz = 10.0;
    double volume = 50.0;
    PhaseBank left_phase = {};
    PhaseBank right_phase = {};
    // Noise and listening mode; while plain, frames are the binaural tone alone.
    sound::Listening listening;
    // The settings the last block was rendered with, which the clean
    // mode's next block glides from; none before the first block.
    bool rendered = false;
    double rendered_volume = 0.0;
    int rendered_harmonics = 0;
    seq::ListenMode rendered_mode = seq::ListenMode::Binaural;
    seq::NoiseColour rendered_colour = seq::NoiseColour::Off;
    double rendered_level = 0.0;
    BackgroundSetting background;
    // What relative and "~/" background paths resolve against: the
    // sequence's directory ("" for the working directory) and home.
    std::string directory, home;
    EngineHandle engine;
};

// The table is shared by every state and built once.
const std::int32_t* sine_table();
void build_sine_table();

// The reference rules frame by frame, for the tests: every phase of a bank
// stepped once, and a channel's exact sample at its phases.
void advance_phases(PhaseBank& bank, int n, double base, double offset);
std::int32_t mix_channel(const PhaseBank& bank, int n, double volume);

// Says that the next count blocks are rendered with this base and beat, as
// they stand in the state: when both channels have to be computed, the
// right one is then computed ahead on the state's second thread. Any other call that
// follows is still rendered exactly; only the work ahead is lost.
void expect_blocks(const RenderState& state, std::int64_t count, double base, double beat);
// The same for a slide: seconds of ten blocks each, the beat moving by step
// (added to it) after every second.
void expect_slide(const RenderState& state, std::int64_t seconds, double base, double beat, double step);

// Renders count blocks of 4410 frames with the given base and beat; the
// harmonic count and volume come from the state. A count of 0 or less
// writes nothing.
void render_blocks(RenderState& state, std::int64_t count, FrameSink& out, double base, double beat);

// The sample of each mode for a signed half sum, as the block renderer
// computes it: the scalar reference of both rules.
std::int32_t exact_sample(std::int32_t half, double volume);
std::int32_t clean_sample(std::int32_t half, double volume);

// For tests: the state's second thread sleeps this long before each block
// it computes, as a busy machine may make it, so that the caller goes on
// without it and it has to catch up. 0 (the default) for no delay.
void delay_work_ahead(const RenderState& state, int microseconds);

// The highest whole volume at which n partials never wrap in the exact mode.
int highest_unwrapped_volume(int n);

}  // namespace render
