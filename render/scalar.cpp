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
// each half sum before the sample rule. After a change in the clean mode,
// the old settings' halves are shaped beside the new ones, by a copy of the
// listening state whose generators run alongside, and the two crossfaded.
template <class Mode>
void shaped(RenderState& s, unsigned char* out, double base, double beat) {
    const int n = clamp_partials(s.harmonics);
    const double volume = s.volume;
    const bool after = !Mode::wraps && s.rendered;
    const double from = after ? s.rendered_volume : volume;
    const int n_from = after ? s.rendered_harmonics : n;
    sound::Listening old = s.listening;
    if (after) {
        old.mode = s.rendered_mode;
        old.colour = s.rendered_colour;
        old.level = s.rendered_level;
    }
    const bool fades = n_from != n || old.mode != s.listening.mode || old.colour != s.listening.colour ||
                       !(old.level == s.listening.level);
    const int stepped = n > n_from ? n : n_from;
    PhaseStep left[max_partials], right[max_partials];
    for (int k = 0; k < stepped; ++k) {
        left[k] = PhaseStep(partial_step(k, base, 0.0));
        right[k] = PhaseStep(partial_step(k, base, beat));
    }
    std::int64_t wraps = 0;
    for (int f = 0; f < frames_per_block; ++f) {
        for (int k = 0; k < stepped; ++k) {
            s.left_phase[k] = left[k](s.left_phase[k]);
            s.right_phase[k] = right[k](s.right_phase[k]);
        }
        std::int32_t half_left = frame_half(s.left_phase, n), half_right = frame_half(s.right_phase, n);
        s.listening.shape(half_left, half_right, beat, modulus, 32767);
        const double gain = from != volume ? glide_gain(from, volume, f) : volume;
        std::int32_t l, r;
        if (fades) {
            std::int32_t was_left = frame_half(s.left_phase, n_from), was_right = frame_half(s.right_phase, n_from);
            old.shape(was_left, was_right, beat, modulus, 32767);
            l = clean_level(crossfade(was_left, half_left, f), gain);
            r = clean_level(crossfade(was_right, half_right, f), gain);
        } else {
            l = sample<Mode>(half_left, gain);
            r = sample<Mode>(half_right, gain);
        }
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

void shaped_block(RenderState& s, unsigned char* out, double base, double beat) {
    if (s.mode == SampleMode::clean)
        shaped<Clean>(s, out, base, beat);
    else
        shaped<Exact>(s, out, base, beat);
}

}  // namespace render
