// The checker's words about text: the names a mistyped word may have meant,
// invisible characters, and tokens and numbers as a message shows them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace check {

// Edits between two words, a swap of neighbours counting as one.
int edit_distance(const std::string& a, const std::string& b);
std::string upper(std::string_view s);

// The command words, noise colours and listening modes, from the tables the
// programs read them with.
std::vector<std::string> command_words();
std::vector<std::string> colour_names();
std::vector<std::string> mode_names();

// The name a mistyped word most likely meant, or "".
std::string nearest(std::string_view word, const std::vector<std::string>& names);
// "A, B, C or D"
std::string listing(const std::vector<std::string>& names);

// A character that does not show in an editor but splits or hides a word.
struct Invisible {
    std::size_t length = 0;   // bytes; 0 when the character shows
    const char* name = "";
};
Invisible invisible_at(std::string_view s, std::size_t i);

// A word split around invisible characters: those before it (the first
// named), the visible part, and the one that joins it to what follows.
struct WordParts {
    Invisible lead, joint;
    std::size_t start = 0, end = 0;   // the visible part
};
WordParts word_parts(std::string_view w);

// A token as it can be shown: invisible characters by name, bytes that
// are no text by their value.
std::string printable(std::string_view s);
std::string number_text(double v);
// A trailing carriage return (a DOS line end) does not disturb numbers.
inline std::string_view without_cr(std::string_view t) {
    while (!t.empty() && t.back() == '\r') t.remove_suffix(1);
    return t;
}
bool all_digits(std::string_view t, bool sign_allowed);
// A control byte that text has no use for; read for every byte.
inline bool is_odd_byte(unsigned char c) { return (c < 32 && c != '\t' && c != '\n' && c != '\r') || c == 127; }

}  // namespace check
