#include "synth.h"

#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define AMBRISE_VECTOR_PHASES 1
#endif
#include <thread>
#include <type_traits>
#include <utility>

#include "phase.h"
#include "prefault.h"
#include "quiet_thread.h"

namespace render {

namespace {

constexpr double modulus = 44100.0;

// 2^k for every partial: exact doubles.
constexpr double power_of_two[max_partials] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};

std::int32_t table[table_size];
bool table_built = false;
// Each partial's entries already divided by its weight, as the mix divides
// them; from the second partial on they fit 16 bits, which keeps the tables
// small. Row 0 stays unused: the first partial reads the table itself, whose
// peak entry is 32768 (the sine rounds to exactly 1 there).
std::int16_t weighted[max_partials][table_size];

inline double wrap_phase(double x) { return sound::wrap_phase(x, modulus); }

// Row k of the weighted tables; the weight a constant, so that the division
// is a multiplication.
template <int K>
void fill_row() {
    if constexpr (K > 0)
        for (int i = 0; i < table_size; ++i) weighted[K][i] = static_cast<std::int16_t>(table[i] / (K + 1));
}

template <int... K>
constexpr std::array<void (*)(), sizeof...(K)> row_fillers(std::integer_sequence<int, K...>) {
    return {fill_row<K>...};
}

// Rows are filled when a render first needs them: most sequences use
// three partials, and filling all ten took as long as the sine itself.
int rows_filled = 1;   // row 0 is the table itself

void fill_rows(int n) {
    if (!table_built || n <= rows_filled) return;
    if (n > max_partials) n = max_partials;
    static constexpr auto fillers = row_fillers(std::make_integer_sequence<int, max_partials>{});
    prefault(weighted[rows_filled], sizeof weighted[0] * static_cast<std::size_t>(n - rows_filled));
    for (int k = rows_filled; k < n; ++k) fillers[static_cast<std::size_t>(k)]();
    rows_filled = n;
}

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

// A frame's partials summed, halved toward zero: the signed value every
// mode starts from.
inline std::int32_t half_of(std::int32_t sum) { return sum / 2; }

// The exact mode: a 32768 midpoint, scaled by the volume; the caller keeps
// the low 16 bits, so values past the word's range wrap.
struct Exact {
    static constexpr bool wraps = true;
    static std::int32_t sample(std::int32_t half, double volume) {
        return floor_to_int32(static_cast<double>(half + 32768) * volume / 100.0);
    }
};

// The clean mode: no midpoint, saturated to the word's range.
struct Clean {
    static constexpr bool wraps = false;
    static std::int32_t sample(std::int32_t half, double volume) {
        std::int32_t v = floor_to_int32(static_cast<double>(half) * volume / 100.0);
        return v > 32767 ? 32767 : v < -32768 ? -32768 : v;
    }
};

inline bool outside_word(std::int32_t v) { return v < -32768 || v > 32767; }

// The largest sum magnitude of n partials: sum of 32768 / (k+1).
std::int32_t bound_for(int n) {
    std::int32_t b = 0;
    for (int k = 0; k < n; ++k) b += 32768 / (k + 1);
    return b;
}

// The sample for every sum a block can reach, for one mode, volume and
// partial count. A hold renders thousands of blocks at one volume, and a
// lookup is far cheaper than the division; a fade changes the volume every
// block, so the table is filled only once a volume has been seen twice in a
// row.
template <class Mode>
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
            // For a fixed volume the sample is monotonic in the sum, so the
            // sums whose sample fits the word form one interval.
            unwrapped_low_ = bound_ + 1;
            unwrapped_high_ = -bound_ - 1;
            for (std::int32_t sum = -bound_; sum <= bound_; ++sum) {
                std::int32_t v = Mode::sample(half_of(sum), volume);
                levels_[sum + bound_] = static_cast<std::uint16_t>(v);
                if (!outside_word(v)) {
                    if (sum < unwrapped_low_) unwrapped_low_ = sum;
                    unwrapped_high_ = sum;
                }
            }
            if (unwrapped_high_ < unwrapped_low_) unwrapped_low_ = unwrapped_high_ = bound_ + 1;   // all wrap
            valid_ = true;
        }
        return levels_ + bound_;
    }

    // 1 when this sum's sample (from the current table) wrapped.
    std::int64_t wrapped(std::int32_t sum) const {
        return static_cast<std::uint32_t>(sum - unwrapped_low_) >
               static_cast<std::uint32_t>(unwrapped_high_ - unwrapped_low_);
    }

private:
    static constexpr std::int32_t max_bound = 32768 + 16384 + 10922 + 8192 + 6553 + 5461 + 4681 + 4096 + 3640 + 3276;
    std::uint16_t levels_[2 * max_bound + 1] = {};   // only the low 16 bits are written
    std::int32_t bound_ = 0;
    std::int32_t unwrapped_low_ = 0, unwrapped_high_ = 0;
    // All zero, so that the caches take no room in the program file: no
    // lookup has a count of 0.
    double last_volume_ = 0.0;
    int last_n_ = 0;
    bool valid_ = false;
};

// One per channel, and one for the channel the second thread computes, so
// that no two threads share one.
template <class Mode>
LevelCache<Mode> level_caches[3];

inline void store(unsigned char* p, std::uint32_t l, std::uint32_t r) {
    // Little-endian words, left then right.
    std::uint32_t frame = (l & 0xffff) | (r << 16);
    unsigned char bytes[4] = {static_cast<unsigned char>(frame), static_cast<unsigned char>(frame >> 8),
                              static_cast<unsigned char>(frame >> 16), static_cast<unsigned char>(frame >> 24)};
    std::memcpy(p, bytes, 4);
}

// What a channel's block depends on besides its phases: equal keys and
// equal phases give the same samples, wraps and following phases.
struct ChannelKey {
    int n = 0;   // none: every block has a partial or more
    bool clean = false;
    double volume = 0, base = 0, offset = 0;
    bool operator==(const ChannelKey& o) const {
        return n == o.n && clean == o.clean && std::memcmp(&volume, &o.volume, sizeof volume) == 0 &&
               std::memcmp(&base, &o.base, sizeof base) == 0 && std::memcmp(&offset, &o.offset, sizeof offset) == 0;
    }
};

inline bool same_phases(const double* a, const double* b, int n) {
    return std::memcmp(a, b, sizeof(double) * static_cast<std::size_t>(n)) == 0;
}

