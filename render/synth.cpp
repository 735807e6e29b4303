#include "synth.h"

#include <cmath>

namespace render {

namespace {

constexpr double modulus = 44100.0;

// 2^k for every partial: exact doubles.
constexpr double power_of_two[max_partials] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

std::int32_t table[table_size];
bool table_built = false;

// fmod(x, 44100) for a phase sum, with the result wrapped into [0, 44100).
// Sums below twice the modulus are reduced by one exact subtraction, which
// is what fmod computes for them.
inline double wrap_phase(double x) {
    if (x >= 0.0 && x < 2.0 * modulus) return x >= modulus ? x - modulus : x;
    double r = std::fmod(x, modulus);
    if (r < 0.0) {
        r += modulus;
        if (r >= modulus) r = 0.0;
    }
    // An infinite or undefined frequency leaves the partial at rest.
    if (!(r >= 0.0 && r < modulus)) r = 0.0;
    return r;
}

// floor(v) as a 32-bit integer, clamped to its range; NaN gives 0.
inline std::int32_t floor_to_int32(double v) {
    v = std::floor(v);
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    if (v != v) return 0;
    return static_cast<std::int32_t>(v);
}

inline std::int32_t level(std::int32_t sum, double volume) {
    std::int32_t half = sum / 2;
    return floor_to_int32(static_cast<double>(half + 32768) * volume / 100.0);
}

inline void store(unsigned char* p, std::int32_t left, std::int32_t right) {
    auto l = static_cast<std::uint32_t>(left), r = static_cast<std::uint32_t>(right);
    p[0] = static_cast<unsigned char>(l);
    p[1] = static_cast<unsigned char>(l >> 8);
    p[2] = static_cast<unsigned char>(r);
    p[3] = static_cast<unsigned char>(r >> 8);
}

// One block with N partials; N is a constant so that the weights divide by
// constants.
template <int N>
void render_block(RenderState& s, unsigned char* out, double base, double beat) {
    double step_left[N], step_right[N];
    for (int k = 0; k < N; ++k) {
        step_left[k] = power_of_two[k] * base + 0.0;
        step_right[k] = power_of_two[k] * base + beat;
    }
    const double volume = s.volume;
    for (int f = 0; f < frames_per_block; ++f) {
        std::int32_t sum_left = 0, sum_right = 0;
        for (int k = 0; k < N; ++k) {
            double l = wrap_phase(step_left[k] + s.left_phase[k]);
            s.left_phase[k] = l;
            sum_left += table[static_cast<int>(l)] / (k + 1);
        }
        for (int k = 0; k < N; ++k) {
            double r = wrap_phase(step_right[k] + s.right_phase[k]);
            s.right_phase[k] = r;
            sum_right += table[static_cast<int>(r)] / (k + 1);
        }
        store(out + f * bytes_per_frame, level(sum_left, volume), level(sum_right, volume));
    }
}

void render_silent_block(const RenderState& s, unsigned char* out) {
    std::int32_t v = floor_to_int32(s.volume * 32768.0 / 100.0);
    for (int f = 0; f < frames_per_block; ++f) store(out + f * bytes_per_frame, v, v);
}

}  // namespace

const std::int32_t* sine_table() { return table; }

void build_sine_table() {
    if (table_built) return;
    double angle = 0.0;
    const double step = 2.0 * M_PI / 44100.0;
    for (int i = 0; i < table_size; ++i) {
        table[i] = static_cast<std::int32_t>(std::floor(std::sin(angle) * 32768.0));
        angle += step;
    }
    table_built = true;
}

void advance_phases(PhaseBank& bank, int n, double base, double offset) {
    if (n > max_partials) n = max_partials;
    for (int k = 0; k < n; ++k) bank[k] = wrap_phase((power_of_two[k] * base + offset) + bank[k]);
}

std::int32_t mix_channel(const PhaseBank& bank, int n, double volume) {
    if (n <= 0) return floor_to_int32(volume * 32768.0 / 100.0);
    if (n > max_partials) n = max_partials;
    std::int32_t sum = 0;
    for (int k = 0; k < n; ++k) sum += table[static_cast<int>(bank[k])] / (k + 1);
    return level(sum, volume);
}

void render_blocks(RenderState& s, std::int64_t count, Writer& out, double base, double beat) {
    constexpr std::size_t block_bytes = frames_per_block * bytes_per_frame;
    for (std::int64_t b = 0; b < count && !out.failed(); ++b) {
        unsigned char* p = out.room(block_bytes);
        switch (s.harmonics) {
            case 1: render_block<1>(s, p, base, beat); break;
            case 2: render_block<2>(s, p, base, beat); break;
            case 3: render_block<3>(s, p, base, beat); break;
            case 4: render_block<4>(s, p, base, beat); break;
            case 5: render_block<5>(s, p, base, beat); break;
            case 6: render_block<6>(s, p, base, beat); break;
            case 7: render_block<7>(s, p, base, beat); break;
            case 8: render_block<8>(s, p, base, beat); break;
            case 9: render_block<9>(s, p, base, beat); break;
            default:
                if (s.harmonics <= 0)
                    render_silent_block(s, p);
                else
                    render_block<10>(s, p, base, beat);
                break;
        }
        out.commit(block_bytes);
    }
}

}  // namespace render
