#include "synth.h"

#include <cmath>
#include <cstring>

#include "phase.h"

namespace render {

namespace {

constexpr double modulus = 44100.0;

// 2^k for every partial: exact doubles.
constexpr double power_of_two[max_partials] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

std::int32_t table[table_size];
bool table_built = false;

inline double wrap_phase(double x) { return seq::wrap_phase(x, modulus); }

// floor(v) as a 32-bit integer, clamped to its range; NaN gives 0.
inline std::int32_t floor_to_int32(double v) {
    if (v > -2147483648.0 && v < 2147483647.0) {
        // Truncation, one lower for negative fractions: floor, exactly.
        auto i = static_cast<std::int64_t>(v);
        return static_cast<std::int32_t>(static_cast<double>(i) > v ? i - 1 : i);
    }
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

// level() for every sum a block can reach, for one volume and partial
// count. A hold renders thousands of blocks at one volume, and a lookup is
// far cheaper than the division; a fade changes the volume every block, so
// the table is filled only once a volume has been seen twice in a row.
class LevelCache {
public:
    // The table for this volume and count, or null when not worth it yet.
    const std::uint16_t* lookup(double volume, int n) {
        bool same = std::memcmp(&volume, &last_volume_, sizeof volume) == 0 && n == last_n_;
        last_volume_ = volume;
        last_n_ = n;
        if (!same) {
            valid_ = false;
            return nullptr;
        }
        if (!valid_) {
            bound_ = bound_for(n);
            for (std::int32_t sum = -bound_; sum <= bound_; ++sum) levels_[sum + bound_] = static_cast<std::uint16_t>(level(sum, volume));
            valid_ = true;
        }
        return levels_ + bound_;
    }

private:
    // The largest sum magnitude of n partials: sum of 32768 / (k+1).
    static std::int32_t bound_for(int n) {
        std::int32_t b = 0;
        for (int k = 0; k < n; ++k) b += 32768 / (k + 1);
        return b;
    }
    static constexpr std::int32_t max_bound = 32768 + 16384 + 10922 + 8192 + 6553 + 5461 + 4681 + 4096 + 3640 + 3276;
    std::uint16_t levels_[2 * max_bound + 1] = {};   // only the low 16 bits are written
    std::int32_t bound_ = 0;
    double last_volume_ = -1.0;
    int last_n_ = -1;
    bool valid_ = false;
};

LevelCache level_cache;

inline void store(unsigned char* p, std::uint32_t l, std::uint32_t r) {
    // Little-endian words, left then right.
    std::uint32_t frame = (l & 0xffff) | (r << 16);
    unsigned char bytes[4] = {static_cast<unsigned char>(frame), static_cast<unsigned char>(frame >> 8),
                              static_cast<unsigned char>(frame >> 16), static_cast<unsigned char>(frame >> 24)};
    std::memcpy(p, bytes, 4);
}

// One block with N partials; N is a constant so that the weights divide by
// constants.
template <int N>
void render_block(RenderState& s, unsigned char* out, double base, double beat) {
    // Locals, so that the byte stores cannot be taken to alias the phases.
    double step_left[N], step_right[N], left[N], right[N];
    for (int k = 0; k < N; ++k) {
        step_left[k] = power_of_two[k] * base + 0.0;
        step_right[k] = power_of_two[k] * base + beat;
        left[k] = s.left_phase[k];
        right[k] = s.right_phase[k];
    }
    const double volume = s.volume;
    const std::uint16_t* levels = level_cache.lookup(volume, N);
    for (int f = 0; f < frames_per_block; ++f) {
        std::int32_t sum_left = 0, sum_right = 0;
        // Unrolled, so that each weight divides by a constant.
#pragma GCC unroll 10
        for (int k = 0; k < N; ++k) {
            left[k] = wrap_phase(step_left[k] + left[k]);
            sum_left += table[static_cast<int>(left[k])] / (k + 1);
            right[k] = wrap_phase(step_right[k] + right[k]);
            sum_right += table[static_cast<int>(right[k])] / (k + 1);
        }
        if (levels)
            store(out + f * bytes_per_frame, levels[sum_left], levels[sum_right]);
        else
            store(out + f * bytes_per_frame, static_cast<std::uint32_t>(level(sum_left, volume)),
                  static_cast<std::uint32_t>(level(sum_right, volume)));
    }
    for (int k = 0; k < N; ++k) {
        s.left_phase[k] = left[k];
        s.right_phase[k] = right[k];
    }
}

void render_silent_block(const RenderState& s, unsigned char* out) {
    auto v = static_cast<std::uint32_t>(floor_to_int32(s.volume * 32768.0 / 100.0));
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
