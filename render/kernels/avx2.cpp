// The AVX2 kernel: phases stepped in four-lane vectors, samples made four
// frames at a time, or eight without division at volumes that allow it.
#include <bit>

#include "kernels/vector.h"

namespace render {

namespace {

// The mode's sample for each sum four frames at a time: the same
// conversions, multiplication, division and floor as the scalar rule, for
// volumes at which every value fits 32 bits.
template <class Mode>
std::int64_t vector_levels(const std::int32_t* sums, std::uint16_t* out, double volume) {
    const __m256d v = _mm256_set1_pd(volume), hundred = _mm256_set1_pd(100.0);
    const __m128i midpoint = _mm_set1_epi32(Mode::midpoint);
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

// The clean samples of a gliding block four frames at a time: each frame's
// gain and sample by the same operations, in the same order, as the
// scalar rules.
void glide_levels(const std::int32_t* sums, std::uint16_t* out, double from, double to) {
    const __m256d start = _mm256_set1_pd(from), span = _mm256_set1_pd(to - from);
    const __m256d frames = _mm256_set1_pd(frames_per_block), hundred = _mm256_set1_pd(100.0);
    const __m128i high = _mm_set1_epi32(32767), low = _mm_set1_epi32(-32768);
    const __m128i words = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    __m256d count = _mm256_setr_pd(1, 2, 3, 4);   // i + 1
    const __m256d four = _mm256_set1_pd(4);
    int f = 0;
    for (; f + 4 <= frames_per_block; f += 4, count = _mm256_add_pd(count, four)) {
        __m256d gain = _mm256_add_pd(start, _mm256_div_pd(_mm256_mul_pd(span, count), frames));
        __m128i sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + f));
        __m128i half = _mm_srai_epi32(_mm_add_epi32(sum, _mm_srli_epi32(sum, 31)), 1);
        __m256d x = _mm256_div_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(half), gain), hundred);
        __m128i value = _mm256_cvttpd_epi32(_mm256_round_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
        value = _mm_max_epi32(_mm_min_epi32(value, high), low);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + f), _mm_shuffle_epi8(value, words));
    }
    for (; f < frames_per_block; ++f)
        out[f] = static_cast<std::uint16_t>(sample<Clean>(half_of(sums[f]), glide_gain(from, to, f)));
}

template <class Mode>
std::int64_t levels(const std::int32_t* sums, std::uint16_t* out, double volume) {
    if (DyadicVolume scale; dyadic_volume(volume, scale)) return scaled_levels<Mode>(sums, out, scale, volume);
    return vector_levels<Mode>(sums, out, volume);
}

template <int N>
constexpr VectorSums whole = vector_sums<N, true>;
template <int N>
constexpr VectorSums upper = vector_sums<N, false>;
template <int N>
constexpr VectorSums extra = vector_sums<N, true, true>;

const Kernel kernel_table = {"avx2",
                             {{},
                              {whole<1>, upper<1>, extra<1>},
                              {whole<2>, upper<2>, extra<2>},
                              {whole<3>, upper<3>, extra<3>},
                              {whole<4>, upper<4>, extra<4>},
                              {whole<5>, upper<5>, extra<5>},
                              {whole<6>, upper<6>, extra<6>},
                              {whole<7>, upper<7>, extra<7>},
                              {whole<8>, upper<8>, extra<8>}},
                             {levels<Exact>, levels<Clean>},
                             glide_levels};

}  // namespace

const Kernel& avx2_kernel() { return kernel_table; }

}  // namespace render
