#include "checker.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>

#include "sequence.h"

namespace check {

namespace {

using seq::Command;

const char* const command_words[] = {"SET",  "VOLUME", "FADE",  "BASE", "HARMONICS",
                                     "SLIDE", "HOLD",  "PAUSE", "EXIT", "END"};

int edit_distance(const std::string& a, const std::string& b) {
    std::vector<int> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<int>(j);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (std::size_t j = 1; j <= b.size(); ++j) {
            int up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

// The command word a mistyped word most likely meant, or "".
std::string nearest_command(std::string_view word) {
    std::string u = upper(word);
    std::string best;
    int best_distance = 3;
    for (const char* w : command_words) {
        int d = edit_distance(u, w);
        if (d < best_distance) {
            best_distance = d;
            best = w;
        }
    }
    return best;
}

std::string printable(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (static_cast<unsigned char>(c) < 32 || c == 127)
            out += '?';
        else
            out += c;
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

class Checker {
public:
    explicit Checker(Report& r) : report_(r) {}

    void run(std::FILE* in) {
        seq::LineBuffer buffer;
        long line = 1;
        long offset = 0;   // of this piece within its physical line
        bool ended = false;
        bool warned_after_end = false;
        while (seq::read_line(in, buffer)) {
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
            if (ended) {
                if (!warned_after_end && parsed.tokens.count > 0) {
                    warn(column(parsed, 0), "never read: the sequence ended above");
                    warned_after_end = true;
                }
                continue;
            }
            ended = line_command(parsed);
        }
    }

private:
    long column(const seq::Line& l, int token) const {
        return offset_ + static_cast<long>(l.tokens.column[token]) + 1;
    }
    void warn(long col, const std::string& message) { report_.diagnostics.push_back({line_, col, message}); }

    void beat_seen(double b) {
        report_.beat_min = std::min(report_.beat_min, b);
        report_.beat_max = std::max(report_.beat_max, b);
    }

    // A number argument; warns when it does not read as written.
    double number(const seq::Line& l, int i, const char* what) {
        std::string_view t = without_cr(l.tokens.arg(i));
        if (l.tokens.arg(i).empty()) {
            warn(last_column(l), std::string("missing ") + what + ": read as 0");
            return 0.0;
        }
        std::size_t used = 0;
        double v = seq::read_number(t, &used);
        long col = column(l, i + 1);
        if (used == 0)
            warn(col, "'" + printable(t) + "' is not a number: read as 0");
        else if (used < t.size())
            warn(col, "'" + printable(t) + "' reads as " + number_text(v) + ": the rest is ignored");
        if (!std::isfinite(v)) warn(col, "not a finite number: the line is ignored");
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
            warn(last_column(l), "missing length: read as 0");
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

    long last_column(const seq::Line& l) const {
        int last = l.tokens.count - 1;
        return column(l, last) + static_cast<long>(l.tokens.token[last].size()) + 1;
    }

    void extra_tokens(const seq::Line& l, int arguments) {
        if (l.tokens.count > arguments + 1)
            warn(column(l, arguments + 1), "'" + printable(without_cr(l.tokens.token[arguments + 1])) +
                                               "' is more than " + seq::command_name(l.command) +
                                               " takes: ignored");
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
            warn(1, "empty line: no command (the player spends a second on it)");
            return;
        }
        if (w[0] == '#') return;   // a note for the reader
        std::size_t tab = w.find('\t'), cr = w.find('\r');
        std::string head(w.substr(0, std::min(tab, cr)));
        if (seq::command_for(head) != Command::None) {
            if (tab != std::string_view::npos && (cr == std::string_view::npos || tab < cr))
                warn(col + static_cast<long>(tab), "a tab joins " + head +
                                                       " to its argument: the line is not recognised (use a space)");
            else
                warn(col + static_cast<long>(cr), "a carriage return (DOS line end) after " + head +
                                                      ": the line is not recognised");
            return;
        }
        std::string suggestion = nearest_command(head.empty() ? w : std::string_view(head));
        if (!suggestion.empty() && upper(head) == suggestion)
            warn(col, "'" + printable(w) + "' is not recognised: command words are upper case (" + suggestion + ")");
        else if (!suggestion.empty())
            warn(col, "'" + printable(w) + "' is not recognised: did you mean " + suggestion + "?");
        else
            warn(col, "'" + printable(w) + "' is no command word: the line is ignored (notes start with #)");
    }

    void step(std::int64_t seconds, const std::string& command, double beat_to, double volume_to) {
        // The range is of the beats heard: those of timed steps.
        if (report_.steps.empty()) report_.beat_min = report_.beat_max = beat_;
        beat_seen(beat_);
        beat_seen(beat_to);
        report_.steps.push_back({report_.renderer_seconds, seconds, command, beat_, beat_to, volume_, volume_to, base_});
        report_.renderer_seconds += seconds;
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
                return false;
            }
            case Command::Harmonics: {
                std::string_view t = without_cr(l.tokens.arg(0));
                std::size_t used = 0;
                int n = seq::read_count(t, &used);
                if (l.tokens.arg(0).empty())
                    warn(last_column(l), "missing count: read as 0, which silences the tone");
                else if (used == 0)
                    warn(column(l, 1), "'" + printable(t) + "' is not a whole number: read as 0, which silences the tone");
                else if (used < t.size())
                    warn(column(l, 1), "'" + printable(t) + "' reads as " + std::to_string(n) + ": the rest is ignored");
                if (n >= 10)
                    warn(column(l, 1), "HARMONICS " + std::to_string(n) + " is ignored by both programs (at most 9)");
                extra_tokens(l, 1);
                ++player_time;
                return false;
            }
            case Command::Fade: {
                double target = number(l, 0, "target");
                Length s = length(l, 1, false);
                extra_tokens(l, 2);
                ++player_time;
                if (std::isfinite(target) && (target < 0 || target > 100))
                    warn(column(l, 1), "fade target " + number_text(target) +
                                           " is outside 0 to 100: the renderer goes past the limit, the player stops there");
                if (!std::isfinite(target) || s.renderer <= 0) return false;
                step(s.renderer, "FADE " + number_text(target) + " " + std::to_string(s.renderer), beat_, target);
                volume_ = target;
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
                step(s.renderer, "SLIDE " + number_text(target) + " " + std::to_string(s.renderer), target, volume_);
                beat_ = target;
                return false;
            }
            case Command::Hold: {
                Length s = length(l, 0, true);
                extra_tokens(l, 1);
                player_time += s.player > 0 ? s.player : 1;
                if (s.renderer > 0) step(s.renderer, "HOLD " + std::to_string(s.renderer), beat_, volume_);
                return false;
            }
            case Command::Pause:
                warn(column(l, 0), "PAUSE waits for the listener in the player and is ignored by the renderer");
                extra_tokens(l, 0);
                ++player_time;
                return false;
            case Command::Exit:
            case Command::End:
                extra_tokens(l, 0);
                return true;
        }
        return false;
    }

    Report& report_;
    long line_ = 0, offset_ = 0;
    double beat_ = 10.0, base_ = 300.0, volume_ = 50.0;
};

}  // namespace

Report check_sequence(std::FILE* in) {
    Report r;
    Checker(r).run(in);
    return r;
}


std::string plot_svg(const Report& r, const std::string& title) {
    const double width = 800, height = 360, left = 60, right = 60, top = 40, bottom = 40;
    const double plot_w = width - left - right, plot_h = height - top - bottom;
    double total = static_cast<double>(std::max<std::int64_t>(r.renderer_seconds, 1));
    double beat_top = std::max(40.0, std::ceil(r.beat_max));
    double beat_bottom = std::min(0.0, std::floor(r.beat_min));
    auto x = [&](double t) { return left + plot_w * t / total; };
    auto y_beat = [&](double b) { return top + plot_h * (beat_top - b) / (beat_top - beat_bottom); };
    auto y_volume = [&](double v) { return top + plot_h * (100.0 - std::clamp(v, 0.0, 100.0)) / 100.0; };
    auto fmt = [](double v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f", v);
        return std::string(buf);
    };
    std::string escaped;
    for (char c : title) {
        if (c == '<') escaped += "&lt;";
        else if (c == '>') escaped += "&gt;";
        else if (c == '&') escaped += "&amp;";
        else if (static_cast<unsigned char>(c) >= 32) escaped += c;
    }
    std::string beat_points, volume_points;
    for (const Step& s : r.steps) {
        double t0 = static_cast<double>(s.start), t1 = static_cast<double>(s.start + s.length);
        beat_points += fmt(x(t0)) + "," + fmt(y_beat(s.beat_from)) + " " + fmt(x(t1)) + "," + fmt(y_beat(s.beat_to)) + " ";
        volume_points +=
            fmt(x(t0)) + "," + fmt(y_volume(s.volume_from)) + " " + fmt(x(t1)) + "," + fmt(y_volume(s.volume_to)) + " ";
    }
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"360\" viewBox=\"0 0 800 360\" "
           "font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"800\" height=\"360\" fill=\"white\"/>\n";
    svg += "<text x=\"400\" y=\"22\" text-anchor=\"middle\" font-size=\"14\">" + escaped + "</text>\n";
    svg += "<rect x=\"" + fmt(left) + "\" y=\"" + fmt(top) + "\" width=\"" + fmt(plot_w) + "\" height=\"" +
           fmt(plot_h) + "\" fill=\"none\" stroke=\"#888\"/>\n";
    for (int i = 0; i <= 4; ++i) {
        double b = beat_bottom + (beat_top - beat_bottom) * i / 4, v = 25.0 * i;
        svg += "<text x=\"" + fmt(left - 6) + "\" y=\"" + fmt(y_beat(b) + 4) + "\" text-anchor=\"end\" fill=\"#1f5fbf\">" +
               fmt(b) + "</text>\n";
        svg += "<text x=\"" + fmt(width - right + 6) + "\" y=\"" + fmt(y_volume(v) + 4) + "\" fill=\"#c06000\">" +
               fmt(v) + "</text>\n";
        double t = total * i / 4;
        svg += "<text x=\"" + fmt(x(t)) + "\" y=\"" + fmt(height - bottom + 16) + "\" text-anchor=\"middle\">" +
               seq::clock_text(static_cast<std::int64_t>(t)) + "</text>\n";
    }
    svg += "<text x=\"" + fmt(left) + "\" y=\"" + fmt(top - 8) + "\" fill=\"#1f5fbf\">beat (Hz)</text>\n";
    svg += "<text x=\"" + fmt(width - right) + "\" y=\"" + fmt(top - 8) +
           "\" text-anchor=\"end\" fill=\"#c06000\">volume (%)</text>\n";
    if (!r.steps.empty()) {
        svg += "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"2\" points=\"" + beat_points + "\"/>\n";
        svg += "<polyline fill=\"none\" stroke=\"#c06000\" stroke-width=\"2\" stroke-dasharray=\"6 3\" points=\"" +
               volume_points + "\"/>\n";
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace check