// The last blocks of one channel, kept so that a channel whose phases come
// back bit for bit to where they were some blocks earlier repeats those
// blocks instead of computing them again. Whole-hertz steps bring every
// phase back within a second; a phase that comes back is the proof, so
// nothing is assumed about the steps.
class ChannelCycle {
public:
    static constexpr int max_blocks = blocks_per_second;

    // The recorded block that this state starts, or -1: then the caller
    // renders into buffer() and hands the result to recorded().
    int slot(const double* phase, const ChannelKey& key) {
        int n = key.n;
        if (!(key == key_)) {
            key_ = key;
            reset();
        }
        if (period_ > 0) {
            if (same_phases(phase, pos_ == 0 ? start_ : after_[pos_ - 1], n)) return pos_;
            reset();
        }
        if (recorded_ > 0 && !same_phases(phase, after_[recorded_ - 1], n)) reset();
        if (recorded_ > 0 && same_phases(phase, start_, n)) {
            period_ = recorded_;
            pos_ = 0;
            return 0;
        }
        if (recorded_ == max_blocks) reset();
        if (recorded_ == 0) std::memcpy(start_, phase, sizeof(double) * static_cast<std::size_t>(n));
        return -1;
    }
    std::uint16_t* buffer() { return samples_[recorded_]; }
    void recorded(const double* phase, std::int64_t wraps) {
        std::memcpy(after_[recorded_], phase, sizeof(double) * static_cast<std::size_t>(key_.n));
        wraps_[recorded_] = wraps;
        ++recorded_;
    }
    // Repeats recorded block i: its samples, wraps and following phases.
    const std::uint16_t* repeat(int i, double* phase, std::int64_t& wraps) {
        std::memcpy(phase, after_[i], sizeof(double) * static_cast<std::size_t>(key_.n));
        wraps = wraps_[i];
        pos_ = i + 1 == period_ ? 0 : i + 1;
        return samples_[i];
    }

private:
    void reset() { recorded_ = period_ = pos_ = 0; }

    ChannelKey key_;
    int recorded_ = 0, period_ = 0, pos_ = 0;
    double start_[max_partials] = {};
    double after_[max_blocks][max_partials] = {};
    std::int64_t wraps_[max_blocks] = {};
    std::uint16_t samples_[max_blocks][frames_per_block] = {};
};

ChannelCycle channel_cycles[3];   // the same three

// A phase after one step. Cycles 0 is the general rule for any step and
// phase. With every phase inside the cycle and every step of 0 or more and
// below Cycles cycles, the sum stays below Cycles + 1 cycles, where
// subtracting a cycle where the sum reached one (twice for steps up to two
// cycles) is exact and gives what the general rule gives, without its range
// checks and remainder.
template <int Cycles>
inline double step_phase(double step, double x) {
    if constexpr (Cycles == 0) {
        return wrap_phase(step + x);
    } else {
        double y = step + x;
        y = y >= modulus ? y - modulus : y;
        if constexpr (Cycles == 2) y = y >= modulus ? y - modulus : y;
        return y;
    }
}

// The fewest cycles the steps of this block need (1 or 2), or 0 for the
// general rule.
template <int N>
int cycles_needed(const double* phase, const double* step) {
    int cycles = 1;
    for (int k = 0; k < N; ++k) {
        if (!(phase[k] >= 0.0 && phase[k] < modulus && step[k] >= 0.0 && step[k] < 2.0 * modulus)) return 0;
        if (step[k] >= modulus) cycles = 2;
    }
    return cycles;
}

// One channel's block, partial by partial.
// Calls f with the phase step of cycles_needed's answer as a constant.
template <class F>
decltype(auto) by_cycles(int cycles, F f) {
    switch (cycles) {
        case 1: return f(std::integral_constant<int, 1>{});
        case 2: return f(std::integral_constant<int, 2>{});
        default: return f(std::integral_constant<int, 0>{});
    }
}

// A frame's 16-bit word for its partials' sum by the mode's formula; a
// wrapped sample is counted.
template <class Mode>
inline std::uint16_t formula_sample(std::int32_t sum, double volume, std::int64_t& wraps) {
    std::int32_t v = Mode::sample(half_of(sum), volume);
    if constexpr (Mode::wraps) wraps += outside_word(v);
    return static_cast<std::uint16_t>(v);
}

// The same from the level table when there is one.
template <class Mode>
inline std::uint16_t sample_of(std::int32_t sum, const std::uint16_t* levels, const LevelCache<Mode>& cache,
                               double volume, std::int64_t& wraps) {
    if (levels) {
        if constexpr (Mode::wraps) wraps += cache.wrapped(sum);
        return levels[sum];
    }
    return formula_sample<Mode>(sum, volume, wraps);
}

std::atomic<bool> vector_phases_allowed{true};
std::atomic<int> work_ahead_delay{0};   // microseconds, for tests

#if AMBRISE_VECTOR_PHASES
// A volume whose hundredth is exactly p / 2^k, with |p| at most 2^k, as 50
// (1/2), 75 (3/4) or 100 (1) are. For every sum a block can reach, x times
// such a volume is exact, and so is its quotient by 100, x * p / 2^k; the
// sample rule's floor is then the integer (x * p) >> k, which fits 32 bits
// (|x| < 2^17, k <= 14).
struct DyadicVolume {
    std::int32_t p = 0;
    int k = 0;
};

bool dyadic_volume(double volume, DyadicVolume& scale) {
    if (!(volume >= -100.0 && volume <= 100.0)) return false;
    for (int k = 0; k <= 14; ++k) {
        double t = std::ldexp(volume, k);   // exact
        if (t != std::floor(t)) continue;
        // The first whole t: doubling it twice more at most makes a
        // multiple of 100 if it is a multiple of 25.
        if (std::fmod(t, 25.0) != 0.0) return false;
        for (; k <= 14; ++k, t *= 2.0) {
            if (std::fmod(t, 100.0) == 0.0) {
                scale = {static_cast<std::int32_t>(t / 100.0), k};
                return true;
            }
        }
        return false;
    }
    return false;
}

// A frame's sum from its phases in V vectors, starting from start.
template <int Count, bool Fundamental, int V>
__attribute__((target("avx2"), always_inline)) inline std::int32_t frame_sum(const __m256d* phases,
                                                                           const std::int16_t* const* rows,
                                                                           std::int32_t start) {
    alignas(16) std::uint32_t index[V * 4];
    for (int v = 0; v < V; ++v)
        _mm_store_si128(reinterpret_cast<__m128i*>(index + 4 * v), _mm256_cvttpd_epi32(phases[v]));
    std::int32_t sum = start;
#pragma GCC unroll 10
    for (int k = 0; k < Count; ++k) sum += Fundamental && k == 0 ? table[index[k]] : rows[k][index[k]];
    return sum;
}

