// ambrise-check's reader: the line-by-line warnings and, through the
// renderer's interpreter, the timed steps. Internal to the checker.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "background_mix.h"
#include "checker.h"
#include "interpreter.h"
#include "sequence.h"

namespace check {

// Where a warning points, and which of the lines that set the volume or the
// partial count came last.
struct Cause {
    long line = 0, column = 0;   // 0: the programs' defaults
    std::uint64_t order = 0;
    bool warned = false;
};

// Reads every line as both programs do: the meaning of each for the
// renderer comes from its interpreter, which plays the timed commands
// into the checker as into the renderer's dry pass.
class Checker : public render::BlockSink {
public:
    Checker(Report& r, const Options& o) : report_(r), options_(o) {
        report_.beat_min = report_.beat_max = settings_.beat_hz;
        report_.volume_min = report_.volume_max = settings_.volume;
        settings_.directory = o.directory;
        settings_.home = o.home;
    }

    void run(std::FILE* in);

private:
    long column(const seq::Line& l, int token) const { return at_.column(l, token); }
    void warn(long col, const std::string& message) { warn_at(at_.line, col, message); }
    void warn_at(long line, long col, const std::string& message) {
        ++report_.warnings;
        if (report_.diagnostics.size() < options_.max_diagnostics) report_.diagnostics.push_back({line, col, message});
    }
    void error(long col, const std::string& message) {
        ++report_.errors;
        if (report_.diagnostics.size() < options_.max_diagnostics)
            report_.diagnostics.push_back({at_.line, col, message, true});
    }

    // A BACKGROUND line as the interpreter applied it: a refusal or a file
    // that cannot be played is an error; a good file is opened once and
    // described on the timeline.
    void background_line(const seq::Line& l, const render::LineEffect& effect);

    void beat_seen(double b) {
        report_.beat_min = std::min(report_.beat_min, b);
        report_.beat_max = std::max(report_.beat_max, b);
    }
    void volume_seen(double v) {
        report_.volume_min = std::min(report_.volume_min, v);
        report_.volume_max = std::max(report_.volume_max, v);
    }

    // A number argument; warns when it does not read as written (and, unless
    // the command has a use for them, when it is not finite).
    double number(const seq::Line& l, int i, const char* what, bool finite_only = true);

    // A length in seconds: the renderer reads a whole number, the player a
    // number that it truncates.
    struct Length {
        std::int64_t renderer, player;
    };
    Length length(const seq::Line& l, int i, bool player_reads_number);

    // Just after the last character of the line: where a missing argument
    // would have stood.
    long end_column(const seq::Line& l) const;

    void extra_tokens(const seq::Line& l, int arguments);

    void beat_range(long col, double beat);

    void unrecognised(const seq::Line& l);

    // A timed command, as the interpreter is about to play it: the
    // renderer's length, its wraps and its noise. Its blocks are not wanted.
    bool segment(render::RenderState&, const render::Segment& g) override;
    void blocks(render::RenderState&, std::int64_t, double, double) override {}

    void step(const render::Segment& g, const std::string& command, double beat_to, double volume_to);

    // Halves the kept steps by joining neighbours: the plot keeps its shape.
    void merge_steps();

    Cause here(const seq::Line& l) {
        return {at_.line, column(l, 0), ++order_, false};
    }

    // The noise level heard, as the wrap sees it.
    double noise() const {
        return settings_.listening.colour == seq::NoiseColour::Off ? 0.0 : settings_.listening.level;
    }

    // The renderer's default mode wraps at this volume: blame the line that
    // set the volume, the partial count or the noise last, once. A NOISE
    // line is to blame only when the tone alone would not wrap.
    void blame_wrap(double volume);

    // Isochronic pulses follow the beat: at a beat of 0 or less they stand
    // still, the tone on or off as the cycle stood. Told once.
    void pulses_stand(const render::Segment& g, double beat);

    // The name argument of NOISE or MODE, when it is one exactly; otherwise
    // "" and a warning, for the programs keep their setting as it was.
    // `joined` tells of an invisible character that joins the name to
    // what follows it.
    struct NameKind {
        const char* what;    // "noise colour"
        const char* kinds;   // "noise colours"
        const char* kept;    // "the noise stays as it was"
    };
    std::string known_name(const seq::Line& l, int i, const std::vector<std::string>& names, const NameKind& kind,
                           bool* joined = nullptr);

    // The warnings of one line, which the interpreter has applied with
    // this effect, and the lines to blame for a wrap.
    void line_command(const seq::Line& l, const render::LineEffect& effect);

    Report& report_;
    const Options& options_;
    seq::Position at_;                // of the piece being read
    render::RenderState settings_;   // as the renderer's interpreter leaves them
    bool nul_ = false;                // the piece holds a NUL byte
    bool pulses_warned_ = false;
    Cause volume_cause_, harmonics_cause_, noise_cause_;
    // Each background file opened: its description, or why it cannot play.
    render::BackgroundProbe probe_;
    std::uint64_t order_ = 0;
};

}  // namespace check
