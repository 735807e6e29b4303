// The AVX-512 kernel: the AVX2 kernel's phase steps, with samples made
// eight frames at a time in 512-bit vectors, where the division takes half
// the time per value.
#if !defined(__AVX512F__) || !defined(__AVX512VL__)
#error "compile the AVX-512 kernel with -mavx512f -mavx512vl"
#endif

#include "kernels/vector.h"

namespace render {

namespace {

// The mode's sample for each sum, eight frames at a time in 512-bit
// vectors: the same conversions, multiplication, division and floor as the
// scalar rule, for volumes at which every value fits 32 bits (see
// the kernel's levels). The division is the costly step, and takes half the
// time per value at this width.
// GCC 12's 512-bit conversion intrinsics start from a deliberately
// undefined vector, which its own warning takes for a mistake.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
template <class Mode>
std::int64_t wide_levels(const std::int32_t* sums, std::uint16_t* out, double volume) {
    const __m512d v = _mm512_set1_pd(volume), hundred = _mm512_set1_pd(100.0);
    const __m256i midpoint = _mm256_set1_epi32(Mode::midpoint);
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

template <class Mode>
std::int64_t levels(const std::int32_t* sums, std::uint16_t* out, double volume) {
    if (DyadicVolume scale; dyadic_volume(volume, scale)) return scaled_levels<Mode>(sums, out, scale, volume);
    return wide_levels<Mode>(sums, out, volume);
}

}  // namespace

const Kernel& avx512_kernel() {
    static const Kernel kernel_table = [] {
        Kernel k = avx2_kernel();
        k.name = "avx512";
        k.levels[Exact::index] = levels<Exact>;
        k.levels[Clean::index] = levels<Clean>;
        return k;
    }();
    return kernel_table;
}

}  // namespace render
