// Where the renderer's default (exact) mode wraps, and what a warning about
// it says.
#pragma once

#include <string>

namespace check {

// What a wrap warning blames: a line that set the volume or the partial
// count, a fade, or a NOISE line.
enum class Blame { Volume, Fade, Noise };

std::string wrap_message(double volume, int harmonics, double noise, Blame blame);

}  // namespace check
