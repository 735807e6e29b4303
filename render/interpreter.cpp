#include "interpreter.h"

#include <cmath>

#include "background_word.h"
#include "listening.h"

namespace render {

namespace {

bool finite(double v) { return std::isfinite(v); }

// Past this many steps a sum is not added up.
constexpr std::int64_t most_additions = 10'000'000;

LineEffect effect_of(bool changed, bool ends = false) {
    LineEffect e;
    e.changed = changed;
    e.ends = ends;
    return e;
}

}  // namespace

double stepped(double from, double step, std::int64_t times) {
    if (times > most_additions) return from + static_cast<double>(times) * step;
    for (std::int64_t i = 0; i < times; ++i) from += step;
    return from;
}

double Segment::last_volume() const { return blocks > 0 ? stepped(volume, volume_step, blocks - 1) : volume; }

LineEffect apply_line(const seq::LineBuffer& raw, const seq::Line& line, RenderState& s, Segment& segment) {
    using seq::Command;
    segment = Segment{};
    auto timed = [&](Command c, std::int64_t blocks) {
        segment.command = c;
        segment.blocks = blocks;
        segment.base = s.base_hz;
        segment.beat = s.beat_hz;
        segment.volume = s.volume;
    };
    switch (line.command) {
        case Command::Volume: {
            double v = line.number(0);
            if (!finite(v)) break;
            s.volume = v > 100.0 ? 100.0 : v < 0.0 ? 0.0 : v;
            return effect_of(true);
        }
        case Command::Base: {
            double f = line.number(0);
            if (!finite(f)) break;
            s.base_hz = f;
            return effect_of(true);
        }
        case Command::Set: {
            double f = line.number(0);
            if (!finite(f)) break;
            s.beat_hz = f;
            return effect_of(true);
        }
        case Command::Harmonics: {
            int n = line.count(0);
            if (n > max_harmonics) break;
            s.harmonics = n;
            return effect_of(true);
        }
        case Command::Noise:
            return effect_of(seq::read_noise(line, s.listening.colour, s.listening.level));
        case Command::Mode:
            return effect_of(seq::read_mode(line, s.listening.mode));
        case Command::Fade: {
            double target = line.number(0);
            std::int64_t seconds = line.count(1);
            if (seconds <= 0 || !finite(target)) break;
            timed(Command::Fade, blocks_per_second * seconds);
            segment.target = target;
            segment.volume_step = (target - s.volume) / static_cast<double>(segment.blocks);
            break;
        }
        case Command::Slide: {
            double target = line.number(0);
            int seconds = line.count(1);
            if (seconds <= 0 || !finite(target)) break;
            timed(Command::Slide, std::int64_t{blocks_per_second} * seconds);
            segment.target = target;
            segment.beat_step = (target - s.beat_hz) / seconds;
            break;
        }
        case Command::Hold: {
            std::int64_t seconds = line.count(0);
            if (seconds > 0) timed(Command::Hold, blocks_per_second * seconds);
            break;
        }
        case Command::Exit:
        case Command::End:
            return effect_of(false, true);
        case Command::Background: {
            LineEffect effect;
            effect.background = true;
            seq::BackgroundWord word;
            if (!seq::read_background(raw, line, s.directory, s.home, word, effect.fault)) return effect;
            s.background.on = !word.off;
            s.background.level = word.level;
            s.background.path = std::move(word.path);
            ++s.background.changes;
            effect.changed = true;
            return effect;
        }
        case Command::Pause:   // the player's alone
        case Command::None:
            break;
    }
    return {};
}

bool play_segment(const Segment& g, RenderState& s, BlockSink& sink) {
    if (g.blocks <= 0) return !sink.stopped();
    const bool fade = g.command == seq::Command::Fade, slide = g.command == seq::Command::Slide;
    const std::int64_t per = g.blocks_per_call(), calls = g.blocks / per;
    if (!sink.segment(s, g)) {
        if (fade) s.volume = stepped(s.volume, g.volume_step, calls);
        if (slide) s.beat_hz = stepped(s.beat_hz, g.beat_step, calls);
        return !sink.stopped();
    }
    for (std::int64_t i = 0; i < calls; ++i) {
        sink.blocks(s, per, s.base_hz, s.beat_hz);
        if (sink.stopped()) return false;
        if (fade) s.volume = stepped(s.volume, g.volume_step, 1);
        if (slide) s.beat_hz = stepped(s.beat_hz, g.beat_step, 1);
    }
    return true;
}

void run_sequence(std::FILE* in, RenderState& s, BlockSink& sink) {
    seq::LineBuffer buffer;
    seq::Position at;
    while (seq::read_line(in, buffer)) {
        seq::Line line = seq::parse_line(buffer);
        Segment segment;
        LineEffect effect = apply_line(buffer, line, s, segment);
        if (effect.ends) return;
        segment.line = at.line;
        segment.column = line.tokens.count > 0 ? at.column(line, 0) : 0;
        at.pass(buffer);
        if (effect.background) {
            if (effect.fault.empty()) {
                s.background.line = segment.line;
                s.background.column = segment.column;
            }
            sink.background(s, effect.fault, segment.line, segment.column);
            if (sink.stopped()) return;
        }
        if (!play_segment(segment, s, sink)) return;
    }
}

}  // namespace render