// Up to eight partials' phases stepped together in four-lane vectors: the
// same additions and the same subtraction of a cycle, lane by lane, so each
// phase takes exactly the values the scalar steps give it. A frame's steps
// no longer wait on one another, and only the rare pair of frames in which
// some phase passes the cycle takes a slower way. For phases inside the cycle and steps of
// 0 or more below one cycle only. Fills sums with each frame's sum of the
// partials from first on (plus extra's, with Extra).
template <int Count, bool Fundamental, bool Extra = false>
__attribute__((target("avx2"))) void vector_sums(double* phase, const double* step, int first, std::int32_t* sums,
                                                 const std::int32_t* extra = nullptr) {
    constexpr int V = (Count + 3) / 4;
    alignas(32) double lanes[V * 4] = {}, steps[V * 4] = {};
    for (int k = 0; k < Count; ++k) {
        lanes[k] = phase[k];
        steps[k] = step[k];
    }
    __m256d x[V], s[V];
    for (int v = 0; v < V; ++v) {
        x[v] = _mm256_load_pd(lanes + 4 * v);
        s[v] = _mm256_load_pd(steps + 4 * v);   // unused lanes step by 0 and stay at 0
    }
    const std::int16_t* rows[Count];
    for (int k = 0; k < Count; ++k) rows[k] = weighted[first + k];
    const __m256d cycle = _mm256_set1_pd(modulus);
    // Two frames at a time: steps are never negative, so a phase that
    // passed the cycle in the first frame is still past it after the
    // second, and one look at the second frame's phases finds both. The
    // rare pair where one did is stepped again frame by frame.
    static_assert(frames_per_block % 2 == 0);
    for (int f = 0; f < frames_per_block; f += 2) {
        __m256d a[V], b[V];
        __m256d any = _mm256_setzero_pd();
        for (int v = 0; v < V; ++v) {
            a[v] = _mm256_add_pd(s[v], x[v]);
            b[v] = _mm256_add_pd(s[v], a[v]);
            any = _mm256_or_pd(any, _mm256_cmp_pd(b[v], cycle, _CMP_GE_OQ));
        }
        if (__builtin_expect(!_mm256_testz_pd(any, any), 0)) {
            for (int v = 0; v < V; ++v) {
                a[v] = _mm256_add_pd(s[v], x[v]);
                a[v] = _mm256_sub_pd(a[v], _mm256_and_pd(_mm256_cmp_pd(a[v], cycle, _CMP_GE_OQ), cycle));
                b[v] = _mm256_add_pd(s[v], a[v]);
                b[v] = _mm256_sub_pd(b[v], _mm256_and_pd(_mm256_cmp_pd(b[v], cycle, _CMP_GE_OQ), cycle));
            }
        }
        sums[f] = frame_sum<Count, Fundamental, V>(a, rows, Extra ? extra[f] : 0);
        sums[f + 1] = frame_sum<Count, Fundamental, V>(b, rows, Extra ? extra[f + 1] : 0);
        for (int v = 0; v < V; ++v) x[v] = b[v];
    }
    for (int v = 0; v < V; ++v) _mm256_store_pd(lanes + 4 * v, x[v]);
    for (int k = 0; k < Count; ++k) phase[k] = lanes[k];
}

bool vector_phases_supported() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

// Eight of a block's sums from f on, halved toward zero: negative odd sums
// round up.
__attribute__((target("avx2"), always_inline)) inline __m256i eight_halves(const std::int32_t* sums, int f) {
    __m256i sum = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + f));
    return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_srli_epi32(sum, 31)), 1);
}

// Eight samples' low 16 bits stored at out. In the exact mode a value past
// the word's range is counted in outside (each lane holds minus its
// count); in the clean mode it is saturated.
template <class Mode>
__attribute__((target("avx2"), always_inline)) inline void store_eight(std::uint16_t* out, __m256i value,
                                                                     __m256i& outside) {
    const __m256i high = _mm256_set1_epi32(32767), low = _mm256_set1_epi32(-32768);
    if constexpr (Mode::wraps) {
        outside = _mm256_add_epi32(outside, _mm256_cmpgt_epi32(value, high));
        outside = _mm256_add_epi32(outside, _mm256_cmpgt_epi32(low, value));
    } else {
        value = _mm256_max_epi32(_mm256_min_epi32(value, high), low);
    }
    // The low two bytes of each 32-bit value, packed into each half's low
    // eight bytes, and the halves joined.
    const __m256i words = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,   //
                                           0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    __m256i packed = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(value, words), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
}

// The wraps that store_eight counted, and those of the block's last frames
// from f on, which take the formula.
template <class Mode>
__attribute__((target("avx2"), always_inline)) inline std::int64_t finish_levels(const std::int32_t* sums,
                                                                               std::uint16_t* out, double volume,
                                                                               int f, __m256i outside) {
    alignas(32) std::int32_t counts[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(counts), outside);
    std::int64_t wraps = 0;
    for (std::int32_t c : counts) wraps -= c;
    for (; f < frames_per_block; ++f) out[f] = formula_sample<Mode>(sums[f], volume, wraps);
    return wraps;
}

// The mode's sample for each sum, eight frames at a time in 512-bit
// vectors: the same conversions, multiplication, division and floor as the
// scalar rule, for volumes at which every value fits 32 bits (see
// levels_in_vectors). The division is the costly step, and takes half the
// time per value at this width.
// GCC 12's 512-bit conversion intrinsics start from a deliberately
// undefined vector, which its own warning takes for a mistake.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
template <class Mode>
__attribute__((target("avx2,avx512f,avx512vl"))) std::int64_t wide_levels(const std::int32_t* sums, std::uint16_t* out,
                                                                  double volume) {
    const __m512d v = _mm512_set1_pd(volume), hundred = _mm512_set1_pd(100.0);
    const __m256i midpoint = _mm256_set1_epi32(Mode::wraps ? 32768 : 0);
    __m256i outside = _mm256_setzero_si256();
    int f = 0;
    for (; f + 8 <= frames_per_block; f += 8) {
        __m512d x = _mm512_cvtepi32_pd(_mm256_add_epi32(eight_halves(sums, f), midpoint));
        x = _mm512_div_pd(_mm512_mul_pd(x, v), hundred);
        x = _mm512_roundscale_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        store_eight<Mode>(out + f, _mm512_cvttpd_epi32(x), outside);
    }
    return finish_levels<Mode>(sums, out, volume, f, outside);
}

