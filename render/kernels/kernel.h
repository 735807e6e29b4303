// The renderer's kernels: the inner loops that have a vector form, one
// table of function pointers per instruction set. One is chosen at start,
// by the processor's features or by AMBRISE_KERNEL, and every block reads
// the same table; the scalar kernel has no entries, and its blocks take the
// reference loops.
#pragma once

#include <cstdint>
#include <string>

namespace render {

// The most partials a vector form steps: two four-lane vectors.
constexpr int vector_partials = 8;

// Fills sums with each frame's sum of Count partials from first on (plus
// extra's, for the with_extra form), stepping the phases, for phases
// inside the cycle and steps of 0 or more below one cycle.
using VectorSums = void (*)(double* phase, const double* step, int first, std::int32_t* sums,
                            const std::int32_t* extra);
// The mode's samples of a block's sums, and the count of those that wrapped,
// for volumes within plus or minus 1e6.
using VectorLevels = std::int64_t (*)(const std::int32_t* sums, std::uint16_t* out, double volume);

// The clean mode's samples of a block's sums while the volume glides from
// one volume to another, both within plus or minus 1e6.
using VectorGlide = void (*)(const std::int32_t* sums, std::uint16_t* out, double from, double to);

// The forms of VectorSums: all partials, the upper ones (first above 0),
// all plus sums computed elsewhere.
enum SumForm { whole_channel = 0, upper_partials = 1, with_extra = 2 };

struct Kernel {
    const char* name;
    VectorSums sums[vector_partials + 1][3];   // by partial count and form
    VectorLevels levels[2];                    // by mode: exact, clean
    VectorGlide glide;
};

// The kernel in use; the best this processor has until one is chosen.
const Kernel& kernel();

// Chooses the kernel by name (scalar, avx2, avx512), or the best this
// processor has for null or an empty name. False with a message, and
// nothing changed, for a name that is not a kernel or one the processor
// cannot run.
bool choose_kernel(const char* name, std::string& message);

// Whether this processor can run the named kernel.
bool kernel_available(const char* name);

#if defined(AMBRISE_X86_KERNELS)
const Kernel& avx2_kernel();
const Kernel& avx512_kernel();
#endif

}  // namespace render
