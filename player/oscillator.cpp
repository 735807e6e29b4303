#include "oscillator.h"

#include <cmath>
#include <new>

#include "phase.h"
#include "state.h"

namespace {

constexpr double power_of_two[phase_count] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

// Never released: the audio thread may still read it while exit() runs.
std::vector<std::int32_t>* table_storage = nullptr;

inline double wrap_phase(double x) { return seq::wrap_phase(x, phase_modulus); }

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

void advance_phases(Phase* bank, int count, double base, double offset) {
    if (count > phase_count) count = phase_count;
    for (int k = 0; k < count; ++k) {
        double p = bank[k].load(relaxed);
        bank[k].store(wrap_phase((power_of_two[k] * base + offset) + p), relaxed);
    }
}

std::int32_t mix_channel(const std::int32_t* table, const Phase* bank, int count, double volume) {
    std::int32_t value = 128;
    if (count > 0) {
        if (count > phase_count) count = phase_count;
        std::int32_t sum = 0;
        for (int k = 0; k < count; ++k) {
            auto index = static_cast<int>(bank[k].load(relaxed));
            sum += table[index] / (1 << k);
        }
        value = sum / 2 + 128;
    }
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
    left = static_cast<unsigned char>(mix_channel(table, player.left_phase, n, player.volume.load(relaxed)));
    right = static_cast<unsigned char>(mix_channel(table, player.right_phase, n, player.volume.load(relaxed)));
}
