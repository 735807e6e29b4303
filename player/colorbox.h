// The color box's arithmetic: the distance between the two fundamentals'
// phases, and the colour it shows, green in phase and red half a cycle off.
#pragma once

#include <cstdint>

// Distance in cycles, 0 to 0.5, after shifting the left phase by the
// offset (in cycles, -0.5 to 0.5). Phases count 11025 to the cycle.
double phase_distance(double left, double right, double offset);

struct Rgb {
    std::uint16_t red, green, blue;
};
Rgb color_for_distance(double distance);
