// The color box's arithmetic: the distance between the two fundamentals'
// phases, and the colour it shows, green in phase and red half a cycle off.
#pragma once

#include <cstdint>

// Distance in cycles, 0 to 0.5, after shifting the left phase by the
// offset (in cycles, -0.5 to 0.5), for phases that count `modulus` units
// to the cycle.
double phase_distance(double left, double right, double offset, double modulus);
// The same with the modulus the audio thread plays with: 11025, or the
// granted rate in the high-quality stream.
double phase_distance(double left, double right, double offset);
// The distance of the phases the audio thread published last.
double shown_distance(double offset);

struct Rgb {
    std::uint16_t red, green, blue;
};
Rgb color_for_distance(double distance);
