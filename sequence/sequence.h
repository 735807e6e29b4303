// The sequence file format shared by the player and the renderer: line
// reading in pieces of at most 1023 characters, the tokenizer, the command
// words and the locale-free reading of number arguments.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

namespace seq {

// A line holds at most 1023 characters and a terminating NUL.
constexpr std::size_t line_capacity = 1024;

struct LineBuffer {
    char text[line_capacity] = {};
    std::size_t length = 0;   // characters read, NULs included
    bool newline = false;      // the piece ended with its line's newline
};

// Reads the next piece of a line: the characters up to and including the
// next newline, but at most 1023 of them. Returns false at the end of the
// file (or on a read error) when nothing was read.
bool read_line(std::FILE* in, LineBuffer& line);

enum class Command { None, Set, Volume, Fade, Base, Harmonics, Slide, Hold, Pause, Exit, End, Noise, Mode, Background };

// The command word for a token, compared exactly, letter case included.
Command command_for(std::string_view word);
const char* command_name(Command c);

// A line cut into tokens at space, comma and newline. The text ends at the
// first NUL, as a C string would.
struct Tokens {
    static constexpr int max_tokens = 4;   // a command word and up to three arguments
    std::string_view token[max_tokens];
    std::size_t column[max_tokens] = {};   // offset of each token in the line
    int count = 0;

    std::string_view word() const { return count > 0 ? token[0] : std::string_view(); }
    // Argument i (0 is the first after the command word); empty when missing.
    std::string_view arg(int i) const { return i + 1 < count ? token[i + 1] : std::string_view(); }
};

Tokens tokenize(const char* text, std::size_t length);
inline Tokens tokenize(const LineBuffer& line) { return tokenize(line.text, line.length); }

inline bool is_separator(char c) { return c == ' ' || c == ',' || c == '\n'; }

// Number reading as atof does it in the C locale, whatever the process's
// locale: leading white space, sign, digits, point, exponent; 0 when the
// token has no numeric beginning. `used` receives the characters consumed.
double read_number(std::string_view token, std::size_t* used = nullptr);

// Whole-number reading as atoi does it: leading white space, sign, decimal
// digits; 0 without digits. Values beyond the int range saturate.
int read_count(std::string_view token, std::size_t* used = nullptr);

// The player's reading of SLIDE and HOLD lengths: a number truncated toward
// zero, saturating at the int range (NaN gives 0).
int truncate_length(double seconds);

// A length of sequence time as HH:MM:SS (more hour digits when needed).
std::string clock_text(std::int64_t seconds);

// A parsed line: the command and its tokens. Each number argument is read
// once, however often it is asked for (the checker asks twice).
struct Line {
    Command command = Command::None;
    Tokens tokens;
    double number(int i, std::size_t* used = nullptr) const {
        if (i < 0 || i >= Tokens::max_tokens - 1) return read_number(tokens.arg(i), used);
        if (!(read_ & (1u << i))) {
            value_[i] = read_number(tokens.arg(i), &used_[i]);
            read_ |= static_cast<unsigned char>(1u << i);
        }
        if (used) *used = used_[i];
        return value_[i];
    }
    int count(int i) const { return read_count(tokens.arg(i)); }

private:
    mutable double value_[Tokens::max_tokens - 1] = {};
    mutable std::size_t used_[Tokens::max_tokens - 1] = {};
    mutable unsigned char read_ = 0;
};

Line parse_line(const LineBuffer& line);

// Where a piece of a line stands in the file: a line longer than the buffer
// goes on in the next piece, on the same physical line.
struct Position {
    long line = 1;     // physical line, from 1
    long offset = 0;   // of the piece within its line

    // The column (from 1) of a token of the piece.
    long column(const Line& l, int token) const { return offset + static_cast<long>(l.tokens.column[token]) + 1; }
    // True when the piece filled the buffer without ending its line.
    static bool continues(const LineBuffer& b) { return !b.newline && b.length == line_capacity - 1; }
    // Moves past a piece.
    void pass(const LineBuffer& b) {
        if (continues(b)) {
            offset += static_cast<long>(b.length);
        } else {
            offset = 0;
            ++line;
        }
    }
};

}  // namespace seq
