#include "checker.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "sequence.h"

namespace check {

namespace {

using seq::Command;

// Edits between two words, a swap of neighbours counting as one: MOED is
// one edit from MODE, two from HOLD.
int edit_distance(const std::string& a, const std::string& b) {
    std::vector<int> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<int>(j);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        before.swap(last);
        last.swap(row);
        row[0] = static_cast<int>(i);
        for (std::size_t j = 1; j <= b.size(); ++j) {
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
    }
    return row[b.size()];
}

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

// The command words, from the table the programs read them with.
std::vector<std::string> command_words() {
    std::vector<std::string> words;
    for (int c = static_cast<int>(Command::Set); c <= static_cast<int>(Command::Mode); ++c)
        words.emplace_back(seq::command_name(static_cast<Command>(c)));
    return words;
}

std::vector<std::string> colour_names() {
    std::vector<std::string> names;
    for (auto c : {seq::NoiseColour::White, seq::NoiseColour::Pink, seq::NoiseColour::Brown, seq::NoiseColour::Off})
        names.emplace_back(seq::noise_colour_name(c));
    return names;
}

std::vector<std::string> mode_names() {
    std::vector<std::string> names;
    for (auto m : {seq::ListenMode::Binaural, seq::ListenMode::Monaural, seq::ListenMode::Isochronic})
        names.emplace_back(seq::listen_mode_name(m));
    return names;
}

// The name a mistyped word most likely meant, or "".
std::string nearest(std::string_view word, const std::vector<std::string>& names) {
    if (word.size() > 16) return "";
    std::string u = upper(word);
    std::string best;
    int best_distance = 3;
    for (const std::string& w : names) {
        int d = edit_distance(u, w);
        if (d < best_distance) {
            best_distance = d;
            best = w;
        }
    }
    return best;
}

// "A, B, C or D"
std::string listing(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return text;
}

// A character that does not show in an editor but splits or hides a word.
struct Invisible {
    std::size_t length = 0;   // bytes; 0 when the character shows
    const char* name = "";
};

Invisible invisible_at(std::string_view s, std::size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '\t') return {1, "tab"};
    if (c == '\r') return {1, "carriage return"};
    if (c < 32 || c == 127) return {1, "control character"};
    std::string_view rest = s.substr(i);
    if (rest.starts_with("\xEF\xBB\xBF")) return {3, "BOM"};
    if (rest.starts_with("\xC2\xA0")) return {2, "non-breaking space"};
    if (rest.starts_with("\xE2\x80\x8B")) return {3, "zero-width space"};
    return {};
}

// A word split around invisible characters: those before it (the first
// named), the visible part, and the one that joins it to what follows.
struct WordParts {
    Invisible lead, joint;
    std::size_t start = 0, end = 0;   // the visible part
};

WordParts word_parts(std::string_view w) {
    WordParts p;
    for (Invisible v; p.start < w.size() && (v = invisible_at(w, p.start)).length > 0; p.start += v.length)
        if (p.lead.length == 0) p.lead = v;
    p.end = p.start;
    while (p.end < w.size() && invisible_at(w, p.end).length == 0) ++p.end;
    if (p.end < w.size()) p.joint = invisible_at(w, p.end);
    return p;
}

// The length of the UTF-8 character at s[i], or 0 if the bytes are none.
std::size_t utf8_length(std::string_view s, std::size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    return n;
}

// A token as it can be shown: invisible characters by name, bytes that
// are no text by their value.
std::string printable(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        Invisible v = invisible_at(s, i);
        std::size_t n = v.length == 0 ? utf8_length(s, i) : 0;
        if (n > 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            if (v.length == 0 || std::strcmp(v.name, "control character") == 0) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "<0x%02X>", static_cast<unsigned char>(s[i]));
                out += hex;
                v.length = 1;
            } else {
                out += std::string("<") + v.name + ">";
            }
            i += v.length;
        }
        if (out.size() > 40) {
            out += "...";
            break;
        }
    }
    return out;
}

