#include "oscillator.h"

#include <cmath>
#include <new>

#include "phase.h"
#include "state.h"

namespace {

constexpr double power_of_two[phase_count] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

// Never released: the audio thread may still read it while exit() runs.
std::vector<std::int32_t>* table_storage = nullptr;

inline double wrap_phase(double x) { return sound::wrap_phase(x, phase_modulus); }

// x / 2^k truncating toward zero, as the division does (-127 / 2 = -63),
// without a division: a negative x is moved up by 2^k - 1 before the shift.
inline std::int32_t divide_truncating(std::int32_t x, int k) {
    return (x + ((x >> 31) & ((std::int32_t{1} << k) - 1))) >> k;
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


bool build_sine_table(unsigned n) {
    try {
        if (table_storage)
            *table_storage = make_sine_table(n);
        else
            table_storage = new std::vector<std::int32_t>(make_sine_table(n));
    } catch (const std::bad_alloc&) {
        return false;
    }
    player.sine_table = table_storage->data();
    return true;
}

const std::int16_t* build_hq_table(unsigned n) {
    // Never released, like the default table.
    static std::vector<std::int16_t>* storage = nullptr;
    try {
        if (storage)
            *storage = make_hq_table(n);
        else
            storage = new std::vector<std::int16_t>(make_hq_table(n));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return storage->data();
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

void PhaseStepper::advance(Phase* bank, int count, double base, double offset) {
    if (count > phase_count) count = phase_count;
    if (!known_ || !(base == base_) || !(offset == offset_)) {
        for (int k = 0; k < phase_count; ++k) step_[k] = sound::wrap_phase(power_of_two[k] * base + offset, modulus_);
        base_ = base;
        offset_ = offset;
        known_ = true;
    }
    for (int k = 0; k < count; ++k) {
        double p = bank[k].load(relaxed);
        bank[k].store(sound::wrap_phase(step_[k] + p, modulus_), relaxed);
    }
}

std::int16_t hq_sample(std::int32_t sum, double volume) { return hq_level(sum / 2, volume); }

std::int16_t hq_level(std::int32_t half, double volume) {
    double v = std::floor(static_cast<double>(half) * volume / 100.0);
    // The sliders keep the volume in 0..100; anything else is clamped.
    if (!(v == v)) return 0;
    if (v < -32768.0) return -32768;
    if (v > 32767.0) return 32767;
    return static_cast<std::int16_t>(v);
}

void HqFrame::sums(std::int32_t& left, std::int32_t& right) {
    int n = player.harmonics.load(relaxed);
    left_.advance(player.left_phase, n, player.base_hz.load(relaxed), 0.0);
    right_.advance(player.right_phase, n, player.base_hz.load(relaxed), player.beat_hz.load(relaxed));
    if (!table_) n = 0;
    left = partial_sum(table_, player.left_phase, n);
    right = partial_sum(table_, player.right_phase, n);
}

void HqFrame::operator()(std::int16_t& left, std::int16_t& right) {
    std::int32_t l, r;
    sums(l, r);
    double volume = ramp_.next(heard_volume());
    load_listening(listening_);
    if (listening_.plain()) {
        left = hq_sample(l, volume);
        right = hq_sample(r, volume);
        return;
    }
    std::int32_t half_left = l / 2, half_right = r / 2;
    listening_.shape(half_left, half_right, player.beat_hz.load(relaxed), rate_, 32767);
    left = hq_level(half_left, volume);
    right = hq_level(half_right, volume);
}

void advance_phases(Phase* bank, int count, double base, double offset) {
    if (count > phase_count) count = phase_count;
    for (int k = 0; k < count; ++k) {
        double p = bank[k].load(relaxed);
        bank[k].store(wrap_phase((power_of_two[k] * base + offset) + p), relaxed);
    }
}

namespace {

template <class Entry>
std::int32_t sum_partials(const Entry* table, const Phase* bank, int count) {
    if (count > phase_count) count = phase_count;
    std::int32_t sum = 0;
    for (int k = 0; k < count; ++k) {
        auto index = static_cast<int>(bank[k].load(relaxed));
        sum += divide_truncating(table[index], k);
    }
    return sum;
}

}  // namespace

std::int32_t partial_sum(const std::int32_t* table, const Phase* bank, int count) {
    return sum_partials(table, bank, count);
}

std::int32_t partial_sum(const std::int16_t* table, const Phase* bank, int count) {
    return sum_partials(table, bank, count);
}

std::int32_t mix_channel(const std::int32_t* table, const Phase* bank, int count, double volume) {
    return default_sample(count > 0 ? partial_sum(table, bank, count) / 2 : 0, volume);
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

void compute_frame(const std::int32_t* table, unsigned char& left, unsigned char& right) {
    int n = player.harmonics.load(relaxed);
    advance_phases(player.left_phase, n, player.base_hz.load(relaxed), 0.0);
    advance_phases(player.right_phase, n, player.base_hz.load(relaxed), player.beat_hz.load(relaxed));
    if (!table) n = 0;
    left = static_cast<unsigned char>(mix_channel(table, player.left_phase, n, heard_volume()));
    right = static_cast<unsigned char>(mix_channel(table, player.right_phase, n, heard_volume()));
}

void load_listening(sound::Listening& listening) {
    int mode = player.listen_mode.load(relaxed);
    int colour = player.noise_colour.load(relaxed);
    listening.mode = mode >= 0 && mode <= static_cast<int>(seq::ListenMode::Isochronic) ? static_cast<seq::ListenMode>(mode)
                                                                                      : seq::ListenMode::Binaural;
    listening.colour = colour >= 0 && colour <= static_cast<int>(seq::NoiseColour::Brown)
                           ? static_cast<seq::NoiseColour>(colour)
                           : seq::NoiseColour::Off;
    listening.level = seq::noise_level(player.noise_level.load(relaxed));
}

void compute_frame(const std::int32_t* table, sound::Listening& listening, unsigned char& left, unsigned char& right) {
    load_listening(listening);
    if (listening.plain()) {
        compute_frame(table, left, right);
        return;
    }
    int n = player.harmonics.load(relaxed);
    double base = player.base_hz.load(relaxed), beat = player.beat_hz.load(relaxed);
    advance_phases(player.left_phase, n, base, 0.0);
    advance_phases(player.right_phase, n, base, beat);
    if (!table) n = 0;
    std::int32_t half_left = n > 0 ? partial_sum(table, player.left_phase, n) / 2 : 0;
    std::int32_t half_right = n > 0 ? partial_sum(table, player.right_phase, n) / 2 : 0;
    // Phases count 11025 to the second in this stream, and so does the pulse.
    listening.shape(half_left, half_right, beat, phase_modulus, 127);
    double volume = heard_volume();
    left = static_cast<unsigned char>(default_sample(half_left, volume));
    right = static_cast<unsigned char>(default_sample(half_right, volume));
}
