#include "interpreter.h"

#include <cmath>

#include "sequence.h"

namespace render {

namespace {

bool finite(double v) { return std::isfinite(v); }

}  // namespace

void run_sequence(std::FILE* in, RenderState& s, BlockSink& sink) {
    seq::LineBuffer buffer;
    while (seq::read_line(in, buffer)) {
        seq::Line line = seq::parse_line(buffer);
        // Values that are not finite would leave the table; such a line
        // changes nothing. Negative counts render nothing.
        switch (line.command) {
            case seq::Command::Volume: {
                double v = line.number(0);
                if (!finite(v)) break;
                s.volume = v > 100.0 ? 100.0 : v < 0.0 ? 0.0 : v;
                break;
            }
            case seq::Command::Fade: {
                double target = line.number(0);
                std::int64_t seconds = line.count(1);
                if (seconds <= 0 || !finite(target)) break;
                if (sink.counts_only()) {
                    sink.blocks(s, 10 * seconds, s.base_hz, s.beat_hz);
                    s.volume = target;
                    break;
                }
                double step = (target - s.volume) / static_cast<double>(10 * seconds);
                for (std::int64_t i = 0; i < 10 * seconds; ++i) {
                    sink.blocks(s, 1, s.base_hz, s.beat_hz);
                    if (sink.stopped()) return;
                    s.volume += step;
                }
                break;
            }
            case seq::Command::Base: {
                double f = line.number(0);
                if (finite(f)) s.base_hz = f;
                break;
            }
            case seq::Command::Harmonics: {
                int n = line.count(0);
                if (n <= 9) s.harmonics = n;
                break;
            }
            case seq::Command::Set: {
                double f = line.number(0);
                if (finite(f)) s.beat_hz = f;
                break;
            }
            case seq::Command::Slide: {
                double target = line.number(0);
                int seconds = line.count(1);
                if (seconds <= 0 || !finite(target)) break;
                if (sink.counts_only()) {
                    sink.blocks(s, std::int64_t{blocks_per_second} * seconds, s.base_hz, s.beat_hz);
                    s.beat_hz = target;
                    break;
                }
                double step = (target - s.beat_hz) / seconds;
                sink.slide_ahead(s, seconds, s.base_hz, s.beat_hz, step);
                for (int i = 0; i < seconds; ++i) {
                    sink.blocks(s, blocks_per_second, s.base_hz, s.beat_hz);
                    if (sink.stopped()) return;
                    s.beat_hz += step;
                }
                break;
            }
            case seq::Command::Hold: {
                std::int64_t seconds = line.count(0);
                if (seconds > 0) sink.blocks(s, blocks_per_second * seconds, s.base_hz, s.beat_hz);
                if (sink.stopped()) return;
                break;
            }
            case seq::Command::Noise:
                seq::read_noise(line, s.listening.colour, s.listening.level);
                break;
            case seq::Command::Mode:
                seq::read_mode(line, s.listening.mode);
                break;
            case seq::Command::Exit:
            case seq::Command::End:
                return;
            case seq::Command::Pause:   // the player's alone
            case seq::Command::None:
                break;
        }
    }
}

}  // namespace render
