// The block renderer: each block's channels from the work ahead, the
// channel caches, a vector kernel or the scalar reference, and the two
// channels interleaved into frames.
#include "synth.h"

#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/kernel.h"
#include "scalar.h"
#include "work_ahead.h"

namespace render {

// A state's caches and the second thread that works ahead for it.
struct Engine {
    BlockCaches caches;
    WorkAhead ahead{caches};
};

EngineHandle::EngineHandle() = default;
EngineHandle::EngineHandle(const EngineHandle&) {}
EngineHandle::~EngineHandle() = default;

Engine& EngineHandle::get() const {
    // Left as allocated: the caches are written before they are read.
    if (!engine_) engine_.reset(new Engine);
    return *engine_;
}

namespace {

// Whether the samples of a block at this volume are made in the kernel's
// vectors: it has them, and the volume is finite and small enough that no
// value needs the scalar rule's clamping to 32 bits.
bool levels_in_vectors(const Kernel& kern, double volume) {
    return kern.levels[0] != nullptr && volume >= -1e6 && volume <= 1e6;
}

// One channel's block of N partials, in the kernel's vectors where it has
// them for these steps, else by the scalar reference. With Extra, each
// frame's sum starts from the given sums of the channel's upper partials.
template <int N, class Mode, int Cycles, bool Extra = false>
std::int64_t channel_block(double* phase, const double* step, std::uint16_t* out, const std::uint16_t* levels,
                           const LevelCache<Mode>& cache, double volume, const std::int32_t* extra = nullptr) {
    if constexpr (Cycles == 1 && N <= vector_partials) {
        const Kernel& kern = kernel();
        if (VectorSums sums_of = kern.sums[N][Extra ? with_extra : whole_channel]) {
            std::int32_t sums[frames_per_block];
            sums_of(phase, step, 0, sums, extra);
            if (levels_in_vectors(kern, volume)) return kern.levels[Mode::index](sums, out, volume);
            std::int64_t wraps = 0;
            for (int f = 0; f < frames_per_block; ++f) out[f] = sample_of<Mode>(sums[f], levels, cache, volume, wraps);
            return wraps;
        }
    }
    return scalar_channel<N, Mode, Cycles, Extra>(phase, step, out, levels, cache, volume, extra);
}

// Calls f with cycles_needed's answer as a constant.
template <class F>
decltype(auto) by_cycles(int cycles, F f) {
    switch (cycles) {
        case 1: return f(std::integral_constant<int, 1>{});
        case 2: return f(std::integral_constant<int, 2>{});
        default: return f(std::integral_constant<int, 0>{});
    }
}

// The sums of Count partials from first on: the upper partials of a channel
// whose lower ones are computed elsewhere, or all of them.
template <int Count>
void partial_sums(double* phase, const double* step, int first, std::int32_t* sums) {
    by_cycles(cycles_needed<Count>(phase, step), [&](auto cycles) {
        if constexpr (cycles == 1 && Count <= vector_partials) {
            if (VectorSums sums_of = kernel().sums[Count][first == 0 ? whole_channel : upper_partials])
                return sums_of(phase, step, first, sums, nullptr);
        }
        if (first == 0)
            scalar_sums<Count, cycles, true>(phase, step, first, sums);
        else
            scalar_sums<Count, cycles, false>(phase, step, first, sums);
    });
}

constexpr SumFunction sum_functions[max_partials + 1] = {
    nullptr,          partial_sums<1>, partial_sums<2>, partial_sums<3>, partial_sums<4>, partial_sums<5>,
    partial_sums<6>,  partial_sums<7>, partial_sums<8>, partial_sums<9>, partial_sums<10>};

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
        for (int f = 0; f < frames_per_block; ++f) store_frame(out + f * bytes_per_frame, left[f], right[f]);
    }
}

template <int N>
void set_steps(double* step, double base, double offset) {
    for (int k = 0; k < N; ++k) step[k] = partial_step(k, base, offset);
}