std::string number_text(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// A trailing carriage return (a DOS line end) does not disturb numbers.
std::string_view without_cr(std::string_view t) {
    while (!t.empty() && t.back() == '\r') t.remove_suffix(1);
    return t;
}

bool all_digits(std::string_view t, bool sign_allowed) {
    if (sign_allowed && !t.empty() && (t[0] == '-' || t[0] == '+')) t.remove_prefix(1);
    return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_odd_byte(unsigned char c) { return (c < 32 && c != '\t' && c != '\n' && c != '\r') || c == 127; }

// Where a warning points, and which of the lines that set the volume or the
// partial count came last.
struct Cause {
    long line = 0, column = 0;   // 0: the programs' defaults
    std::uint64_t order = 0;
    bool warned = false;
};

// What a wrap warning blames: a line that set the volume or the partial
// count, a fade, or a NOISE line.
enum class Blame { Volume, Fade, Noise };

std::string wrap_message(double volume, int harmonics, double noise, Blame blame) {
    std::string partials = std::to_string(harmonics) + (harmonics == 1 ? " partial" : " partials");
    std::string with = partials + (noise > 0 ? " and noise at " + number_text(noise) : "");
    std::string limit = " past the 16-bit range in the renderer's default mode (at most " +
                        (blame == Blame::Noise ? "noise " + std::to_string(wrap_free_noise(harmonics, volume)) +
                                                     " at volume " + number_text(volume)
                                               : std::to_string(wrap_free_volume(harmonics, noise)) + " with " + with) +
                        "): ambrise-render --clean renders it cleanly";
    switch (blame) {
        case Blame::Fade:
            return "the fade reaches volume " + number_text(volume) + ", where " + with +
                   (harmonics == 1 && noise <= 0 ? " wraps" : " wrap") + limit;
        case Blame::Noise:
            return "noise at " + number_text(noise) + " with " + partials + " at volume " + number_text(volume) +
                   " wraps" + limit;
        case Blame::Volume:
            break;
    }
    return "volume " + number_text(volume) + " with " + with + " wraps" + limit;
}

class Checker {
public:
    Checker(Report& r, const Options& o) : report_(r), options_(o) {}

    void run(std::FILE* in) {
        seq::LineBuffer buffer;
        long line = 1;
        long offset = 0;   // of this piece within its physical line
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

            bool continued = offset > 0;
            line_ = line;
            offset_ = offset;
            if (!buffer.newline && buffer.length == seq::line_capacity - 1) {
                // The piece filled the buffer: the line goes on in the next one.
                if (!continued) warn(1, "line longer than 1023 characters: the rest is read as a line of its own");
                offset += static_cast<long>(buffer.length);
            } else {
                offset = 0;
                ++line;
            }
            seq::Line parsed = seq::parse_line(buffer);
            nul_ = std::memchr(buffer.text, '\0', buffer.length) != nullptr;
            if (ended) {
                // Notes after the end cost the player no time: their place.
                if (!warned_after_end && parsed.tokens.count > 0 && parsed.tokens.word()[0] != '#') {
                    warn(column(parsed, 0), "never read: the sequence ended above");
                    warned_after_end = true;
                }
            } else {
                ended = line_command(parsed);
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
    long column(const seq::Line& l, int token) const {
        return offset_ + static_cast<long>(l.tokens.column[token]) + 1;
    }
    void warn(long col, const std::string& message) { warn_at(line_, col, message); }
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
                warn(offset_ + 1, "a NUL byte ends the text of the line: it reads as empty");
            else
                warn(offset_ + 1, "empty line: no command (the player spends a second on it)");
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

    void step(std::int64_t seconds, const std::string& command, double beat_to, double volume_to) {
        // The range is of the beats heard: those of timed steps.
        if (report_.renderer_seconds == 0 && report_.steps.empty()) {
            report_.beat_min = report_.beat_max = beat_;
            report_.volume_min = report_.volume_max = volume_;
        }
        beat_seen(beat_);
        beat_seen(beat_to);
        volume_seen(volume_);
        volume_seen(volume_to);
        Step s{report_.renderer_seconds, seconds, command, beat_, beat_to, volume_, volume_to, base_,
               colour_, level_, mode_};
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
        return {line_, column(l, 0), ++order_, false};
    }

    // The noise level heard, as the wrap sees it.
    double noise() const { return colour_ == seq::NoiseColour::Off ? 0.0 : level_; }

    // The renderer's default mode wraps at this volume: blame the line that
    // set the volume, the partial count or the noise last, once. A NOISE
    // line is to blame only when the tone alone would not wrap.
    void blame_wrap(double volume) {
        Cause* c = volume_cause_.order > harmonics_cause_.order ? &volume_cause_ : &harmonics_cause_;
        bool by_noise = noise_cause_.order > c->order && !exact_mode_wraps(harmonics_, volume);
        if (by_noise) c = &noise_cause_;
        if (c->warned || c->line == 0) return;
        c->warned = true;
        warn_at(c->line, c->column, wrap_message(volume, harmonics_, noise(), by_noise ? Blame::Noise : Blame::Volume));
    }

    // Isochronic pulses follow the beat: at a beat of 0 or less they stand
    // still, the tone on or off as the cycle stood. Told once.
    void pulses_stand(const seq::Line& l, double beat) {
        if (mode_ != seq::ListenMode::Isochronic || beat > 0 || pulses_warned_) return;
        pulses_warned_ = true;
        warn(column(l, 0), "beat " + number_text(beat) +
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

    // Returns true when the line ends the sequence.
    bool line_command(const seq::Line& l) {
        std::int64_t& player_time = report_.player_seconds;
        switch (l.command) {
            case Command::None:
                unrecognised(l);
                ++player_time;
                return false;
            case Command::Set: {
                double v = number(l, 0, "beat");
                extra_tokens(l, 1);
                ++player_time;
                if (!std::isfinite(v)) return false;
                beat_range(column(l, 1), v);
                beat_ = v;
                if (report_.steps.empty()) report_.beat_min = report_.beat_max = v;
                return false;
            }
            case Command::Base: {
                double v = number(l, 0, "base");
                extra_tokens(l, 1);
                ++player_time;
                if (!std::isfinite(v)) return false;
                if (v < 0 || v > 950)
                    warn(column(l, 1), "base " + number_text(v) +
                                           " Hz is outside the player's slider (0 to 950 Hz): it plays " +
                                           number_text(v < 0 ? 0 : 950) + " Hz there");
                base_ = v;
                return false;
            }
            case Command::Volume: {
                double v = number(l, 0, "volume");
                extra_tokens(l, 1);
                ++player_time;
                if (!std::isfinite(v)) return false;
                if (v < 0 || v > 100) warn(column(l, 1), "volume " + number_text(v) + " is limited to 0 to 100");
                volume_ = std::clamp(v, 0.0, 100.0);
                volume_cause_ = here(l);
                return false;
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
                if (n >= 10) {
                    warn(column(l, 1), "HARMONICS " + std::to_string(n) + " is ignored by both programs (at most 9)");
                } else {
                    harmonics_ = n;
                    harmonics_cause_ = here(l);
                }
                extra_tokens(l, 1);
                ++player_time;
                return false;
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
                if (!std::isfinite(target) || s.renderer <= 0) return false;
                fade(l, target, s.renderer);
                return false;
            }
            case Command::Slide: {
                double target = number(l, 0, "beat");
                Length s = length(l, 1, true);
                extra_tokens(l, 2);
                player_time += s.player > 0 ? s.player : 1;
                if (!std::isfinite(target)) return false;
                beat_range(column(l, 1), target);
                if (s.renderer <= 0) return false;
                if (exact_mode_wraps(harmonics_, volume_, noise())) blame_wrap(volume_);
                if (target <= 0) pulses_stand(l, beat_);
                step(s.renderer, "SLIDE " + number_text(target) + " " + std::to_string(s.renderer), target, volume_);
                beat_ = target;
                return false;
            }
            case Command::Hold: {
                Length s = length(l, 0, true);
                extra_tokens(l, 1);
                player_time += s.player > 0 ? s.player : 1;
                if (s.renderer > 0) {
                    if (exact_mode_wraps(harmonics_, volume_, noise())) blame_wrap(volume_);
                    pulses_stand(l, beat_);
                    step(s.renderer, "HOLD " + std::to_string(s.renderer), beat_, volume_);
                }
                return false;
            }
            case Command::Pause:
                warn(column(l, 0), "PAUSE waits for the listener in the player and is ignored by the renderer");
                extra_tokens(l, 0);
                ++player_time;
                return false;
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
                    return false;
                }
                bool joined = false;
                std::string name =
                    known_name(l, 0, colours, {"noise colour", "noise colours", "the noise stays as it was"}, &joined);
                seq::NoiseColour colour = seq::NoiseColour::Off;
                bool known = !name.empty() && seq::noise_colour_for(name, colour);
                double level = 0.0;
                // OFF needs no level; after an unknown colour the level
                // matters only when it is there to be mended too.
                bool read_level = known ? colour != seq::NoiseColour::Off : !joined && !l.tokens.arg(1).empty();
                if (read_level) {
                    double v = number(l, 1, "noise level", false);
                    std::string_view t = without_cr(l.tokens.arg(1));
                    if (std::isnan(v))
                        warn(column(l, 2), "noise level '" + printable(t) + "' reads as 0");
                    else if (v < 0 || v > 100)
                        warn(column(l, 2), "noise level " + number_text(v) + " is limited to 0 to 100");
                    level = seq::noise_level(v);
                }
                extra_tokens(l, 2);
                ++player_time;
                if (known) {
                    colour_ = colour;
                    level_ = level;
                    noise_cause_ = noise() > 0 ? here(l) : Cause{};
                }
                return false;
            }
            case Command::Mode: {
                static const std::vector<std::string> modes = mode_names();
                std::string name =
                    known_name(l, 0, modes, {"listening mode", "listening modes", "the mode stays as it was"});
                extra_tokens(l, 1);
                ++player_time;
                seq::ListenMode mode;
                if (!name.empty() && seq::listen_mode_for(name, mode)) mode_ = mode;
                return false;
            }
            case Command::Exit:
            case Command::End:
                extra_tokens(l, 0);
                return true;
        }
        return false;
    }

    // FADE as the renderer runs it: block i at the starting volume plus i
    // steps, added one by one; the volume ends one step past the last block.
    void fade(const seq::Line& l, double target, std::int64_t seconds) {
        const std::int64_t blocks = 10 * seconds;
        const double start = volume_, increment = (target - start) / static_cast<double>(blocks);
        double last = start, after;
        if (blocks <= 10'000'000) {
            for (std::int64_t i = 1; i < blocks; ++i) last += increment;
            after = last + increment;
        } else {   // too many to add up in reasonable time: near enough
            last = start + static_cast<double>(blocks - 1) * increment;
            after = start + static_cast<double>(blocks) * increment;
        }
        // Blocks lie between the first and the last, and wrapping grows with
        // the volume's size, so those two decide.
        const bool start_wraps = exact_mode_wraps(harmonics_, start, noise()),
                   last_wraps = exact_mode_wraps(harmonics_, last, noise());
        if (start_wraps) blame_wrap(start);
        if (last_wraps && (!start_wraps || std::fabs(last) > std::fabs(start)))
            warn(column(l, 0), wrap_message(last, harmonics_, noise(), Blame::Fade));
        pulses_stand(l, beat_);
        Cause fade_line = here(l);
        fade_line.warned = last_wraps;
        step(seconds, "FADE " + number_text(target) + " " + std::to_string(seconds), beat_, target);
        volume_ = after;
        volume_cause_ = fade_line;
    }

    Report& report_;
    const Options& options_;
    long line_ = 0, offset_ = 0;
    double beat_ = 10.0, base_ = 300.0, volume_ = 50.0;
    int harmonics_ = 3;
    seq::NoiseColour colour_ = seq::NoiseColour::Off;
    double level_ = 0.0;
    seq::ListenMode mode_ = seq::ListenMode::Binaural;
    bool nul_ = false;
    bool pulses_warned_ = false;   // the line holds a NUL byte
    Cause volume_cause_, harmonics_cause_, noise_cause_;
    std::uint64_t order_ = 0;
};

// The largest sum of n weighted partials: S_n = sum of 32768 / (k + 1).
long partial_sum(int harmonics) {
    long s = 0;
    for (int k = 0; k < harmonics && k < 10; ++k) s += 32768 / (k + 1);
    return s;
}

}  // namespace

bool exact_mode_wraps(int harmonics, double volume, double noise) {
    if (!std::isfinite(volume)) return false;
    long half = partial_sum(harmonics) / 2;
    // Both programs add the noise to the signed sum before the midpoint; at
    // full level it reaches the tone's full scale (white does, pink and
    // brown are clipped there). The listening modes never make the tone's
    // peak larger than S_n/2.
    double peak = std::trunc(seq::noise_level(noise) / 100.0 * 32767.0);
    // The renderer's sample: floor((half + 32768) * volume / 100) for half
    // within +-(S_n/2 + peak); the extremes decide.
    double high = std::floor((32768.0 + static_cast<double>(half) + peak) * volume / 100.0);
    double low = std::floor((32768.0 - static_cast<double>(half) - peak) * volume / 100.0);
    return std::max(high, low) > 32767.0 || std::min(high, low) < -32768.0;
}

int wrap_free_volume(int harmonics, double noise) {
    int v = 100;
    while (v > 0 && exact_mode_wraps(harmonics, v, noise)) --v;
    return v;
}

int wrap_free_noise(int harmonics, double volume) {
    if (exact_mode_wraps(harmonics, volume)) return -1;
    int n = 100;
    while (n > 0 && exact_mode_wraps(harmonics, volume, n)) --n;
    return n;
}

Report check_sequence(std::FILE* in, const Options& options) {
    Report r;
    Checker(r, options).run(in);
    return r;
}

namespace {

// Plotting works on values a picture can hold.
double plottable(double v) {
    if (std::isnan(v)) return 0.0;
    return std::clamp(v, -1e12, 1e12);
}

// A round step of 1, 2 or 5 times a power of ten giving at most about
// `ticks` intervals over the range.
double round_step(double range, int ticks) {
    double raw = range / ticks;
    if (!(raw > 0)) return 1.0;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * magnitude >= raw) return m * magnitude;
    return 10.0 * magnitude;
}

// A round step of time: seconds, minutes, hours as a clock counts them.
double time_step(double total) {
    static const double steps[] = {1,   2,    5,    10,   15,   30,    60,    120,   300,  600,
                                   900, 1200, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    for (double s : steps)
        if (total / s <= 6) return s;
    return 86400 * round_step(total / 86400, 6);
}

struct Axis {
    double bottom, top, step;
};

Axis round_axis(double low, double high, int ticks) {
    double step = round_step(high - low, ticks);
    return {std::floor(low / step) * step, std::ceil(high / step) * step, step};
}

std::string fmt(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '<') escaped += "&lt;";
        else if (c == '>') escaped += "&gt;";
        else if (c == '&') escaped += "&amp;";
        else if (c == '"') escaped += "&quot;";
        else if (static_cast<unsigned char>(c) >= 32) escaped += c;
    }
    return escaped;
}

}  // namespace

std::string plot_svg(const Report& r, const std::string& title) {
    const double width = 800, height = 360, left = 60, right = 60, top = 40, bottom = 40;
    const double plot_w = width - left - right, plot_h = height - top - bottom;
    const double total = static_cast<double>(std::max<std::int64_t>(r.renderer_seconds, 1));
    const Axis beat = round_axis(std::min(0.0, plottable(r.beat_min)), std::max(40.0, plottable(r.beat_max)), 5);
    const Axis volume =
        round_axis(std::min(0.0, plottable(r.volume_min)), std::max(100.0, plottable(r.volume_max)), 5);
    auto x = [&](double t) { return left + plot_w * t / total; };
    auto y_on = [&](const Axis& a, double v) { return top + plot_h * (a.top - plottable(v)) / (a.top - a.bottom); };
    auto y_beat = [&](double b) { return y_on(beat, b); };
    auto y_volume = [&](double v) { return y_on(volume, v); };

    std::string beat_points, volume_points, noise_points;
    for (const Step& s : r.steps) {
        double t0 = static_cast<double>(s.start), t1 = t0 + static_cast<double>(s.length);
        // The noise level holds through a step: a staircase on the percent axis.
        noise_points +=
            fmt(x(t0)) + "," + fmt(y_volume(s.noise_heard())) + " " + fmt(x(t1)) + "," + fmt(y_volume(s.noise_heard())) + " ";
        beat_points += fmt(x(t0)) + "," + fmt(y_beat(s.beat_from)) + " " + fmt(x(t1)) + "," + fmt(y_beat(s.beat_to)) + " ";
        volume_points +=
            fmt(x(t0)) + "," + fmt(y_volume(s.volume_from)) + " " + fmt(x(t1)) + "," + fmt(y_volume(s.volume_to)) + " ";
    }
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"360\" viewBox=\"0 0 800 360\" "
           "font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"800\" height=\"360\" fill=\"white\"/>\n";
    svg += "<text x=\"400\" y=\"22\" text-anchor=\"middle\" font-size=\"14\">" + escape(title) + "</text>\n";
    svg += "<rect x=\"" + fmt(left) + "\" y=\"" + fmt(top) + "\" width=\"" + fmt(plot_w) + "\" height=\"" +
           fmt(plot_h) + "\" fill=\"none\" stroke=\"#888\"/>\n";
    auto ticks = [](const Axis& a) { return static_cast<int>(std::lround((a.top - a.bottom) / a.step)); };
    for (int i = 0, n = ticks(beat); i <= n && i <= 20; ++i) {
        double b = beat.bottom + beat.step * i;
        svg += "<text x=\"" + fmt(left - 6) + "\" y=\"" + fmt(y_beat(b) + 4) +
               "\" text-anchor=\"end\" fill=\"#1f5fbf\">" + number_text(b) + "</text>\n";
    }
    for (int i = 0, n = ticks(volume); i <= n && i <= 20; ++i) {
        double v = volume.bottom + volume.step * i;
        svg += "<text x=\"" + fmt(width - right + 6) + "\" y=\"" + fmt(y_volume(v) + 4) + "\" fill=\"#c06000\">" +
               number_text(v) + "</text>\n";
    }
    const double t_step = time_step(total);
    for (int i = 0; i * t_step <= total && i <= 20; ++i) {
        double t = i * t_step;
        svg += "<line x1=\"" + fmt(x(t)) + "\" y1=\"" + fmt(height - bottom) + "\" x2=\"" + fmt(x(t)) + "\" y2=\"" +
               fmt(height - bottom + 4) + "\" stroke=\"#888\"/>\n";
        svg += "<text x=\"" + fmt(x(t)) + "\" y=\"" + fmt(height - bottom + 16) + "\" text-anchor=\"middle\">" +
               seq::clock_text(static_cast<std::int64_t>(t)) + "</text>\n";
    }
    svg += "<text x=\"" + fmt(left) + "\" y=\"" + fmt(top - 8) + "\" fill=\"#1f5fbf\">beat (Hz)</text>\n";
    svg += "<text x=\"" + fmt(width - right) + "\" y=\"" + fmt(top - 8) +
           "\" text-anchor=\"end\" fill=\"#c06000\">volume (%)</text>\n";
    // Noise only where a sequence has some: older pictures stay as they were.
    const bool noisy = r.noise_max > 0 && !r.steps.empty();
    if (noisy)
        svg += "<text x=\"" + fmt(width - right - 80) + "\" y=\"" + fmt(top - 8) +
               "\" text-anchor=\"end\" fill=\"#2e8b57\">noise (%)</text>\n";
    if (!r.steps.empty()) {
        if (noisy)
            svg += "<polyline fill=\"none\" stroke=\"#2e8b57\" stroke-width=\"2\" stroke-dasharray=\"1 3\" points=\"" +
                   noise_points + "\"/>\n";
        svg += "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"2\" points=\"" + beat_points + "\"/>\n";
        svg += "<polyline fill=\"none\" stroke=\"#c06000\" stroke-width=\"2\" stroke-dasharray=\"6 3\" points=\"" +
               volume_points + "\"/>\n";
    }
    // The renderer carries a fade past 0 to 100; the player stops there.
    for (double limit : {100.0, 0.0}) {
        bool beyond = limit > 0 ? r.volume_max > 100.0 : r.volume_min < 0.0;
        if (!beyond) continue;
        svg += "<line x1=\"" + fmt(left) + "\" y1=\"" + fmt(y_volume(limit)) + "\" x2=\"" + fmt(width - right) +
               "\" y2=\"" + fmt(y_volume(limit)) + "\" stroke=\"#c06000\" stroke-dasharray=\"2 4\"/>\n";
        svg += "<text x=\"" + fmt(width - right - 4) + "\" y=\"" + fmt(y_volume(limit) + (limit > 0 ? -4 : 14)) +
               "\" text-anchor=\"end\" fill=\"#c06000\">player stops at " + number_text(limit) +
               "; renderer plays " + number_text(limit > 0 ? plottable(r.volume_max) : plottable(r.volume_min)) +
               "</text>\n";
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace check
