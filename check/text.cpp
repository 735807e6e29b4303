#include "text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "listening.h"

namespace check {

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

WordParts word_parts(std::string_view w) {
    WordParts p;
    for (Invisible v; p.start < w.size() && (v = invisible_at(w, p.start)).length > 0; p.start += v.length)
        if (p.lead.length == 0) p.lead = v;
    p.end = p.start;
    while (p.end < w.size() && invisible_at(w, p.end).length == 0) ++p.end;
    if (p.end < w.size()) p.joint = invisible_at(w, p.end);
    return p;
}

namespace {

// The length of the UTF-8 character at s[i], or 0 if the bytes are none.
std::size_t utf8_length(std::string_view s, std::size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    return n;
}

}  // namespace

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

bool all_digits(std::string_view t, bool sign_allowed) {
    if (sign_allowed && !t.empty() && (t[0] == '-' || t[0] == '+')) t.remove_prefix(1);
    return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}


}  // namespace check
