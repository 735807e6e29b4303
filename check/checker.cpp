#include "checker.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "interpreter.h"
#include "sequence.h"
#include "text.h"
#include "wraps.h"

namespace check {

namespace {

using seq::Command;

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
    }

    void run(std::FILE* in) {
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
                if (!warned_after_end && parsed.tokens.count > 0) {
                    warn(column(parsed, 0), "never read: the sequence ended above");
                    warned_after_end = true;
                }
            } else {
                render::Segment segment;
                render::LineEffect effect = render::apply_line(parsed, settings_, segment);
                line_command(parsed, effect);
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

private:
    long column(const seq::Line& l, int token) const { return at_.column(l, token); }
    void warn(long col, const std::string& message) { warn_at(at_.line, col, message); }
    void warn_at(long line, long col, const std::string& message) {
        ++report_.warnings;
        if (report_.diagnostics.size() < options_.max_diagnostics) report_.diagnostics.push_back({line, col, message});
    }

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
    double number(const seq::Line& l, int i, const char* what, bool finite_only = true) {
        std::string_view t = without_cr(l.tokens.arg(i));
        if (l.tokens.arg(i).empty()) {
            warn(end_column(l), std::string("missing ") + what + ": read as 0");
            return 0.0;
        }
        std::size_t used = 0;
        double v = seq::read_number(t, &used);
        long col = column(l, i + 1);
        if (used == 0)
            warn(col, "'" + printable(t) + "' is not a number: read as 0");
        else if (used < t.size())
            warn(col, "'" + printable(t) + "' reads as " + number_text(v) + ": the rest is ignored");
        if (finite_only && !std::isfinite(v)) warn(col, "not a finite number: the line is ignored");
        return v;
    }

    // A length in seconds: the renderer reads a whole number, the player a
    // number that it truncates.
    struct Length {
        std::int64_t renderer, player;
    };
    Length length(const seq::Line& l, int i, bool player_reads_number) {
        std::string_view t = without_cr(l.tokens.arg(i));
        if (l.tokens.arg(i).empty()) {
            warn(end_column(l), "missing length: read as 0");
            return {0, 0};
        }
        long col = column(l, i + 1);
        std::size_t used_count = 0, used_number = 0;
        int whole = seq::read_count(t, &used_count);
        double v = seq::read_number(t, &used_number);
        int truncated = seq::truncate_length(v);
        int player = player_reads_number ? truncated : whole;
        if (used_number == 0 && used_count == 0) {
            warn(col, "'" + printable(t) + "' is not a length: read as 0");
        } else if (player_reads_number && truncated != whole) {
            warn(col, "length '" + printable(t) + "' is " + std::to_string(truncated) + " s in the player and " +
                          std::to_string(whole) + " s in the renderer");
        } else if (used_number > used_count && v != whole) {
            warn(col, "length '" + printable(t) + "' is cut to " + std::to_string(whole) + " s");
        } else if (used_count < t.size() && used_number < t.size()) {
            warn(col, "'" + printable(t) + "' reads as " + std::to_string(whole) + ": the rest is ignored");
        }
        if (whole < 0 || player < 0) warn(col, "a negative length: the step does nothing");
        return {whole, player};
    }

    // Just after the last character of the line: where a missing argument
    // would have stood.
    long end_column(const seq::Line& l) const {
        int last = l.tokens.count - 1;
        return column(l, last) + static_cast<long>(without_cr(l.tokens.token[last]).size());
    }

    void extra_tokens(const seq::Line& l, int arguments) {
        if (l.tokens.count <= arguments + 1) return;
        // A decimal comma: "1,5" is two tokens, so the command takes 1 and
        // leaves a token over.
        for (int i = 1; i + 1 < l.tokens.count; ++i) {
            std::string_view a = l.tokens.token[i], b = without_cr(l.tokens.token[i + 1]);
            if (a.data() + a.size() + 1 == b.data() && a.data()[a.size()] == ',' && all_digits(a, true) &&
                all_digits(b, false)) {
                std::string joined = std::string(a) + "," + std::string(b);
                warn(column(l, i), "'" + joined + "' reads as two numbers, " + std::string(a) + " and " +
                                       std::string(b) + ", since a comma separates: write " + std::string(a) +
                                       "." + std::string(b) + " for a decimal");
                return;
            }
        }
        warn(column(l, arguments + 1), "'" + printable(without_cr(l.tokens.token[arguments + 1])) +
                                           "' is more than " + seq::command_name(l.command) + " takes: ignored");
    }

    void beat_range(long col, double beat) {
        if (std::isfinite(beat) && (beat < 0 || beat > 40))
            warn(col, "beat " + number_text(beat) + " Hz is outside the player's slider (0 to 40 Hz): it plays " +
                          number_text(beat < 0 ? 0 : 40) + " Hz there");
    }

    void unrecognised(const seq::Line& l) {
        std::string_view w = l.tokens.word();
        long col = column(l, 0);
        if (l.tokens.count == 0) {
            if (nul_)
                warn(at_.offset + 1, "a NUL byte ends the text of the line: it reads as empty");
            else
                warn(at_.offset + 1, "empty line: no command (the player spends a second on it)");
            return;
        }
        if (w[0] == '#') return;   // a note for the reader
        // Invisible characters before the word or joined to it.
        WordParts parts = word_parts(w);
        const Invisible& lead = parts.lead;
        std::string head(w.substr(parts.start, parts.end - parts.start));
        if (seq::command_for(head) != Command::None) {
            if (lead.length > 0) {
                std::string what = std::strcmp(lead.name, "BOM") == 0 ? "an invisible byte-order mark (BOM)"
                                                                       : std::string("an invisible ") + lead.name;
                warn(col, what + " before " + head + ": the line is not recognised" +
                              (std::strcmp(lead.name, "BOM") == 0 ? " (save the file without it)" : ""));
            } else {
                const Invisible& joint = parts.joint;
                long at = col + static_cast<long>(parts.end);
                if (std::strcmp(joint.name, "tab") == 0)
                    warn(at, "a tab joins " + head + " to its argument: the line is not recognised (use a space)");
                else if (std::strcmp(joint.name, "carriage return") == 0)
                    warn(at, "a carriage return (DOS line end) after " + head + ": the line is not recognised");
                else if (std::strcmp(joint.name, "non-breaking space") == 0)
                    warn(at, "a non-breaking space joins " + head +
                                 " to its argument: the line is not recognised (use a plain space)");
                else
                    warn(at, std::string("an invisible ") + joint.name + " after " + head +
                                 ": the line is not recognised");
            }
            return;
        }
        static const std::vector<std::string> words = command_words();
        std::string suggestion = nearest(head.empty() ? w : std::string_view(head), words);
        if (!suggestion.empty() && upper(head) == suggestion)
            warn(col, "'" + printable(w) + "' is not recognised: command words are upper case (" + suggestion + ")");
        else if (!suggestion.empty())
            warn(col, "'" + printable(w) + "' is not recognised: did you mean " + suggestion + "?");
        else
            warn(col, "'" + printable(w) + "' is no command word: the line is ignored (notes start with #)");
    }

    // A timed command, as the interpreter is about to play it: the
    // renderer's length, its wraps and its noise. Its blocks are not wanted.
    bool segment(const render::RenderState&, const render::Segment& g) override {
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
    void blocks(render::RenderState&, std::int64_t, double, double) override {}

    void step(const render::Segment& g, const std::string& command, double beat_to, double volume_to) {
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
    void merge_steps() {
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
    void blame_wrap(double volume) {
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
    void pulses_stand(const render::Segment& g, double beat) {
        if (settings_.listening.mode != seq::ListenMode::Isochronic || beat > 0 || pulses_warned_) return;
        pulses_warned_ = true;
        warn_at(g.line, g.column, "beat " + number_text(beat) +
                               " Hz in ISOCHRONIC mode: the pulses stand still, the tone on or off as the cycle stood");
    }

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
                           bool* joined = nullptr) {
        std::string_view w = l.tokens.arg(i);
        std::string kept = kind.kept;
        if (w.empty()) {
            warn(end_column(l), std::string("missing ") + kind.what + ": " + kept);
            return "";
        }
        auto is_name = [&](std::string_view x) { return std::find(names.begin(), names.end(), x) != names.end(); };
        if (is_name(w)) return std::string(w);
        long col = column(l, i + 1);
        WordParts parts = word_parts(w);
        std::string head(w.substr(parts.start, parts.end - parts.start));
        const bool join = parts.joint.length > 0 && parts.end + parts.joint.length < w.size();
        if (joined) *joined = join;
        if (is_name(head)) {
            if (parts.lead.length > 0)
                warn(col, std::string("an invisible ") + parts.lead.name + " before " + head + ": not recognised, " + kept);
            else if (join)
                warn(col + static_cast<long>(parts.end), std::string("a ") + parts.joint.name + " joins " + head +
                                                             " to what follows: not recognised (use a space), " + kept);
            else
                warn(col + static_cast<long>(parts.end),
                     (std::strcmp(parts.joint.name, "carriage return") == 0 ? std::string("a carriage return (DOS line end)")
                                                                            : std::string("an invisible ") + parts.joint.name) +
                         " after " + head + ": not recognised, " + kept);
            return "";
        }
        std::string suggestion = nearest(head.empty() ? w : std::string_view(head), names);
        if (!suggestion.empty() && upper(head) == suggestion) {
            warn(col, "'" + printable(w) + "' is not recognised: " + kind.kinds + " are upper case (" + suggestion + "); " +
                          kept);
        } else if (!suggestion.empty()) {
            kept[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(kept[0])));
            warn(col, "'" + printable(w) + "' is not recognised: did you mean " + suggestion + "? " + kept);
        } else {
            warn(col, "'" + printable(w) + "' is no " + kind.what + " (" + listing(names) + "): " + kept);
        }
        return "";
    }

    // The warnings of one line, which the interpreter has applied with
    // this effect, and the lines to blame for a wrap.
    void line_command(const seq::Line& l, const render::LineEffect& effect) {
        std::int64_t& player_time = report_.player_seconds;
        switch (l.command) {
            case Command::None:
                unrecognised(l);
                ++player_time;
                return;
            case Command::Set: {
                double v = number(l, 0, "beat");
                extra_tokens(l, 1);
                ++player_time;
                if (!effect.changed) return;
                beat_range(column(l, 1), v);
                if (report_.steps.empty()) report_.beat_min = report_.beat_max = v;
                return;
            }
            case Command::Base: {
                double v = number(l, 0, "base");
                extra_tokens(l, 1);
                ++player_time;
                if (!effect.changed) return;
                if (v < 0 || v > 950)
                    warn(column(l, 1), "base " + number_text(v) +
                                           " Hz is outside the player's slider (0 to 950 Hz): it plays " +
                                           number_text(v < 0 ? 0 : 950) + " Hz there");
                return;
            }
            case Command::Volume: {
                double v = number(l, 0, "volume");
                extra_tokens(l, 1);
                ++player_time;
                if (!effect.changed) return;
                if (v < 0 || v > 100) warn(column(l, 1), "volume " + number_text(v) + " is limited to 0 to 100");
                volume_cause_ = here(l);
                return;
            }
            case Command::Harmonics: {
                std::string_view t = without_cr(l.tokens.arg(0));
                std::size_t used = 0;
                int n = seq::read_count(t, &used);
                if (l.tokens.arg(0).empty())
                    warn(end_column(l), "missing count: read as 0, which silences the tone");
                else if (used == 0)
                    warn(column(l, 1), "'" + printable(t) + "' is not a whole number: read as 0, which silences the tone");
                else if (used < t.size())
                    warn(column(l, 1), "'" + printable(t) + "' reads as " + std::to_string(n) + ": the rest is ignored");
                if (!effect.changed)
                    warn(column(l, 1), "HARMONICS " + std::to_string(n) + " is ignored by both programs (at most " +
                                           std::to_string(render::max_harmonics) + ")");
                else
                    harmonics_cause_ = here(l);
                extra_tokens(l, 1);
                ++player_time;
                return;
            }
            case Command::Fade: {
                double target = number(l, 0, "target");
                Length s = length(l, 1, false);
                extra_tokens(l, 2);
                ++player_time;
                if (s.renderer > 127) {
                    // The player keeps the length in a signed byte.
                    int played = static_cast<std::int8_t>(static_cast<std::uint8_t>(s.renderer & 0xFF));
                    warn(column(l, 2), "a fade of " + std::to_string(s.renderer) + " s is read as " +
                                           std::to_string(played) +
                                           " by the player, which keeps at most 127 (use several fades)");
                }
                if (std::isfinite(target) && (target < 0 || target > 100))
                    warn(column(l, 1), "fade target " + number_text(target) +
                                           " is outside 0 to 100: the renderer goes past the limit, the player stops there");
                return;
            }
            case Command::Slide: {
                double target = number(l, 0, "beat");
                Length s = length(l, 1, true);
                extra_tokens(l, 2);
                player_time += s.player > 0 ? s.player : 1;
                if (!std::isfinite(target)) return;
                beat_range(column(l, 1), target);
                return;
            }
            case Command::Hold: {
                Length s = length(l, 0, true);
                extra_tokens(l, 1);
                player_time += s.player > 0 ? s.player : 1;
                return;
            }
            case Command::Pause:
                warn(column(l, 0), "PAUSE waits for the listener in the player and is ignored by the renderer");
                extra_tokens(l, 0);
                ++player_time;
                return;
            case Command::Noise: {
                static const std::vector<std::string> colours = colour_names();
                // NOISE 20 PINK: the level written first.
                std::string second = upper(without_cr(l.tokens.arg(1)));
                std::size_t used = 0;
                seq::read_number(l.tokens.arg(0), &used);
                if (used > 0 && std::find(colours.begin(), colours.end(), second) != colours.end()) {
                    warn(column(l, 1), "the colour comes first: NOISE " + second + " " +
                                           printable(l.tokens.arg(0)) + "; the noise stays as it was");
                    extra_tokens(l, 2);
                    ++player_time;
                    return;
                }
                bool joined = false;
                std::string name =
                    known_name(l, 0, colours, {"noise colour", "noise colours", "the noise stays as it was"}, &joined);
                const bool known = effect.changed;
                // OFF needs no level; after an unknown colour the level
                // matters only when it is there to be mended too.
                bool read_level = known ? settings_.listening.colour != seq::NoiseColour::Off : !joined && !l.tokens.arg(1).empty();
                if (read_level) {
                    double v = number(l, 1, "noise level", false);
                    std::string_view t = without_cr(l.tokens.arg(1));
                    if (std::isnan(v))
                        warn(column(l, 2), "noise level '" + printable(t) + "' reads as 0");
                    else if (v < 0 || v > 100)
                        warn(column(l, 2), "noise level " + number_text(v) + " is limited to 0 to 100");
                }
                extra_tokens(l, 2);
                ++player_time;
                if (effect.changed) noise_cause_ = noise() > 0 ? here(l) : Cause{};
                return;
            }
            case Command::Mode: {
                static const std::vector<std::string> modes = mode_names();
                std::string name =
                    known_name(l, 0, modes, {"listening mode", "listening modes", "the mode stays as it was"});
                extra_tokens(l, 1);
                ++player_time;
                return;
            }
            case Command::Exit:
            case Command::End:
                extra_tokens(l, 0);
                return;
        }
    }

    Report& report_;
    const Options& options_;
    seq::Position at_;                // of the piece being read
    render::RenderState settings_;   // as the renderer's interpreter leaves them
    bool nul_ = false;                // the piece holds a NUL byte
    bool pulses_warned_ = false;
    Cause volume_cause_, harmonics_cause_, noise_cause_;
    std::uint64_t order_ = 0;
};

}  // namespace

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

