// ambrise-check's core: reads a sequence exactly as both programs do and
// reports what would make it play otherwise than its author meant.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace check {

struct Diagnostic {
    long line;       // physical line, from 1
    long column;     // from 1
    std::string message;
};

// One timed step as the renderer runs it.
struct Step {
    std::int64_t start;   // seconds from the start of the render
    std::int64_t length;
    std::string command;  // "HOLD 300", "SLIDE 8 600", "FADE 0 20"
    double beat_from, beat_to;
    double volume_from, volume_to;
    double base;
};

struct Report {
    std::vector<Diagnostic> diagnostics;
    std::vector<Step> steps;
    std::int64_t renderer_seconds = 0;
    std::int64_t player_seconds = 0;
    double beat_min = 10.0, beat_max = 10.0;
};

Report check_sequence(std::FILE* in);

// The timeline as an SVG picture: beat and volume against time.
std::string plot_svg(const Report& report, const std::string& title);

}  // namespace check