#pragma GCC diagnostic pop

bool wide_vectors_supported() {
    static const bool supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    return supported;
}

// The samples at a volume whose hundredth is p / 2^k (see
// dyadic_volume), eight frames at a time: the integer (x * p) >> k, which
// is what the division gives at such volumes, without dividing.
template <class Mode>
__attribute__((target("avx2"))) std::int64_t scaled_levels(const std::int32_t* sums, std::uint16_t* out,
                                                           DyadicVolume scale, double volume) {
    const __m256i p = _mm256_set1_epi32(scale.p);
    const __m128i k = _mm_cvtsi32_si128(scale.k);
    const __m256i midpoint = _mm256_set1_epi32(Mode::wraps ? 32768 : 0);
    __m256i outside = _mm256_setzero_si256();
    int f = 0;
    for (; f + 8 <= frames_per_block; f += 8) {
        __m256i x = _mm256_add_epi32(eight_halves(sums, f), midpoint);
        store_eight<Mode>(out + f, _mm256_sra_epi32(_mm256_mullo_epi32(x, p), k), outside);
    }
    return finish_levels<Mode>(sums, out, volume, f, outside);
}

// The same four frames at a time, where 512-bit vectors are missing.
template <class Mode>
__attribute__((target("avx2"))) std::int64_t vector_levels(const std::int32_t* sums, std::uint16_t* out,
                                                           double volume) {
    if (DyadicVolume scale; dyadic_volume(volume, scale)) return scaled_levels<Mode>(sums, out, scale, volume);
    if (wide_vectors_supported()) return wide_levels<Mode>(sums, out, volume);
    const __m256d v = _mm256_set1_pd(volume), hundred = _mm256_set1_pd(100.0);
    const __m128i midpoint = _mm_set1_epi32(Mode::wraps ? 32768 : 0);
    const __m128i high = _mm_set1_epi32(32767), low = _mm_set1_epi32(-32768);
    // The low two bytes of each 32-bit value, packed into the low half.
    const __m128i words = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    std::int64_t wraps = 0;
    int f = 0;
    for (; f + 4 <= frames_per_block; f += 4) {
        __m128i sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + f));
        // Halved toward zero: negative odd sums round up.
        __m128i half = _mm_srai_epi32(_mm_add_epi32(sum, _mm_srli_epi32(sum, 31)), 1);
        __m256d x = _mm256_cvtepi32_pd(_mm_add_epi32(half, midpoint));
        x = _mm256_div_pd(_mm256_mul_pd(x, v), hundred);
        __m128i value = _mm256_cvttpd_epi32(_mm256_round_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
        if constexpr (Mode::wraps) {
            __m128i outside = _mm_or_si128(_mm_cmpgt_epi32(value, high), _mm_cmplt_epi32(value, low));
            wraps += std::popcount(static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(outside))));
        } else {
            value = _mm_max_epi32(_mm_min_epi32(value, high), low);
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + f), _mm_shuffle_epi8(value, words));
    }
    for (; f < frames_per_block; ++f) out[f] = formula_sample<Mode>(sums[f], volume, wraps);
    return wraps;
}
#endif

// Whether the vector paths are there and allowed.
bool vectors_on() {
#if AMBRISE_VECTOR_PHASES
    return vector_phases_supported() && vector_phases_allowed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

// Whether the samples of a block at this volume are made in vectors: the
// volume finite and small enough that no value needs the scalar rule's
// clamping to 32 bits.
bool levels_in_vectors(double volume) { return vectors_on() && volume >= -1e6 && volume <= 1e6; }

// With Extra, each frame's sum starts from the given sums of the channel's
// upper partials, computed elsewhere.
template <int N, class Mode, int Cycles, bool Extra = false>
std::int64_t channel_block(double* phase, const double* step, std::uint16_t* out, const std::uint16_t* levels,
                           const LevelCache<Mode>& cache, double volume, const std::int32_t* extra = nullptr) {
#if AMBRISE_VECTOR_PHASES
    if constexpr (Cycles == 1 && N <= 8) {
        if (vectors_on()) {
            std::int32_t sums[frames_per_block];
            vector_sums<N, true, Extra>(phase, step, 0, sums, extra);
            if (levels_in_vectors(volume)) return vector_levels<Mode>(sums, out, volume);
            std::int64_t wraps = 0;
            for (int f = 0; f < frames_per_block; ++f) out[f] = sample_of<Mode>(sums[f], levels, cache, volume, wraps);
            return wraps;
        }
    }
#endif
    double x[N];   // a local, so that the stores cannot be taken to alias it
    for (int k = 0; k < N; ++k) x[k] = phase[k];
    std::int64_t wraps = 0;
    for (int f = 0; f < frames_per_block; ++f) {
        std::int32_t sum = 0;
        if constexpr (Extra) sum = extra[f];
#pragma GCC unroll 10
        for (int k = 0; k < N; ++k) {
            x[k] = step_phase<Cycles>(step[k], x[k]);
            // A 64-bit conversion: the index needs no widening before the read.
            const auto i = static_cast<std::int64_t>(x[k]);
            sum += k == 0 ? table[i] : weighted[k][i];
        }
        out[f] = sample_of<Mode>(sum, levels, cache, volume, wraps);
    }
    for (int k = 0; k < N; ++k) phase[k] = x[k];
    return wraps;
}


// The sums of Count partials from the first given on, frame by frame: the
// upper partials of a channel whose lower ones are computed elsewhere, or
// all of them. The first partial reads the full table.
template <int Count, int Cycles, bool Fundamental>
void partial_sums(double* phase, const double* step, int first, std::int32_t* sums) {
#if AMBRISE_VECTOR_PHASES
    if constexpr (Cycles == 1 && Count <= 8) {
        if (vectors_on()) return vector_sums<Count, Fundamental>(phase, step, first, sums);
    }
#endif
    double x[Count];
    const std::int16_t* rows[Count];
    for (int k = 0; k < Count; ++k) {
        x[k] = phase[k];
        rows[k] = weighted[first + k];
    }
    for (int f = 0; f < frames_per_block; ++f) {
        std::int32_t sum = 0;
#pragma GCC unroll 10
        for (int k = 0; k < Count; ++k) {
            x[k] = step_phase<Cycles>(step[k], x[k]);
            const auto i = static_cast<std::int64_t>(x[k]);
            sum += Fundamental && k == 0 ? table[i] : rows[k][i];
        }
        sums[f] = sum;
    }
    for (int k = 0; k < Count; ++k) phase[k] = x[k];
}

template <int Count>
void partial_sums_block(double* phase, const double* step, int first, std::int32_t* sums) {
    by_cycles(cycles_needed<Count>(phase, step), [&](auto cycles) {
        if (first == 0)
            partial_sums<Count, cycles, true>(phase, step, first, sums);
        else
            partial_sums<Count, cycles, false>(phase, step, first, sums);
    });
}

using SumFunction = void (*)(double*, const double*, int, std::int32_t*);

constexpr SumFunction sum_functions[max_partials + 1] = {
    nullptr,
    partial_sums_block<1>, partial_sums_block<2>, partial_sums_block<3>, partial_sums_block<4>,
    partial_sums_block<5>, partial_sums_block<6>, partial_sums_block<7>, partial_sums_block<8>,
    partial_sums_block<9>, partial_sums_block<10>};

// How many of a channel's n partials the caller keeps when the others go to
// the second thread: the caller also turns the sums into samples, copies
// the other channel's repeated block and writes the block, which weighs
// more than the few partials a vector's lanes add (measured: nine partials
// render fastest split 3 and 6).
constexpr int split_point(int n) { return n <= 1 ? 0 : n <= 4 ? 1 : n <= 7 ? 2 : 3; }

// A block's frames from its two channels' samples.
void interleave(unsigned char* out, const std::uint16_t* left, const std::uint16_t* right) {
    if constexpr (std::endian::native == std::endian::little) {
        // The frame's bytes are the word's own: eight frames at a time
        // where there are vectors, then one copy per frame.
        int f = 0;
#if defined(__SSE2__)
        for (; f + 8 <= frames_per_block; f += 8) {
            __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + f));
            __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + f));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + f * bytes_per_frame), _mm_unpacklo_epi16(l, r));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + f * bytes_per_frame + 16), _mm_unpackhi_epi16(l, r));
        }
