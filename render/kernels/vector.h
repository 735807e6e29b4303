// What the AVX2 and AVX-512 kernels share: phases stepped in four-lane
// vectors, and the sample rule eight frames at a time. Included by each
// kernel's file, compiled there for that file's instruction set; every
// function is internal to the file.
#pragma once

#if !defined(__AVX2__)
#error "compile the kernels with their instruction sets (-mavx2)"
#endif

#include <immintrin.h>

#include "kernels/kernel.h"
#include "tone.h"

namespace render {
namespace {

// A frame's sum from its phases in V vectors, starting from start.
template <int Count, bool Fundamental, int V>
[[gnu::always_inline]] inline std::int32_t frame_sum(const __m256d* phases,
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
void vector_sums(double* phase, const double* step, int first, std::int32_t* sums,
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

// Eight of a block's sums from f on, halved toward zero: negative odd sums
// round up.
[[gnu::always_inline]] inline __m256i eight_halves(const std::int32_t* sums, int f) {
    __m256i sum = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + f));
    return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_srli_epi32(sum, 31)), 1);
}

// Eight samples' low 16 bits stored at out. In the exact mode a value past
// the word's range is counted in outside (each lane holds minus its
// count); in the clean mode it is saturated.
template <class Mode>
[[gnu::always_inline]] inline void store_eight(std::uint16_t* out, __m256i value,
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
[[gnu::always_inline]] inline std::int64_t finish_levels(const std::int32_t* sums,
                                                                               std::uint16_t* out, double volume,
                                                                               int f, __m256i outside) {
    alignas(32) std::int32_t counts[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(counts), outside);
    std::int64_t wraps = 0;
    for (std::int32_t c : counts) wraps -= c;
    for (; f < frames_per_block; ++f) out[f] = formula_sample<Mode>(sums[f], volume, wraps);
    return wraps;
}

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

// The samples at a volume whose hundredth is p / 2^k (see
// dyadic_volume), eight frames at a time: the integer (x * p) >> k, which
// is what the division gives at such volumes, without dividing.
template <class Mode>
std::int64_t scaled_levels(const std::int32_t* sums, std::uint16_t* out,
                                                           DyadicVolume scale, double volume) {
    const __m256i p = _mm256_set1_epi32(scale.p);
    const __m128i k = _mm_cvtsi32_si128(scale.k);
    const __m256i midpoint = _mm256_set1_epi32(Mode::midpoint);
    __m256i outside = _mm256_setzero_si256();
    int f = 0;
    for (; f + 8 <= frames_per_block; f += 8) {
        __m256i x = _mm256_add_epi32(eight_halves(sums, f), midpoint);
        store_eight<Mode>(out + f, _mm256_sra_epi32(_mm256_mullo_epi32(x, p), k), outside);
    }
    return finish_levels<Mode>(sums, out, volume, f, outside);
}

}  // namespace
}  // namespace render
