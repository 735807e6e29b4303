#include "colorbox.h"

#include <cmath>

#include "state.h"

double phase_distance(double left, double right, double offset, double modulus) {
    double shifted = std::fmod(offset * modulus + (left + modulus), modulus);
    double direct = std::fabs(shifted - right);
    double around = std::fmin(shifted, right) + modulus - std::fmax(shifted, right);
    return std::fmin(direct, around) / modulus;
}

double phase_distance(double left, double right, double offset) {
    return phase_distance(left, right, offset, player.phase_modulus.load(relaxed));
}

double shown_distance(double offset) {
    return phase_distance(player.shown_left_phase.load(relaxed), player.shown_right_phase.load(relaxed), offset);
}

namespace {

// floor(v) as a 32-bit integer, cut to its low 16 bits.
std::uint16_t low_bits(double v) {
    v = std::floor(v);
    if (!(v > -2147483648.0 && v < 2147483648.0)) return 0;
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
}

}  // namespace

Rgb color_for_distance(double distance) {
    double x = 2 * distance;
    return {low_bits(x * 65535), low_bits((1 - x) * 65535), 0};
}
