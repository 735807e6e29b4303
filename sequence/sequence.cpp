#include "sequence.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace seq {

bool read_line(std::FILE* in, LineBuffer& line) {
    std::size_t n = 0;
    line.newline = false;
    while (n < line_capacity - 1) {
        int c = std::getc(in);
        if (c == EOF) break;
        line.text[n++] = static_cast<char>(c);
        if (c == '\n') {
            line.newline = true;
            break;
        }
    }
    line.text[n] = '\0';
    line.length = n;
    return n > 0;
}

namespace {

struct Word {
    const char* text;
    Command command;
};

// The order in which the player compares them.
constexpr Word words[] = {
    {"SET", Command::Set},     {"VOLUME", Command::Volume},       {"FADE", Command::Fade},
    {"BASE", Command::Base},   {"HARMONICS", Command::Harmonics}, {"SLIDE", Command::Slide},
    {"HOLD", Command::Hold},   {"PAUSE", Command::Pause},         {"EXIT", Command::Exit},
    {"END", Command::End},     {"NOISE", Command::Noise},         {"MODE", Command::Mode},
    {"BACKGROUND", Command::Background},
};

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

}  // namespace

Command command_for(std::string_view word) {
    for (const Word& w : words)
        if (word == w.text) return w.command;
    return Command::None;
}

const char* command_name(Command c) {
    for (const Word& w : words)
        if (w.command == c) return w.text;
    return "";
}

Tokens tokenize(const char* text, std::size_t length) {
    Tokens t;
    std::size_t end = 0;
    while (end < length && text[end] != '\0') ++end;
    std::size_t i = 0;
    while (t.count < Tokens::max_tokens) {
        while (i < end && is_separator(text[i])) ++i;
        if (i == end) break;
        std::size_t start = i;
        while (i < end && !is_separator(text[i])) ++i;
        t.token[t.count] = std::string_view(text + start, i - start);
        t.column[t.count] = start;
        ++t.count;
    }
    return t;
}

double read_number(std::string_view token, std::size_t* used) {
    char buf[line_capacity];
    std::size_t n = token.size() < sizeof buf - 1 ? token.size() : sizeof buf - 1;
    if (n > 0) std::memcpy(buf, token.data(), n);
    buf[n] = '\0';
    char* stop = buf;
    double v = strtod_l(buf, &stop, c_locale());
    if (used) *used = static_cast<std::size_t>(stop - buf);
    return v;
}

int read_count(std::string_view token, std::size_t* used) {
    std::size_t i = 0;
    while (i < token.size() && is_c_space(token[i])) ++i;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    std::size_t digits = i;
    long long v = 0;
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') {
        if (v <= INT_MAX) v = v * 10 + (token[i] - '0');
        ++i;
    }
    if (i == digits) {
        if (used) *used = 0;
        return 0;
    }
    if (used) *used = i;
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

int truncate_length(double seconds) {
    if (std::isnan(seconds)) return 0;
    if (seconds >= 2147483647.0) return INT_MAX;
    if (seconds <= -2147483648.0) return INT_MIN;
    return static_cast<int>(seconds);
}

std::string clock_text(std::int64_t seconds) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return buf;
}

Line parse_line(const LineBuffer& line) {
    Line l;
    l.tokens = tokenize(line);
    l.command = command_for(l.tokens.word());
    return l;
}

}  // namespace seq
