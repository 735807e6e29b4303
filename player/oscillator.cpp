#include "oscillator.h"

#include <cmath>
#include <new>

#include "phase.h"

namespace {

constexpr double power_of_two[phase_count] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

// x / 2^k truncating toward zero, as the division does (-127 / 2 = -63),
// without a division: a negative x is moved up by 2^k - 1 before the shift.
inline std::int32_t divide_truncating(std::int32_t x, int k) {
    return (x + ((x >> 31) & ((std::int32_t{1} << k) - 1))) >> k;
}

template <class Entry>
std::int32_t sum_partials(const Entry* table, const double* bank, int count) {
    if (count > phase_count) count = phase_count;
    std::int32_t sum = 0;
    for (int k = 0; k < count; ++k) sum += divide_truncating(table[static_cast<int>(bank[k])], k);
    return sum;
}

// Never released: the audio thread may still read a table while exit()
// runs. Built again (by a new audio thread, in tests) into the same place.
template <class Entry>
const Entry* keep(std::vector<Entry> (*make)(unsigned), unsigned n) {
    static std::vector<Entry>* storage = nullptr;
    try {
        if (storage)
            *storage = make(n);
        else
            storage = new std::vector<Entry>(make(n));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return storage->data();
}

inline int partials(int harmonics) { return harmonics < 0 ? 0 : (harmonics > phase_count ? phase_count : harmonics); }

// The settings that glide rather than jump.
bool same_sound(const Settings& a, const Settings& b) {
    return a.harmonics == b.harmonics && a.mode == b.mode && a.colour == b.colour && a.noise_level == b.noise_level;
}

void copy_sound(const Settings& s, sound::Listening& listening) {
    listening.mode = s.mode;
    listening.colour = s.colour;
    listening.level = s.noise_level;
}

}  // namespace

std::vector<std::int32_t> make_sine_table(unsigned n) {
    std::size_t size = 2 * static_cast<std::size_t>(n);
    if (size < 11025) size = 11025;
    std::vector<std::int32_t> table(size, 0);
    const double step = 6.283185307179586 / n;
    double angle = 0.0;
    for (unsigned i = 0; i < n; ++i) {
        table[i] = static_cast<std::int32_t>(std::floor(std::sin(angle) * 127.0));
        angle = angle + step;
    }
    return table;
}

std::vector<std::int16_t> make_hq_table(unsigned n) {
    std::vector<std::int16_t> table(n ? n : 1, 0);
    const double step = 6.283185307179586 / n;
    for (unsigned i = 1; 2 * i < n; ++i) {
        auto v = static_cast<std::int16_t>(std::lround(std::sin(step * i) * hq_amplitude));
        table[i] = v;
        table[n - i] = static_cast<std::int16_t>(-v);
    }
    return table;
}

const std::int32_t* build_sine_table(unsigned n) { return keep(make_sine_table, n); }
const std::int16_t* build_hq_table(unsigned n) { return keep(make_hq_table, n); }

std::int32_t partial_sum(const std::int32_t* table, const double* bank, int count) {
    return sum_partials(table, bank, count);
}

std::int32_t partial_sum(const std::int16_t* table, const double* bank, int count) {
    return sum_partials(table, bank, count);
}

std::int32_t default_sample(std::int32_t half, double volume) {
    // Widened: with noise the half sum may lie anywhere in its range.
    auto value = static_cast<std::int64_t>(half) + 128;
    double v = std::floor(volume * static_cast<double>(value) / 100.0);
    // The sliders keep the volume in 0..100; anything else is clamped.
    if (!(v >= 0.0)) return 0;
    if (v > 255.0) return 255;
    return static_cast<std::int32_t>(v);
}

std::int16_t hq_level(double half, double volume) {
    double v = std::floor(half * volume / 100.0);
    // The sliders keep the volume in 0..100; anything else is clamped.
    if (!(v == v)) return 0;
    if (v < -32768.0) return -32768;
    if (v > 32767.0) return 32767;
    return static_cast<std::int16_t>(v);
}

void PhaseStepper::advance(double* bank, int count, double base, double offset) {
    if (count > phase_count) count = phase_count;
    if (!known_ || !(base == base_) || !(offset == offset_)) {
        for (int k = 0; k < phase_count; ++k) {
            double step = power_of_two[k] * base + offset;
            step_[k] = reduce_ ? sound::wrap_phase(step, modulus_) : step;
        }
        base_ = base;
        offset_ = offset;
        known_ = true;
    }
    for (int k = 0; k < count; ++k) bank[k] = sound::wrap_phase(step_[k] + bank[k], modulus_);
}

Oscillator::Oscillator(StreamFormat format, const std::int32_t* table, const std::int16_t* hq_table)
    : format_(format),
      table_(format.hq ? nullptr : table),
      hq_table_(format.hq ? hq_table : nullptr),
      left_step_(format.modulus(), format.hq),
      right_step_(format.modulus(), format.hq),
      ramp_(format.glide_frames()),
      glide_length_(format.glide_frames()) {
    copy_sound(playing_, listening_);
}

void Oscillator::load(const Settings& settings) {
    wanted_ = settings;
    // The first settings are taken as they are, as the first volume is.
    if (!loaded_) {
        loaded_ = true;
        playing_ = wanted_;
        copy_sound(playing_, listening_);
    } else if (!gliding_ && !same_sound(wanted_, playing_)) {
        start_glide();
    }
}

void Oscillator::start_glide() {
    if (glide_length_ > 1) {
        fading_ = playing_;
        fading_listening_ = listening_;   // its generators run on from here
        glide_done_ = 0;
        gliding_ = true;
    }
    playing_ = wanted_;
    copy_sound(playing_, listening_);
}

std::int32_t Oscillator::sum(const double* bank, int count) const {
    if (hq_table_) return partial_sum(hq_table_, bank, count);
    if (table_) return partial_sum(table_, bank, count);
    return 0;
}

void Oscillator::sums(std::int32_t& left, std::int32_t& right) {
    int n = partials(playing_.harmonics);
    int moving = gliding_ && partials(fading_.harmonics) > n ? partials(fading_.harmonics) : n;
    left_step_.advance(left_bank_, moving, wanted_.base, 0.0);
    right_step_.advance(right_bank_, moving, wanted_.base, wanted_.beat);
    left = sum(left_bank_, n);
    right = sum(right_bank_, n);
}

// Mode and noise on one frame's half sums. Phases count `modulus` to the
// second in either stream, and so does the pulse.
void Oscillator::shape(sound::Listening& listening, std::int32_t& left, std::int32_t& right) {
    if (!listening.plain()) listening.shape(left, right, wanted_.beat, format_.modulus(), format_.full_scale());
}

void Oscillator::frame(std::int32_t& left, std::int32_t& right) {
    std::int32_t l, r;
    sums(l, r);
    double volume = ramp_.next(wanted_.volume);
    std::int32_t half_left = l / 2, half_right = r / 2;
    shape(listening_, half_left, half_right);
    double mixed_left = half_left, mixed_right = half_right;
    if (gliding_) {
        // Both settings' signed sums, crossfaded linearly over the glide.
        int n = partials(fading_.harmonics);
        std::int32_t old_left = sum(left_bank_, n) / 2, old_right = sum(right_bank_, n) / 2;
        shape(fading_listening_, old_left, old_right);
        double g = static_cast<double>(++glide_done_) / glide_length_;
        mixed_left = old_left + (mixed_left - old_left) * g;
        mixed_right = old_right + (mixed_right - old_right) * g;
        if (glide_done_ == glide_length_) {
            gliding_ = false;
            // A change that came during the glide glides next.
            if (!same_sound(wanted_, playing_)) start_glide();
        }
    }
    if (format_.hq) {
        left = hq_level(mixed_left, volume);
        right = hq_level(mixed_right, volume);
    } else {
        left = default_sample(half_left, volume);
        right = default_sample(half_right, volume);
    }
}
