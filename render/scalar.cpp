#include "scalar.h"

namespace render {

namespace {

template <class Mode>
void silent(RenderState& s, unsigned char* out) {
    std::int32_t v = sample<Mode>(half_of(0), s.volume);
    for (int f = 0; f < frames_per_block; ++f)
        store_frame(out + f * bytes_per_frame, static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v));
    if (Mode::wraps && outside_word(v)) {
        s.wraps.total += 2 * frames_per_block;
        s.wraps.by_partials[0] += 2 * frames_per_block;
    }
}

// The frame as the reference rules give it, the mode and noise applied to
// each half sum before the sample rule.
template <class Mode>
void shaped(RenderState& s, unsigned char* out, double base, double beat, double from) {
    const int n = clamp_partials(s.harmonics);
    const double volume = s.volume;
    const bool glides = !Mode::wraps && from != volume;
    PhaseStep left[max_partials], right[max_partials];
    for (int k = 0; k < n; ++k) {
        left[k] = PhaseStep(partial_step(k, base, 0.0));
        right[k] = PhaseStep(partial_step(k, base, beat));
    }
    std::int64_t wraps = 0;
    for (int f = 0; f < frames_per_block; ++f) {
        for (int k = 0; k < n; ++k) {
            s.left_phase[k] = left[k](s.left_phase[k]);
            s.right_phase[k] = right[k](s.right_phase[k]);
        }
        std::int32_t half_left = frame_half(s.left_phase, n), half_right = frame_half(s.right_phase, n);
        s.listening.shape(half_left, half_right, beat, modulus, 32767);
        const double gain = glides ? glide_gain(from, volume, f) : volume;
        std::int32_t l = sample<Mode>(half_left, gain);
        std::int32_t r = sample<Mode>(half_right, gain);
        store_frame(out + f * bytes_per_frame, static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(r));
        if constexpr (Mode::wraps) wraps += outside_word(l) + outside_word(r);
    }
    if (wraps) {
        s.wraps.total += wraps;
        s.wraps.by_partials[n] += wraps;
        if (s.listening.colour != seq::NoiseColour::Off && s.listening.level > 0.0) s.wraps.with_noise += wraps;
    }
}

}  // namespace

void silent_block(RenderState& s, unsigned char* out) {
    if (s.mode == SampleMode::clean)
        silent<Clean>(s, out);
    else
        silent<Exact>(s, out);
}

void shaped_block(RenderState& s, unsigned char* out, double base, double beat, double from) {
    if (s.mode == SampleMode::clean)
        shaped<Clean>(s, out, base, beat, from);
    else
        shaped<Exact>(s, out, base, beat, from);
}

}  // namespace render
