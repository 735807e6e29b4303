#include "loudness_estimate.h"

#include <algorithm>
#include <cmath>

#include "interpreter.h"
#include "measure.h"
#include "sequence.h"

namespace check {

namespace {

using render::blocks_per_second;
using render::RenderState;

// Renders the blocks of the seconds it samples into the meter, and notes
// where in the file (the end of the line being run) the clean rule
// reached full scale.
class SampledSink : public render::BlockSink {
public:
    SampledSink(std::FILE* in, std::int64_t every, std::size_t limit, bool background)
        : in_(in), every_(every), limit_(limit), meter_(sound::measure_integrated, false, background) {}

    void blocks(RenderState& state, std::int64_t count, double base, double beat) override {
        std::int64_t before = meter_.full_scale_samples();
        // The clean rule glides from the block before's volume: the loudest
        // volume these blocks play is the larger of the two.
        double loudest = state.rendered && state.rendered_volume > state.volume ? state.rendered_volume : state.volume;
        if (every_ == 1) {
            meter_.blocks(state, count, base, beat);
        } else {
            // Whole seconds, so that most of the meter's 400 ms blocks are
            // of continuous sound.
            std::int64_t end = count > INT64_MAX - done_ ? INT64_MAX : done_ + count;
            for (std::int64_t b = done_; b < end;) {
                std::int64_t second = b / blocks_per_second;
                if (second % every_ == 0) {
                    std::int64_t next = std::min(end, (second + 1) * blocks_per_second);
                    meter_.blocks(state, next - b, base, beat);
                    b = next;
                } else {
                    b = std::min(end, (second / every_ + 1) * every_ * blocks_per_second);
                }
            }
        }
        done_ += count;
        if (meter_.full_scale_samples() > before)
            saturated(state, loudest, meter_.full_scale_samples() - before);
    }
    bool segment(RenderState& state, const render::Segment& s) override { return every_ != 1 || meter_.segment(state, s); }

    struct Saturation {
        off_t end;   // of the line in the file
        std::int64_t samples;
        double volume;
        int harmonics;
    };
    std::vector<Saturation> saturations;
    std::size_t lines = 0;
    sound::Loudness result() const { return meter_.result(); }

private:
    void saturated(const RenderState& state, double volume, std::int64_t samples) {
        off_t end = ftello(in_);
        if (!saturations.empty() && saturations.back().end == end) {
            saturations.back().samples += samples;
            return;
        }
        ++lines;
        if (saturations.size() < limit_) saturations.push_back({end, samples, volume, state.harmonics});
    }

    std::FILE* in_;
    std::int64_t every_;
    std::size_t limit_;
    std::int64_t done_ = 0;
    render::MeasureSink meter_;
};

// The line and column of the command in the piece of the file that ends at
// each offset (in order).
void place(std::FILE* in, const std::vector<SampledSink::Saturation>& at, std::vector<Diagnostic>& out) {
    if (fseeko(in, 0, SEEK_SET) != 0) return;
    seq::LineBuffer piece;
    off_t pos = 0, line_start = 0;
    long line = 1;
    std::size_t i = 0;
    while (i < at.size() && seq::read_line(in, piece)) {
        off_t start = pos;
        pos += static_cast<off_t>(piece.length);
        if (pos == at[i].end) {
            seq::Line l = seq::parse_line(piece);
            long col = static_cast<long>(start - line_start) + static_cast<long>(l.tokens.column[0]) + 1;
            char text[200];
            std::snprintf(text, sizeof text,
                          "the clean render (--clean, --loudness) saturates here: %lld samples at full scale, "
                          "volume %g with %d partial%s",
                          static_cast<long long>(at[i].samples), at[i].volume, at[i].harmonics,
                          at[i].harmonics == 1 ? "" : "s");
            out.push_back({line, col, text});
            ++i;
        }
        if (piece.newline) {
            ++line;
            line_start = pos;
        }
    }
}

}  // namespace

LoudnessEstimate estimate_loudness(std::FILE* in, std::int64_t render_seconds, std::size_t max_diagnostics,
                                   const Options* paths, std::int64_t measured_seconds) {
    LoudnessEstimate e;
    if (!in || fseeko(in, 0, SEEK_SET) != 0) return e;
    std::clearerr(in);
    if (measured_seconds < 1) measured_seconds = 1;
    std::int64_t every = render_seconds > measured_seconds ? (render_seconds + measured_seconds - 1) / measured_seconds : 1;
    render::build_sine_table();
    RenderState state;
    state.mode = render::SampleMode::clean;
    const bool background = paths && paths->open_background_files;
    if (background) {
        state.directory = paths->directory;
        state.home = paths->home;
    }
    SampledSink sink(in, every, max_diagnostics, background);
    render::run_sequence(in, state, sink);
    if (std::ferror(in)) return e;
    e.measured = true;
    e.sampled = every > 1;
    e.integrated = sink.result().integrated;
    e.warnings = sink.lines;
    place(in, sink.saturations, e.diagnostics);
    return e;
}

std::string loudness_summary(const LoudnessEstimate& e) {
    if (!e.measured) return "";
    if (!std::isfinite(e.integrated)) return ", clean render silent";
    return ", clean render about " + sound::level_text(e.integrated) + " LUFS";
}

}  // namespace check
