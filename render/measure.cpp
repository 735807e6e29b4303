#include "measure.h"

#include <cstring>

#include "background_mix.h"

namespace render {

// One block at a time, turned into native words for the meter.
class MeasureSink::Frames : public FrameSink {
public:
    Frames(unsigned measures, bool bounded) : meter(measures, bounded) {}

    unsigned char* room(std::size_t) override { return bytes_; }
    void commit(std::size_t n) override {
        std::size_t samples = n / 2;
        for (std::size_t i = 0; i < samples; ++i) {
            // Little-endian words, whatever this machine's order.
            auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes_[2 * i] | bytes_[2 * i + 1] << 8));
            words_[i] = v;
            full_scale += v == 32767 || v == -32768;
        }
        meter.add(words_, samples / 2);
    }
    bool failed() const override { return false; }

    sound::LoudnessMeter meter;
    std::int64_t full_scale = 0;

private:
    static constexpr std::size_t block_bytes = frames_per_block * bytes_per_frame;
    alignas(16) unsigned char bytes_[block_bytes];
    std::int16_t words_[block_bytes / 2];
};

MeasureSink::MeasureSink(unsigned measures, bool bounded, bool background)
    : frames_(std::make_unique<Frames>(measures, bounded)) {
    if (background) mix_ = std::make_unique<BackgroundMix>(*frames_);
}
MeasureSink::~MeasureSink() = default;

void MeasureSink::blocks(RenderState& state, std::int64_t count, double base, double beat) {
    if (!mix_) {
        render_blocks(state, count, *frames_, base, beat);
        return;
    }
    mix_->prepare(state);
    render_blocks(state, count, mix_->sink(), base, beat);
}

bool MeasureSink::segment(RenderState& state, const Segment& s) {
    if (s.command == seq::Command::Slide && s.seconds() > 1) expect_slide(state, s.seconds(), s.base, s.beat, s.beat_step);
    return true;
}

bool MeasureSink::ok() const { return frames_->meter.ok(); }
sound::Loudness MeasureSink::result() const { return frames_->meter.result(); }
std::int64_t MeasureSink::full_scale_samples() const { return frames_->full_scale; }

bool measure_bounded(std::int64_t total_blocks) {
    // Twelve hours: the meter's lists of block levels stay under 30 MB.
    return total_blocks > std::int64_t{12} * 3600 * blocks_per_second;
}

sound::Loudness measure_clean(std::FILE* in, const RenderState& start, unsigned measures, std::int64_t total_blocks) {
    RenderState state = start;
    state.mode = SampleMode::clean;
    MeasureSink sink(measures, measure_bounded(total_blocks), true);
    if (in) run_sequence(in, state, sink);
    return sink.result();
}

}  // namespace render
