// The warnings of each line: arguments that do not read as written, words
// that are no command, names that are no colour or mode.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "reader.h"
#include "text.h"

namespace check {

using seq::Command;

// A number argument; warns when it does not read as written (and, unless
// the command has a use for them, when it is not finite).
double Checker::number(const seq::Line& l, int i, const char* what, bool finite_only) {
    std::string_view t = without_cr(l.tokens.arg(i));
    if (l.tokens.arg(i).empty()) {
        warn(end_column(l), std::string("missing ") + what + ": read as 0");
        return 0.0;
    }
    std::size_t used = 0;
    double v = l.number(i, &used);   // as without_cr(t) reads: a number ends before a carriage return
    long col = column(l, i + 1);
    if (used == 0)
        warn(col, "'" + printable(t) + "' is not a number: read as 0");
    else if (used < t.size())
        warn(col, "'" + printable(t) + "' reads as " + number_text(v) + ": the rest is ignored");
    if (finite_only && !std::isfinite(v)) warn(col, "not a finite number: the line is ignored");
    return v;
}

Checker::Length Checker::length(const seq::Line& l, int i, bool player_reads_number) {
    std::string_view t = without_cr(l.tokens.arg(i));
    if (l.tokens.arg(i).empty()) {
        warn(end_column(l), "missing length: read as 0");
        return {0, 0};
    }
    long col = column(l, i + 1);
    std::size_t used_count = 0, used_number = 0;
    int whole = seq::read_count(t, &used_count);
    double v = l.number(i, &used_number);
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
long Checker::end_column(const seq::Line& l) const {
    int last = l.tokens.count - 1;
    return column(l, last) + static_cast<long>(without_cr(l.tokens.token[last]).size());
}

void Checker::extra_tokens(const seq::Line& l, int arguments) {
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

void Checker::beat_range(long col, double beat) {
    if (std::isfinite(beat) && (beat < 0 || beat > 40))
        warn(col, "beat " + number_text(beat) + " Hz is outside the player's slider (0 to 40 Hz): it plays " +
                      number_text(beat < 0 ? 0 : 40) + " Hz there");
}

void Checker::unrecognised(const seq::Line& l) {
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

// The warnings of one line, which the interpreter has applied with
// this effect, and the lines to blame for a wrap.
void Checker::line_command(const seq::Line& l, const render::LineEffect& effect) {
    std::int64_t& player_time = report_.player_seconds;
    switch (l.command) {
        case Command::None:
            unrecognised(l);
            ++player_time;
            return;
        case Command::Background: {
            // Its faults and its file are told by background_line.
            std::string_view level = l.tokens.arg(0);
            if (effect.changed && level != "OFF") {
                double v = number(l, 0, "background level", false);
                if (v < 0 || v > 100)
                    warn(column(l, 1), "background level " + number_text(v) + " is limited to 0 to 100");
            }
            ++player_time;
            return;
        }
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
            l.number(0, &used);
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

std::string Checker::known_name(const seq::Line& l, int i, const std::vector<std::string>& names,
                                const NameKind& kind, bool* joined) {
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

}  // namespace check