#endif
        for (; f < frames_per_block; ++f) {
            std::uint32_t frame = static_cast<std::uint32_t>(left[f]) | static_cast<std::uint32_t>(right[f]) << 16;
            std::memcpy(out + f * bytes_per_frame, &frame, sizeof frame);
        }
    } else {
        for (int f = 0; f < frames_per_block; ++f) store(out + f * bytes_per_frame, left[f], right[f]);
    }
}

// One channel's block with N partials (N is a constant so that the loops
// unroll): a block it recorded, repeated, or one computed and recorded.
// c picks the cycle and level cache: 0 and 1 are the caller's channels, 2
// the second thread's.
template <int N, class Mode>
const std::uint16_t* channel_samples(int c, double* phase, double base, double offset, double volume,
                                     std::int64_t& wraps) {
    LevelCache<Mode>& cache = level_caches<Mode>[c];
    // Where samples are made in vectors, the level table is not needed.
    const std::uint16_t* levels = levels_in_vectors(volume) ? nullptr : cache.lookup(volume, N);
    ChannelCycle& cycle = channel_cycles[c];
    int i = cycle.slot(phase, ChannelKey{N, !Mode::wraps, volume, base, offset});
    if (i >= 0) return cycle.repeat(i, phase, wraps);
    double step[N];
    for (int k = 0; k < N; ++k) step[k] = power_of_two[k] * base + offset;
    std::uint16_t* target = cycle.buffer();
    wraps = by_cycles(cycles_needed<N>(phase, step), [&](auto cycles) {
        return channel_block<N, Mode, cycles>(phase, step, target, levels, cache, volume);
    });
    cycle.recorded(phase, wraps);
    return target;
}

// A channel's block whose upper partials' sums were computed elsewhere:
// the lower partials are added here and the samples made. The channel's
// cycle is left alone: such a channel is one whose blocks do not repeat.
std::uint16_t split_buffer[2][frames_per_block];

template <int N, class Mode>
const std::uint16_t* split_samples(int c, double* phase, double base, double offset, double volume,
                                   const std::int32_t* extra, std::int64_t& wraps) {
    constexpr int M = split_point(N);
    LevelCache<Mode>& cache = level_caches<Mode>[c];
    const bool in_vectors = levels_in_vectors(volume);
    const std::uint16_t* levels = in_vectors ? nullptr : cache.lookup(volume, N);
    std::uint16_t* target = split_buffer[c];
    if constexpr (M == 0) {
        // Every partial was computed elsewhere: only the samples are made here.
#if AMBRISE_VECTOR_PHASES
        if (in_vectors) {
            wraps = vector_levels<Mode>(extra, target, volume);
            return target;
        }
#endif
        wraps = 0;
        for (int f = 0; f < frames_per_block; ++f) target[f] = sample_of<Mode>(extra[f], levels, cache, volume, wraps);
        return target;
    } else {
        double step[M];
        for (int k = 0; k < M; ++k) step[k] = power_of_two[k] * base + offset;
        wraps = by_cycles(cycles_needed<M>(phase, step), [&](auto cycles) {
            return channel_block<M, Mode, cycles, true>(phase, step, target, levels, cache, volume, extra);
        });
        return target;
    }
}

using ChannelFunction = const std::uint16_t* (*)(int, double*, double, double, double, std::int64_t&);

template <class Mode>
constexpr ChannelFunction channel_functions[max_partials + 1] = {
    nullptr,
    channel_samples<1, Mode>, channel_samples<2, Mode>, channel_samples<3, Mode>, channel_samples<4, Mode>,
    channel_samples<5, Mode>, channel_samples<6, Mode>, channel_samples<7, Mode>, channel_samples<8, Mode>,
    channel_samples<9, Mode>, channel_samples<10, Mode>};

