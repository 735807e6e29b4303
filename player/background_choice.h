// Which background plays: the user's choice (-background, the window's
// menu) or the sequence's. While a sequence runs, its BACKGROUND lines
// replace the user's choice, OFF included; a choice made in the menu then
// plays until the sequence's next BACKGROUND line. When the sequence stops,
// the user's choice plays again. A sequence without BACKGROUND lines leaves
// the user's choice as it is.
#pragma once

#include <string>

#include "background_mix.h"
#include "background_word.h"

struct BackgroundChoice {
    std::string path;     // "" for none
    double level = default_background_level;  // percent of the file's own level
    bool operator==(const BackgroundChoice&) const = default;
};

// The user's actions: the menu's entries and -background.
void choose_background_file(const std::string& path);
void choose_background_level(double level);
void clear_background();

// The sequence stepper's side.
void background_sequence_started(const char* sequence_path);
bool background_line(const seq::LineBuffer& raw, const seq::Line& line);   // false: not a valid line
void background_sequence_ended();

const BackgroundChoice& user_background();
// What plays now, as last handed to the feed.
const BackgroundChoice& playing_background();
