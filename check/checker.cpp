#include "checker.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "background_mix.h"
#include "reader.h"
#include "text.h"
#include "wraps.h"

namespace check {

using seq::Command;

void Checker::run(std::FILE* in) {
    seq::LineBuffer buffer;
    seq::Position position;
    bool ended = false;
    bool warned_after_end = false;
    std::int64_t bytes = 0, lines = 0, odd = 0;
    errno = 0;
    while (seq::read_line(in, buffer)) {
        bytes += static_cast<std::int64_t>(buffer.length);
        if (buffer.newline) ++lines;
        if (bytes > options_.max_bytes || lines > options_.max_lines) {
            report_.too_large = true;
            report_.too_many_lines = lines > options_.max_lines;
            break;
        }
        for (std::size_t i = 0; i < buffer.length; ++i)
            odd += is_odd_byte(static_cast<unsigned char>(buffer.text[i]));

        at_ = position;
        // A piece that filled the buffer: the line goes on in the next one.
        if (seq::Position::continues(buffer) && at_.offset == 0)
            warn(1, "line longer than 1023 characters: the rest is read as a line of its own");
        position.pass(buffer);
        seq::Line parsed = seq::parse_line(buffer);
        nul_ = std::memchr(buffer.text, '\0', buffer.length) != nullptr;
        if (ended) {
            // Notes after the end cost the player no time: their place.
            if (!warned_after_end && parsed.tokens.count > 0 && parsed.tokens.word()[0] != '#') {
                warn(column(parsed, 0), "never read: the sequence ended above");
                warned_after_end = true;
            }
        } else {
            render::Segment segment;
            render::LineEffect effect = render::apply_line(buffer, parsed, settings_, segment);
            line_command(parsed, effect);
            if (effect.background) background_line(parsed, effect);
            ended = effect.ends;
            segment.line = at_.line;
            if (parsed.tokens.count > 0) segment.column = column(parsed, 0);
            render::play_segment(segment, settings_, *this);
        }
        // Text has hardly any control bytes; a sound file or an
        // executable is full of them.
        if (odd >= 16 && odd * 20 >= bytes && report_.warnings >= options_.binary_warnings) {
            report_.not_text = true;
            break;
        }
    }
    if (!report_.too_large && !report_.not_text && std::ferror(in)) report_.read_error = errno ? errno : EIO;
    std::stable_sort(report_.diagnostics.begin(), report_.diagnostics.end(),
                     [](const Diagnostic& a, const Diagnostic& b) {
                         return a.line != b.line ? a.line < b.line : a.column < b.column;
                     });
}

void Checker::background_line(const seq::Line& l, const render::LineEffect& effect) {
    if (!effect.fault.empty()) {
        error(column(l, 0), effect.fault);
        return;
    }
    const render::BackgroundSetting& b = settings_.background;
    if (!options_.open_background_files) return;
    if (!b.on) {
        if (options_.on_background) options_.on_background(report_.renderer_seconds, "BACKGROUND OFF");
        return;
    }
    const render::BackgroundProbe::Result& opened = probe_.probe(b.path);
    if (!opened.ok)
        error(column(l, 2), render::cannot_play_background(opened.text));
    else if (options_.on_background)
        options_.on_background(report_.renderer_seconds,
                               "BACKGROUND " + number_text(b.level) + " " + b.path + ": " + opened.text);
}

// A timed command, as the interpreter is about to play it: the
// renderer's length, its wraps and its noise. Its blocks are not wanted.
bool Checker::segment(render::RenderState&, const render::Segment& g) {
    if (exact_mode_wraps(settings_.harmonics, g.volume, noise())) blame_wrap(g.volume);
    const std::string seconds = std::to_string(g.seconds());
    switch (g.command) {
        case Command::Hold:
            pulses_stand(g, g.beat);
            step(g, "HOLD " + seconds, g.beat, g.volume);
            break;
        case Command::Slide:
            if (g.target <= 0) pulses_stand(g, g.beat);
            step(g, "SLIDE " + number_text(g.target) + " " + seconds, g.target, g.volume);
            break;
        case Command::Fade: {
            // Blocks lie between the first and the last, and wrapping
            // grows with the volume's size, so those two decide.
            const double start = g.volume, last = g.last_volume();
            const bool start_wraps = exact_mode_wraps(settings_.harmonics, start, noise()),
                       last_wraps = exact_mode_wraps(settings_.harmonics, last, noise());
            if (last_wraps && (!start_wraps || std::fabs(last) > std::fabs(start)))
                warn_at(g.line, g.column, wrap_message(last, settings_.harmonics, noise(), Blame::Fade));
            pulses_stand(g, g.beat);
            step(g, "FADE " + number_text(g.target) + " " + seconds, g.beat, g.target);
            volume_cause_ = {g.line, g.column, ++order_, last_wraps};
            break;
        }
        default:
            break;
    }
    return false;
}

void Checker::step(const render::Segment& g, const std::string& command, double beat_to, double volume_to) {
    // The range is of the beats heard: those of timed steps.
    if (report_.renderer_seconds == 0 && report_.steps.empty()) {
        report_.beat_min = report_.beat_max = g.beat;
        report_.volume_min = report_.volume_max = g.volume;
    }
    beat_seen(g.beat);
    beat_seen(beat_to);
    volume_seen(g.volume);
    volume_seen(volume_to);
    const std::int64_t seconds = g.seconds();
    const sound::Listening& heard = settings_.listening;
    Step s{report_.renderer_seconds, seconds, command, g.beat, beat_to, g.volume, volume_to, g.base,
           heard.colour, heard.level, heard.mode};
    report_.noise_max = std::max(report_.noise_max, s.noise_heard());
    if (options_.on_step) options_.on_step(s);
    report_.steps.push_back(std::move(s));
    report_.renderer_seconds =
        seconds > INT64_MAX - report_.renderer_seconds ? INT64_MAX : report_.renderer_seconds + seconds;
    if (report_.steps.size() > std::max<std::size_t>(options_.max_steps, 2)) merge_steps();
}

// Halves the kept steps by joining neighbours: the plot keeps its shape.
void Checker::merge_steps() {
    auto& steps = report_.steps;
    std::size_t kept = 0;
    for (std::size_t i = 0; i + 1 < steps.size(); i += 2) {
        Step joined = steps[i];
        const Step& next = steps[i + 1];
        joined.length = next.start + next.length - joined.start;
        joined.beat_to = next.beat_to;
        joined.volume_to = next.volume_to;
        joined.command.clear();
        steps[kept++] = std::move(joined);
    }
    if (steps.size() % 2) steps[kept++] = std::move(steps.back());
    steps.resize(kept);
}

// The renderer's default mode wraps at this volume: blame the line that
// set the volume, the partial count or the noise last, once. A NOISE
// line is to blame only when the tone alone would not wrap.
void Checker::blame_wrap(double volume) {
    Cause* c = volume_cause_.order > harmonics_cause_.order ? &volume_cause_ : &harmonics_cause_;
    const int harmonics = settings_.harmonics;
    bool by_noise = noise_cause_.order > c->order && !exact_mode_wraps(harmonics, volume);
    if (by_noise) c = &noise_cause_;
    if (c->warned || c->line == 0) return;
    c->warned = true;
    warn_at(c->line, c->column, wrap_message(volume, harmonics, noise(), by_noise ? Blame::Noise : Blame::Volume));
}

// Isochronic pulses follow the beat: at a beat of 0 or less they stand
// still, the tone on or off as the cycle stood. Told once.
void Checker::pulses_stand(const render::Segment& g, double beat) {
    if (settings_.listening.mode != seq::ListenMode::Isochronic || beat > 0 || pulses_warned_) return;
    pulses_warned_ = true;
    warn_at(g.line, g.column, "beat " + number_text(beat) +
                           " Hz in ISOCHRONIC mode: the pulses stand still, the tone on or off as the cycle stood");
}


Report check_sequence(std::FILE* in, const Options& options) {
    Report r;
    Checker(r, options).run(in);
    return r;
}

std::int64_t player_seconds(std::FILE* in) {
    Options quiet;
    quiet.max_diagnostics = 0;
    quiet.max_steps = 2;
    Report r = check_sequence(in, quiet);
    return r.complete() ? r.player_seconds : -1;
}

}  // namespace check

