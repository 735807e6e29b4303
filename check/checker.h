// ambrise-check's core: reads a sequence exactly as both programs do and
// reports what would make it play otherwise than its author meant.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "listening.h"

namespace check {

struct Diagnostic {
    long line;       // physical line, from 1
    long column;     // from 1
    std::string message;
    bool error = false;   // the line cannot be played as written (a background file)
};

// One timed step as the renderer runs it. Past Options::max_steps,
// neighbouring steps are merged (command empty), which keeps the shape.
struct Step {
    std::int64_t start;   // seconds from the start of the render
    std::int64_t length;
    std::string command;  // "HOLD 300", "SLIDE 8 600", "FADE 0 20"
    double beat_from, beat_to;
    double volume_from, volume_to;
    double base;
    seq::NoiseColour noise = seq::NoiseColour::Off;
    double noise_level = 0.0;   // percent, as NOISE set it
    seq::ListenMode mode = seq::ListenMode::Binaural;
    // The level of the noise heard: 0 while it is OFF.
    double noise_heard() const { return noise == seq::NoiseColour::Off ? 0.0 : noise_level; }
};

struct Options {
    std::size_t max_diagnostics = 100;   // kept; the rest are only counted
    std::size_t max_steps = 4096;        // kept for the plot
    // A sequence is a few hundred lines: far more is no sequence.
    std::int64_t max_lines = 10'000'000;
    std::int64_t max_bytes = std::int64_t{1} << 30;
    // Warnings after which a file that is not text is given up.
    std::size_t binary_warnings = 20;
    // Sees every timed step as it is found (the timeline).
    std::function<void(const Step&)> on_step;
    // Whether BACKGROUND files are opened (to tell those that cannot play):
    // not for a length alone. Their paths resolve against the sequence's
    // directory ("" for the working directory) and the home directory.
    bool open_background_files = false;
    std::string directory, home;
    // Sees every BACKGROUND line that sets a file that opens, or OFF, with
    // the second it starts at: "BACKGROUND 50 rain.flac: FLAC, 48000 Hz, ...".
    std::function<void(std::int64_t start, const std::string& text)> on_background;
};

struct Report {
    std::vector<Diagnostic> diagnostics;   // the first max_diagnostics, by line
    std::size_t warnings = 0;               // all of them
    std::size_t errors = 0;                 // of the diagnostics, all those that are errors
    std::vector<Step> steps;
    std::int64_t renderer_seconds = 0;
    std::int64_t player_seconds = 0;
    double beat_min = 0.0, beat_max = 0.0;       // the programs' defaults until a step
    double volume_min = 0.0, volume_max = 0.0;   // as the renderer plays it
    double noise_max = 0.0;    // the loudest noise level heard in a step
    bool not_text = false;     // given up: many NUL or control bytes
    bool too_large = false;    // refused: more than max_lines or max_bytes
    bool too_many_lines = false;   // of the two, the lines
    int read_error = 0;        // errno of a failed read, or 0
    // The checking ran to the end (the lengths above are the whole file's).
    bool complete() const { return !not_text && !too_large && read_error == 0; }
};

Report check_sequence(std::FILE* in, const Options& options = {});

// The player's length of a sequence in seconds, as the report above gives
// it (about: PAUSE and empty lines count one), or -1 when the file cannot
// be checked to its end. Reads in from where it stands.
std::int64_t player_seconds(std::FILE* in);

// The largest whole volume at which the renderer's default (exact) mode
// keeps every sample of n partials, with noise at the given level (percent,
// 0 for none), inside the 16-bit range.
int wrap_free_volume(int harmonics, double noise = 0.0);

// The largest whole noise level that keeps n partials at volume v inside
// the range, or -1 when the tone alone wraps there.
int wrap_free_noise(int harmonics, double volume);

// Whether the exact mode wraps some sample of n partials at volume v, with
// noise at the given level.
bool exact_mode_wraps(int harmonics, double volume, double noise = 0.0);

// The timeline as an SVG picture: beat, volume and noise level against time.
std::string plot_svg(const Report& report, const std::string& title);

}  // namespace check