// Waits until ready() holds, watching one atomic that changes whenever it
// may have come to hold: first a short spin, since the other thread is
// usually a few microseconds away and waking a sleeping thread takes far
// longer, then asleep.
template <class Ready>
bool wait_for_briefly(Ready ready) {
    for (int i = 0; i < 2000; ++i) {
        if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return false;
}

template <class Ready>
void wait_for(const std::atomic<std::int64_t>& watched, Ready ready) {
    if (wait_for_briefly(ready)) return;
    for (;;) {
        std::int64_t seen = watched.load(std::memory_order_acquire);
        if (ready()) return;
        watched.wait(seen, std::memory_order_acquire);
    }
}

// Work on the coming blocks on a second thread while the caller renders:
// either one whole channel's samples (when both channels have to be
// computed), or the sums of one channel's upper partials (when only that
// channel has to be). A block is taken only when it was computed for the
// same key from the same phases as the caller's, so it is exactly what the
// caller would compute; anything else ends the work ahead, and the caller
// computes the channel itself.
//
// The caller never sleeps on the thread. A block that is not ready when the
// caller reaches it is computed by the caller, unless the thread is at that
// very block and about to hand it over; the thread, finding itself behind,
// starts again where the caller is. So a thread that a busy machine takes
// off its core costs the caller nothing but the block in hand.
class Ahead {
public:
    struct Slot {
        std::uint16_t samples[frames_per_block];
        std::int32_t sums[frames_per_block];
        double before[max_partials];   // the phases it started from
        double after[max_partials];
        std::int64_t wraps;
        ChannelKey key;   // what it was computed for
    };

    ~Ahead() {
        if (!started_) return;
        stop();
        {
            std::lock_guard<std::mutex> hold(lock_);
            quit_ = true;
        }
        job_ready_.notify_all();
        thread_.join();
    }

    // Computes channel c of count blocks from these phases: the whole
    // channel with fn, or else the sums of the partials from first on with
    // sum_fn. With per above 0 the beat (the right channel's offset) moves
    // by step after every per blocks, as a slide moves it. Work already
    // planned that goes on with this key from these phases is kept.
    void start(int c, int first, ChannelFunction fn, SumFunction sum_fn, const ChannelKey& key, const double* phase,
               std::int64_t count, std::int64_t per, double step) {
        if (active_ && c == channel_ && first == first_ && fn == fn_ && sum_fn == sum_fn_ && key == next_key_ &&
            same_phases(phase + first, next_phase_ + first, key.n - first) &&
            count_ - consumed_.load(std::memory_order_relaxed) >= count)
            return;
        stop();
        if (!started_ && !start_thread()) return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            channel_ = c;
            first_ = first;
            fn_ = fn;
            sum_fn_ = sum_fn;
            key_ = key;
            per_ = per;
            step_ = step;
            std::memcpy(work_phase_, phase, sizeof work_phase_);
            count_ = count;
            produced_.store(0, std::memory_order_relaxed);
            consumed_.store(0, std::memory_order_relaxed);
            working_.store(-1, std::memory_order_relaxed);
            cancel_.store(false, std::memory_order_relaxed);
            busy_.store(1, std::memory_order_relaxed);
            jobs_.fetch_add(1, std::memory_order_release);
        }
        next_key_ = key;
        std::memcpy(next_phase_, phase, sizeof next_phase_);
        active_ = true;
        job_ready_.notify_all();
    }

    // The next block of channel c, when it is this key's from these phases
    // and the thread has it (or is about to); null otherwise. ours says
    // whether the block belongs to the work ahead: the caller then computes
    // it and hands its phases over with skipped(). A slot is handed back
    // with release().
    const Slot* next(int c, const ChannelKey& key, const double* phase, bool& ours) {
        ours = false;
        if (!active_ || c != channel_) return nullptr;
        std::int64_t i = consumed_.load(std::memory_order_relaxed);
        if (i >= count_ || !(key == next_key_) || !same_phases(phase + first_, next_phase_ + first_, key.n - first_))
            return nullptr;
        ours = true;
        if (produced_.load(std::memory_order_acquire) <= i && !finishing(i)) return nullptr;
        // The block's own record decides: the thread moves the beat by its
        // own additions and may have started again from the caller's phases.
        const Slot& slot = ring_[i % slots];
        if (!(slot.key == key) || !same_phases(slot.before + first_, phase + first_, key.n - first_)) return nullptr;
        return &slot;
    }
    void release() {
        std::int64_t i = consumed_.load(std::memory_order_relaxed);
        std::memcpy(next_phase_, ring_[i % slots].after, sizeof next_phase_);
        next_key_ = moved(next_key_, i + 1);
        consumed_.store(i + 1, std::memory_order_release);
        consumed_.notify_one();
    }
    // The caller computed the next block itself; phase is where the block
    // after it starts. The thread starts again from there.
    void skipped(const double* phase) {
        std::int64_t i = consumed_.load(std::memory_order_relaxed);
        std::memcpy(next_phase_, phase, sizeof next_phase_);
        next_key_ = moved(next_key_, i + 1);
        std::uint64_t seq = published_.load(std::memory_order_relaxed);
        published_.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        published_index_.store(i + 1, std::memory_order_relaxed);
        published_offset_.store(next_key_.offset, std::memory_order_relaxed);
        for (int k = 0; k < max_partials; ++k) published_phase_[k].store(phase[k], std::memory_order_relaxed);
        published_.store(seq + 2, std::memory_order_release);
        consumed_.store(i + 1, std::memory_order_release);
        consumed_.notify_one();
    }
    // Whether the work is whole channels' samples; else sums from first() on.
    bool whole() const { return fn_ != nullptr; }
    int first() const { return first_; }
    bool working_on(int c) const { return active_ && c == channel_; }

    // Ends the work ahead and waits until the thread has let go of the job.
    void stop() {
        if (!active_) return;
        cancel_.store(true, std::memory_order_release);
        consumed_.fetch_add(std::int64_t{1} << 40, std::memory_order_release);   // wakes a thread waiting for room
        consumed_.notify_one();
        wait_for(busy_, [this] { return busy_.load(std::memory_order_acquire) == 0; });
        active_ = false;
    }

private:
    static constexpr int slots = 16;

    // The key for the block after the first done ones: the beat moves as
    // the sequence moves it, by the same additions, so the bits agree.
    ChannelKey moved(ChannelKey key, std::int64_t done) const {
        if (per_ > 0 && done % per_ == 0 && channel_ == 1) key.offset += step_;
        return key;
    }

    // Waits while the thread is computing block i, for a little longer than
    // a block takes; true once the block is there.
    bool finishing(std::int64_t i) {
        if (working_.load(std::memory_order_acquire) != i) return false;
        auto give_up = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
        for (int spins = 1;; ++spins) {
            if (produced_.load(std::memory_order_acquire) > i) return true;
            if (working_.load(std::memory_order_acquire) != i) return produced_.load(std::memory_order_acquire) > i;
            if (spins % 64 == 0 && std::chrono::steady_clock::now() > give_up) return false;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    }

    // Where the caller went on by itself: the block it is at, the beat and
    // the phases there. False while the caller is writing them.
    bool read_published(std::int64_t& index, double& offset, double* phase) const {
        std::uint64_t seq = published_.load(std::memory_order_acquire);
        if (seq & 1) return false;
        index = published_index_.load(std::memory_order_relaxed);
        offset = published_offset_.load(std::memory_order_relaxed);
        for (int k = 0; k < max_partials; ++k) phase[k] = published_phase_[k].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        return published_.load(std::memory_order_relaxed) == seq;
    }

    bool start_thread() {
        prefault(ring_, sizeof ring_);
        prefault(channel_cycles, sizeof channel_cycles);
        started_ = start_quiet_thread(thread_, [this] { run(); });
        return started_;
    }

    void run() {
        std::int64_t taken = 0;
        for (;;) {
            // A sequence's next command usually follows within microseconds.
            wait_for_briefly([&] { return jobs_.load(std::memory_order_acquire) != taken; });
            {
                std::unique_lock<std::mutex> hold(lock_);
                job_ready_.wait(hold, [&] { return jobs_.load(std::memory_order_relaxed) != taken || quit_; });
                if (quit_) return;
                taken = jobs_.load(std::memory_order_relaxed);
            }
            work();
            working_.store(-1, std::memory_order_relaxed);
            busy_.store(0, std::memory_order_release);
            busy_.notify_one();
        }
    }

    void work() {
        ChannelKey key = key_;
        auto set_steps = [&] {
            for (int k = 0; k < max_partials; ++k) work_step_[k] = power_of_two[k] * key.base + key.offset;
        };
        set_steps();
        for (std::int64_t i = 0; i < count_;) {
            wait_for(consumed_, [&] {
                return cancel_.load(std::memory_order_acquire) ||
                       i - consumed_.load(std::memory_order_acquire) < slots;
            });
            if (cancel_.load(std::memory_order_acquire)) return;
            if (consumed_.load(std::memory_order_acquire) > i) {
                // Behind the caller: on from where it is.
                std::int64_t index;
                double offset, phase[max_partials];
                if (!read_published(index, offset, phase) || index <= i) continue;
                i = index;
                if (i >= count_) return;
                std::memcpy(work_phase_, phase, sizeof work_phase_);
                key.offset = offset;
                set_steps();
            }
            working_.store(i, std::memory_order_release);
            if (auto delay = work_ahead_delay.load(std::memory_order_relaxed); delay > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(delay));
            Slot& slot = ring_[i % slots];
            std::memcpy(slot.before, work_phase_, sizeof slot.before);
            if (fn_) {
                std::int64_t wraps = 0;
                // The thread's own level cache and cycle, apart from the caller's.
                const std::uint16_t* samples = fn_(2, work_phase_, key.base, key.offset, key.volume, wraps);
                std::memcpy(slot.samples, samples, sizeof slot.samples);
                slot.wraps = wraps;
            } else {
                sum_fn_(work_phase_ + first_, work_step_ + first_, first_, slot.sums);
                slot.wraps = 0;
            }
            std::memcpy(slot.after, work_phase_, sizeof slot.after);
            slot.key = key;
            produced_.store(i + 1, std::memory_order_release);
            ++i;
            ChannelKey after = moved(key, i);
            if (!(after == key)) {
                key = after;
                set_steps();
            }
        }
    }

    Slot ring_[slots];
    std::thread thread_;
    bool started_ = false;
    bool active_ = false;   // a job was started and not stopped (the caller's)
    double next_phase_[max_partials] = {};   // the caller's: where the next block starts
    ChannelKey next_key_;                    // and what it is computed for
    // The job: set under the lock before the thread takes it, then only read.
    std::mutex lock_;
    std::condition_variable job_ready_;
    bool quit_ = false;
    int channel_ = 0, first_ = 0;
    ChannelFunction fn_ = nullptr;
    SumFunction sum_fn_ = nullptr;
    ChannelKey key_;   // of the first block
    std::int64_t per_ = 0;
    double step_ = 0;
    std::int64_t count_ = 0;
    double work_step_[max_partials] = {};    // the thread's alone while busy
    double work_phase_[max_partials] = {};
    std::atomic<std::int64_t> produced_{0}, consumed_{0}, busy_{0}, jobs_{0};
    std::atomic<std::int64_t> working_{-1};   // the block the thread is computing
    std::atomic<bool> cancel_{false};
    // Where the caller last went on by itself, under a sequence count.
    std::atomic<std::uint64_t> published_{0};
    std::atomic<std::int64_t> published_index_{0};
    std::atomic<double> published_offset_{0.0};
    std::atomic<double> published_phase_[max_partials] = {};
};

Ahead& ahead() {
    static Ahead a;
    return a;
}

// Whether a channel's steps are all whole hertz: such a channel comes back
// to its phases within a second and then repeats its blocks, which costs
// next to nothing.
bool whole_steps(int n, double base, double offset) {
    for (int k = 0; k < n; ++k) {
        double step = power_of_two[k] * base + offset;
        if (!(std::floor(step) == step)) return false;
    }
    return true;
}

// One block: each channel from the work ahead when that has it, else here.
template <int N, class Mode>
void render_block(RenderState& s, unsigned char* out, double base, double beat) {
    double* phase[2] = {s.left_phase, s.right_phase};
    const double offset[2] = {0.0, beat};
    const double volume = s.volume;
    const std::uint16_t* samples[2];
    std::int64_t wraps = 0;
    Ahead& a = ahead();
    bool holding = false;   // a slot whose samples are still to be copied out
    for (int c = 0; c < 2; ++c) {
        const ChannelKey key{N, !Mode::wraps, volume, base, offset[c]};
        std::int64_t w = 0;
        bool ours = false;
        const Ahead::Slot* slot = a.next(c, key, phase[c], ours);
        if (slot && a.whole()) {
            std::memcpy(phase[c], slot->after, sizeof(double) * N);
            w = slot->wraps;
            samples[c] = slot->samples;
            holding = true;
        } else if (slot) {
            int first = a.first();
            samples[c] = split_samples<N, Mode>(c, phase[c], base, offset[c], volume, slot->sums, w);
            std::memcpy(phase[c] + first, slot->after + first, sizeof(double) * (N - first));
            a.release();
        } else {
            if (!ours && a.working_on(c)) a.stop();
            samples[c] = channel_samples<N, Mode>(c, phase[c], base, offset[c], volume, w);
            if (ours) a.skipped(phase[c]);
        }
        wraps += w;
    }
    interleave(out, samples[0], samples[1]);
    if (holding) a.release();
    if (wraps) {
        s.wraps.total += wraps;
        s.wraps.by_partials[N] += wraps;
    }
}

// No partials: every sample is the mode's level for a sum of 0.
template <class Mode>
void render_silent_block(RenderState& s, unsigned char* out) {
    std::int32_t v = Mode::sample(half_of(0), s.volume);
    for (int f = 0; f < frames_per_block; ++f)
        store(out + f * bytes_per_frame, static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v));
    if (Mode::wraps && outside_word(v)) {
        s.wraps.total += 2 * frames_per_block;
        s.wraps.by_partials[0] += 2 * frames_per_block;
    }
}