// One channel's block with N partials (N is a constant so that the loops
// unroll): a block its cycle recorded, repeated, or one computed and
// recorded.
template <int N, class Mode>
const std::uint16_t* channel_samples(BlockCaches& caches, int c, double* phase, double base, double offset,
                                     double volume, std::int64_t& wraps) {
    LevelCache<Mode>& cache = caches.levels<Mode>(c);
    // Where samples are made in vectors, the level table is not needed.
    const std::uint16_t* levels = levels_in_vectors(kernel(), volume) ? nullptr : cache.lookup(volume, N);
    ChannelCycle& cycle = caches.cycles[c];
    int i = cycle.slot(phase, ChannelKey{N, !Mode::wraps, volume, base, offset});
    if (i >= 0) return cycle.repeat(i, phase, wraps);
    double step[N];
    set_steps<N>(step, base, offset);
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
template <int N, class Mode>
const std::uint16_t* split_samples(BlockCaches& caches, int c, double* phase, double base, double offset,
                                   double volume, const std::int32_t* extra, std::int64_t& wraps) {
    constexpr int M = split_point(N);
    LevelCache<Mode>& cache = caches.levels<Mode>(c);
    const Kernel& kern = kernel();
    const bool in_vectors = levels_in_vectors(kern, volume);
    const std::uint16_t* levels = in_vectors ? nullptr : cache.lookup(volume, N);
    std::uint16_t* target = caches.split[c];
    if constexpr (M == 0) {
        // Every partial was computed elsewhere: only the samples are made here.
        if (in_vectors) {
            wraps = kern.levels[Mode::index](extra, target, volume);
            return target;
        }
        wraps = 0;
        for (int f = 0; f < frames_per_block; ++f) target[f] = sample_of<Mode>(extra[f], levels, cache, volume, wraps);
        return target;
    } else {
        double step[M];
        set_steps<M>(step, base, offset);
        wraps = by_cycles(cycles_needed<M>(phase, step), [&](auto cycles) {
            return channel_block<M, Mode, cycles, true>(phase, step, target, levels, cache, volume, extra);
        });
        return target;
    }
}

template <class Mode>
constexpr ChannelFunction channel_functions[max_partials + 1] = {
    nullptr,
    channel_samples<1, Mode>, channel_samples<2, Mode>, channel_samples<3, Mode>, channel_samples<4, Mode>,
    channel_samples<5, Mode>, channel_samples<6, Mode>, channel_samples<7, Mode>, channel_samples<8, Mode>,
    channel_samples<9, Mode>, channel_samples<10, Mode>};

// Whether a channel's steps are all whole hertz: such a channel comes back
// to its phases within a second and then repeats its blocks, which costs
// next to nothing.
bool whole_steps(int n, double base, double offset) {
    for (int k = 0; k < n; ++k) {
        double step = partial_step(k, base, offset);
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
    Engine& e = s.engine.get();
    WorkAhead& a = e.ahead;
    bool holding = false;   // a slot whose samples are still to be copied out
    for (int c = 0; c < 2; ++c) {
        const ChannelKey key{N, !Mode::wraps, volume, base, offset[c]};
        std::int64_t w = 0;
        bool ours = false;
        const WorkAhead::Slot* slot = a.next(c, key, phase[c], ours);
        if (slot && a.whole()) {
            std::memcpy(phase[c], slot->after, sizeof(double) * N);
            w = slot->wraps;
            samples[c] = slot->samples;
            holding = true;
        } else if (slot) {
            int first = a.first();
            samples[c] = split_samples<N, Mode>(e.caches, c, phase[c], base, offset[c], volume, slot->sums, w);
            std::memcpy(phase[c] + first, slot->after + first, sizeof(double) * (N - first));
            a.release();
        } else {
            if (!ours && a.working_on(c)) a.stop();
            samples[c] = channel_samples<N, Mode>(e.caches, c, phase[c], base, offset[c], volume, w);
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

// Renders a block the work ahead has no part in, keeping it in step: a
// block it has is handed back, one it was to compute is said to be done.
template <class Render>
void beside_work_ahead(RenderState& s, double base, double beat, Render render) {
    WorkAhead& a = s.engine.get().ahead;
    double* phase[2] = {s.left_phase, s.right_phase};
    const double offset[2] = {0.0, beat};
    const ChannelKey key{clamp_partials(s.harmonics), s.mode == SampleMode::clean, s.volume, base, 0.0};
    const WorkAhead::Slot* slot[2];
    bool ours[2];
    for (int c = 0; c < 2; ++c) {
        ChannelKey k = key;
        k.offset = offset[c];
        slot[c] = a.next(c, k, phase[c], ours[c]);
        if (!ours[c] && a.working_on(c)) a.stop();
    }
    render();
    for (int c = 0; c < 2; ++c) {
        if (slot[c])
            a.release();
        else if (ours[c])
            a.skipped(phase[c]);
    }
}

// A clean block after a change: the volume glides from the block before's,
// and where the partial count changed, the half sums of the old count and
// the new are crossfaded, every partial's phase running on.
void change_block(RenderState& s, unsigned char* out, double base, double beat, double from, int n_from) {
    const int n = clamp_partials(s.harmonics);
    const int low = n < n_from ? n : n_from, high = n < n_from ? n_from : n;
    double* phase[2] = {s.left_phase, s.right_phase};
    const double offset[2] = {0.0, beat};
    Engine& e = s.engine.get();
    for (int c = 0; c < 2; ++c) {
        double step[max_partials];
        for (int k = 0; k < high; ++k) step[k] = partial_step(k, base, offset[c]);
        // The sums of the partials both counts have, and of those only one has.
        std::int32_t shared[frames_per_block] = {}, more[frames_per_block] = {};
        if (low > 0) sum_functions[low](phase[c], step, 0, shared);
        if (high > low) sum_functions[high - low](phase[c] + low, step + low, low, more);
        const Kernel& kern = kernel();
        if (n == n_from && kern.glide && levels_in_vectors(kern, from) && levels_in_vectors(kern, s.volume)) {
            kern.glide(shared, e.caches.split[c], from, s.volume);
        } else {
            for (int f = 0; f < frames_per_block; ++f) {
                const std::int32_t was = half_of(n_from == high ? shared[f] + more[f] : shared[f]);
                const std::int32_t now = half_of(n == high ? shared[f] + more[f] : shared[f]);
                const double gain = from != s.volume ? glide_gain(from, s.volume, f) : s.volume;
                e.caches.split[c][f] = static_cast<std::uint16_t>(
                    was == now ? sample<Clean>(now, gain) : clean_level(crossfade(was, now, f), gain));
            }
        }
    }
    interleave(out, e.caches.split[0], e.caches.split[1]);
}

using BlockFunction = void (*)(RenderState&, unsigned char*, double, double);

void silent(RenderState& s, unsigned char* out, double, double) { silent_block(s, out); }

// The block function of each partial count (0 for none), per mode.
template <class Mode>
constexpr BlockFunction block_functions[max_partials + 1] = {
    silent,                render_block<1, Mode>, render_block<2, Mode>, render_block<3, Mode>,
    render_block<4, Mode>, render_block<5, Mode>, render_block<6, Mode>, render_block<7, Mode>,
    render_block<8, Mode>, render_block<9, Mode>, render_block<10, Mode>};


// The work ahead for count blocks; with per above 0 the beat moves by step
// after every per blocks.
void plan_blocks(const RenderState& s, std::int64_t count, double base, double beat, std::int64_t per, double step) {
    int n = clamp_partials(s.harmonics);
    if (count < 2 || n == 0 || !s.listening.plain()) return;
    fill_rows(n);
    bool clean = s.mode == SampleMode::clean;
    WorkAhead& ahead = s.engine.get().ahead;
    // A moving beat leaves whole hertz at once unless it moves by whole hertz.
    bool left_whole = whole_steps(n, base, 0.0);
    bool right_whole = whole_steps(n, base, beat) && (per == 0 || std::floor(step) == step);
    if (!left_whole && !right_whole) {
        // Both channels to compute: the right one on the second thread.
        ChannelFunction fn = clean ? channel_functions<Clean>[n] : channel_functions<Exact>[n];
        ahead.start(1, 0, fn, nullptr, ChannelKey{n, clean, s.volume, base, beat}, s.right_phase, count, per, step);
    } else if (left_whole != right_whole) {
        // One channel to compute: its upper partials on the second thread.
        int c = left_whole ? 1 : 0;
        int first = split_point(n);
        ahead.start(c, first, nullptr, sum_functions[n - first], ChannelKey{n, clean, s.volume, base, c ? beat : 0.0},
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

void delay_work_ahead(const RenderState& s, int microseconds) { s.engine.get().ahead.delay(microseconds); }

void render_blocks(RenderState& s, std::int64_t count, FrameSink& out, double base, double beat) {
    constexpr std::size_t block_bytes = frames_per_block * bytes_per_frame;
    // The mode is chosen here, once per block; the frame loop knows only its own.
    const BlockFunction* functions = s.mode == SampleMode::clean ? block_functions<Clean> : block_functions<Exact>;
    int n = clamp_partials(s.harmonics);
    fill_rows(n);
    const bool plain = s.listening.plain();
    if (count > 1) expect_blocks(s, count, base, beat);
    for (std::int64_t b = 0; b < count && !out.failed(); ++b) {
        unsigned char* p = out.room(block_bytes);
        // The clean mode glides from the block before's settings; the first
        // block of a render starts at its own.
        const bool clean = s.mode == SampleMode::clean && s.rendered;
        const double from = clean ? s.rendered_volume : s.volume;
        const int n_from = clean ? s.rendered_harmonics : n;
        const bool listening_changed = clean && (s.rendered_mode != s.listening.mode ||
                                                 s.rendered_colour != s.listening.colour ||
                                                 !(s.rendered_level == s.listening.level));
        if (listening_changed)
            beside_work_ahead(s, base, beat, [&] { shaped_block(s, p, base, beat); });
        else if (!plain)
            shaped_block(s, p, base, beat);
        else if (from != s.volume || n_from != n)
            beside_work_ahead(s, base, beat, [&] { change_block(s, p, base, beat, from, n_from); });
        else
            functions[n](s, p, base, beat);
        s.rendered = true;
        s.rendered_volume = s.volume;
        s.rendered_harmonics = n;
        s.rendered_mode = s.listening.mode;
        s.rendered_colour = s.listening.colour;
        s.rendered_level = s.listening.level;
        out.commit(block_bytes);
    }
}

}  // namespace render
