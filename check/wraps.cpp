#include "wraps.h"

#include <algorithm>
#include <cmath>

#include "checker.h"
#include "listening.h"
#include "synth.h"
#include "text.h"
#include "tone.h"

namespace check {

namespace {

// The largest sum of n weighted partials: S_n = sum of 32768 / (k + 1), by
// the renderer's own weight. A test holds it to highest_unwrapped_volume.
std::int32_t partial_sum(int harmonics) {
    std::int32_t s = 0;
    for (int k = 0; k < harmonics && k < render::max_partials; ++k) s += render::weigh(32768, k);
    return s;
}

// The largest noise value the shared noise adds to a signed sum: at full
// level it reaches the tone's full scale (white does, pink and brown are
// clipped there).
std::int32_t noise_peak(double level) {
    constexpr double full_scale = 32767.0;   // as the renderer's frames are shaped
    return static_cast<std::int32_t>(std::trunc(seq::noise_level(level) / 100.0 * full_scale));
}

}  // namespace

bool exact_mode_wraps(int harmonics, double volume, double noise) {
    if (!std::isfinite(volume)) return false;
    // Both programs add the noise to the signed sum before the midpoint.
    // The listening modes never make the tone's peak larger than S_n/2, so
    // the renderer's sample of the extremes decides.
    std::int32_t reach = partial_sum(harmonics) / 2 + noise_peak(noise);
    std::int32_t high = render::exact_sample(reach, volume), low = render::exact_sample(-reach, volume);
    return std::max(high, low) > 32767 || std::min(high, low) < -32768;
}

std::string wrap_message(double volume, int harmonics, double noise, Blame blame) {
    std::string partials = std::to_string(harmonics) + (harmonics == 1 ? " partial" : " partials");
    std::string with = partials + (noise > 0 ? " and noise at " + number_text(noise) : "");
    std::string limit = " past the 16-bit range in the renderer's default mode (at most " +
                        (blame == Blame::Noise ? "noise " + std::to_string(wrap_free_noise(harmonics, volume)) +
                                                     " at volume " + number_text(volume)
                                               : std::to_string(wrap_free_volume(harmonics, noise)) + " with " + with) +
                        "): ambrise-render --clean renders it cleanly";
    switch (blame) {
        case Blame::Fade:
            return "the fade reaches volume " + number_text(volume) + ", where " + with +
                   (harmonics == 1 && noise <= 0 ? " wraps" : " wrap") + limit;
        case Blame::Noise:
            return "noise at " + number_text(noise) + " with " + partials + " at volume " + number_text(volume) +
                   " wraps" + limit;
        case Blame::Volume:
            break;
    }
    return "volume " + number_text(volume) + " with " + with + " wraps" + limit;
}

int wrap_free_volume(int harmonics, double noise) {
    int v = 100;
    while (v > 0 && exact_mode_wraps(harmonics, v, noise)) --v;
    return v;
}

int wrap_free_noise(int harmonics, double volume) {
    if (exact_mode_wraps(harmonics, volume)) return -1;
    int n = 100;
    while (n > 0 && exact_mode_wraps(harmonics, volume, n)) --n;
    return n;
}

}  // namespace check