// A block with a listening mode or noise: the frame as the scalar
// formulas give it, the mode and noise applied to each half sum before the
// sample rule.
template <class Mode>
void render_shaped_block(RenderState& s, unsigned char* out, double base, double beat) {
    int n = s.harmonics <= 0 ? 0 : s.harmonics > max_partials ? max_partials : s.harmonics;
    const double volume = s.volume;
    std::int64_t wraps = 0;
    for (int f = 0; f < frames_per_block; ++f) {
        advance_phases(s.left_phase, n, base, 0.0);
        advance_phases(s.right_phase, n, base, beat);
        std::int32_t sum_left = 0, sum_right = 0;
        for (int k = 0; k < n; ++k) {
            sum_left += table[static_cast<int>(s.left_phase[k])] / (k + 1);
            sum_right += table[static_cast<int>(s.right_phase[k])] / (k + 1);
        }
        std::int32_t half_left = half_of(sum_left), half_right = half_of(sum_right);
        s.listening.shape(half_left, half_right, beat, modulus, 32767);
        std::int32_t l = Mode::sample(half_left, volume);
        std::int32_t r = Mode::sample(half_right, volume);
        store(out + f * bytes_per_frame, static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(r));
        if constexpr (Mode::wraps) wraps += outside_word(l) + outside_word(r);
    }
    if (wraps) {
        s.wraps.total += wraps;
        s.wraps.by_partials[n] += wraps;
        if (s.listening.colour != seq::NoiseColour::Off && s.listening.level > 0.0) s.wraps.with_noise += wraps;
    }
}

