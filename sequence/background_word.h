// The words of a BACKGROUND line: a level and the path of a sound file that
// plays under the tone, or OFF. The sound lives in sound/background.h.
#pragma once

#include <string>
#include <string_view>

#include "sequence.h"

namespace seq {

struct BackgroundWord {
    bool off = false;     // BACKGROUND OFF
    double level = 0.0;   // percent, limited as NOISE's level
    std::string path;     // resolved: absolute, or relative to the working directory
};

// Reads "BACKGROUND <level> <path>" or "BACKGROUND OFF" from the raw line
// text: the tokenizer cuts at spaces and commas, but the path is the rest of
// the line after the level token, spaces and commas included, with trailing
// white space dropped. A relative path is taken against base_dir (empty: the
// working directory, as for a sequence on standard input); "~/" is home.
// On a fault, false with a short message and `word` untouched.
//
// A line longer than one 1023-character piece is refused rather than
// opened under a cut-off name: its path would be split across pieces.
bool read_background(const LineBuffer& raw, const Line& line, std::string_view base_dir, std::string_view home,
                     BackgroundWord& word, std::string& message);

// The directory that relative background paths of a sequence file resolve
// against: the file's own, "" for standard input ("" or "-").
std::string sequence_directory(std::string_view sequence_path);

}  // namespace seq
