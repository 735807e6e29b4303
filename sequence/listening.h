// The words of NOISE and MODE lines: noise colours, listening modes and
// what a line sets. The sound they make lives in sound/shaping.h.
#pragma once

#include <string_view>

#include "sequence.h"

namespace seq {

enum class NoiseColour { Off, White, Pink, Brown };
enum class ListenMode { Binaural, Monaural, Isochronic };

// The names of NOISE and MODE lines, compared exactly like command words.
bool noise_colour_for(std::string_view word, NoiseColour& colour);
bool listen_mode_for(std::string_view word, ListenMode& mode);
const char* noise_colour_name(NoiseColour colour);
const char* listen_mode_name(ListenMode mode);

// What a NOISE or MODE line sets, the same in both programs: nothing when
// its name is unknown; NOISE's level is limited to 0..100, and OFF needs none.
bool read_noise(const Line& line, NoiseColour& colour, double& level);
bool read_mode(const Line& line, ListenMode& mode);

// A noise level as NOISE gives it: percent, limited to 0..100; anything
// that is not a number is 0.
double noise_level(double percent);

}  // namespace seq