using BlockFunction = void (*)(RenderState&, unsigned char*, double, double);

template <class Mode>
void silent_block(RenderState& s, unsigned char* out, double, double) {
    render_silent_block<Mode>(s, out);
}

// The block function of each partial count (0 for none), per mode.
template <class Mode>
constexpr BlockFunction block_functions[max_partials + 1] = {
    silent_block<Mode>,         render_block<1, Mode>, render_block<2, Mode>, render_block<3, Mode>,
    render_block<4, Mode>,      render_block<5, Mode>, render_block<6, Mode>, render_block<7, Mode>,
    render_block<8, Mode>,      render_block<9, Mode>, render_block<10, Mode>};

}  // namespace

const std::int32_t* sine_table() { return table; }

void build_sine_table() {
    if (table_built) return;
    prefault(table, sizeof table);
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

void allow_vector_phases(bool allowed) { vector_phases_allowed.store(allowed, std::memory_order_relaxed); }
void delay_work_ahead(int microseconds) { work_ahead_delay.store(microseconds, std::memory_order_relaxed); }

std::int32_t exact_sample(std::int32_t half, double volume) { return Exact::sample(half, volume); }
std::int32_t clean_sample(std::int32_t half, double volume) { return Clean::sample(half, volume); }

int highest_unwrapped_volume(int n) {
    double peak = 32768.0 + (n > 0 ? half_of(bound_for(n < max_partials ? n : max_partials)) : 0);
    int v = 100;
    while (v > 0 && std::floor(peak * v / 100.0) > 32767.0) --v;
    return v;
}

std::int32_t mix_channel(const PhaseBank& bank, int n, double volume) {
    if (n <= 0) return floor_to_int32(volume * 32768.0 / 100.0);
    if (n > max_partials) n = max_partials;
    std::int32_t sum = 0;
    for (int k = 0; k < n; ++k) sum += table[static_cast<int>(bank[k])] / (k + 1);
    return Exact::sample(half_of(sum), volume);
}

namespace {

// The work ahead for count blocks; with per above 0 the beat moves by step
// after every per blocks.
void plan_blocks(const RenderState& s, std::int64_t count, double base, double beat, std::int64_t per, double step) {
    int n = s.harmonics <= 0 ? 0 : s.harmonics > max_partials ? max_partials : s.harmonics;
    if (count < 2 || n == 0 || !s.listening.plain()) return;
    fill_rows(n);
    bool clean = s.mode == SampleMode::clean;
    // A moving beat leaves whole hertz at once unless it moves by whole hertz.
    bool left_whole = whole_steps(n, base, 0.0);
    bool right_whole = whole_steps(n, base, beat) && (per == 0 || std::floor(step) == step);
    if (!left_whole && !right_whole) {
        // Both channels to compute: the right one on the second thread.
        ChannelFunction fn = clean ? channel_functions<Clean>[n] : channel_functions<Exact>[n];
        ahead().start(1, 0, fn, nullptr, ChannelKey{n, clean, s.volume, base, beat}, s.right_phase, count, per, step);
    } else if (left_whole != right_whole) {
        // One channel to compute: its upper partials on the second thread.
        int c = left_whole ? 1 : 0;
        int first = split_point(n);
        ahead().start(c, first, nullptr, sum_functions[n - first], ChannelKey{n, clean, s.volume, base, c ? beat : 0.0},
                      c ? s.right_phase : s.left_phase, count, per, step);
    }
}

}  // namespace

void expect_blocks(const RenderState& s, std::int64_t count, double base, double beat) {
    plan_blocks(s, count, base, beat, 0, 0.0);
}

void expect_slide(const RenderState& s, std::int64_t seconds, double base, double beat, double step) {
    if (seconds > INT64_MAX / blocks_per_second) seconds = INT64_MAX / blocks_per_second;
    plan_blocks(s, seconds * blocks_per_second, base, beat, blocks_per_second, step);
}

void render_blocks(RenderState& s, std::int64_t count, FrameSink& out, double base, double beat) {
    constexpr std::size_t block_bytes = frames_per_block * bytes_per_frame;
    // The mode is chosen here, once per block; the frame loop knows only its own.
    const BlockFunction* functions =
        s.mode == SampleMode::clean ? block_functions<Clean> : block_functions<Exact>;
    int n = s.harmonics <= 0 ? 0 : s.harmonics > max_partials ? max_partials : s.harmonics;
    fill_rows(n);
    BlockFunction block = functions[n];
    if (!s.listening.plain())
        block = s.mode == SampleMode::clean ? render_shaped_block<Clean> : render_shaped_block<Exact>;
    if (count > 1) expect_blocks(s, count, base, beat);
    for (std::int64_t b = 0; b < count && !out.failed(); ++b) {
        unsigned char* p = out.room(block_bytes);
        block(s, p, base, beat);
        out.commit(block_bytes);
    }
}

}  // namespace render
