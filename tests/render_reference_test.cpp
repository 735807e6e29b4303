// The block renderer against the plain per-frame formulas: phases advanced
// one frame at a time, one table lookup per partial, the sample rule of the
// mode. Random runs of blocks, split into calls of every size, with the
// steps that repeat (whole hertz), the fractional ones, the negative, the
// huge and the non-finite, and two states taking turns.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/kernel.h"
#include "memory_sink.h"
#include "synth.h"

using namespace render;

namespace {

// The reference: the frame exactly as the formulas give it.
struct Reference {
    RenderState s;
    std::vector<unsigned char> bytes;
    double from = 0;
    int n_from = 0;

    void blocks(std::int64_t count, double base, double beat) {
        int n = s.harmonics <= 0 ? 0 : s.harmonics > max_partials ? max_partials : s.harmonics;
        const std::int32_t* table = sine_table();
        for (std::int64_t f = 0; f < count * frames_per_block; ++f) {
            // The clean mode's volume glides from the block before's, frame
            // by frame, and a change of the partial count crossfades the two
            // counts' half sums over the block; the first block starts at
            // its own settings.
            const int i = static_cast<int>(f % frames_per_block);
            if (i == 0) {
                from = s.rendered ? s.rendered_volume : s.volume;
                n_from = s.rendered && s.mode == SampleMode::clean ? s.rendered_harmonics : n;
                s.rendered = true;
                s.rendered_volume = s.volume;
                s.rendered_harmonics = n;
            }
            const double gain = from != s.volume ? from + (s.volume - from) * (i + 1) / 4410.0 : s.volume;
            const int stepped = n > n_from ? n : n_from;
            advance_phases(s.left_phase, stepped, base, 0.0);
            advance_phases(s.right_phase, stepped, base, beat);
            std::int32_t value[2];
            for (int c = 0; c < 2; ++c) {
                const PhaseBank& bank = c == 0 ? s.left_phase : s.right_phase;
                std::int32_t sum = 0, was = 0;
                for (int k = 0; k < stepped; ++k) {
                    std::int32_t v = table[static_cast<int>(bank[k])] / (k + 1);
                    if (k < n) sum += v;
                    if (k < n_from) was += v;
                }
                if (n_from != n) {
                    double mix = was / 2 + static_cast<double>(sum / 2 - was / 2) * (i + 1) / 4410.0;
                    value[c] = static_cast<std::int32_t>(std::clamp(std::floor(mix * gain / 100.0), -32768.0, 32767.0));
                } else {
                    value[c] = s.mode == SampleMode::clean ? clean_sample(sum / 2, gain) : exact_sample(sum / 2, s.volume);
                }
                if (s.mode == SampleMode::exact && (value[c] < -32768 || value[c] > 32767)) {
                    ++s.wraps.total;
                    ++s.wraps.by_partials[n];
                }
            }
            for (std::int32_t v : value) {
                bytes.push_back(static_cast<unsigned char>(v & 0xff));
                bytes.push_back(static_cast<unsigned char>((v >> 8) & 0xff));
            }
        }
    }
};

double pick_frequency(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_real_distribution<double> real(0.0, 1.0);
    switch (kind(rng)) {
        case 0: case 1: case 2: return static_cast<double>(std::uniform_int_distribution<int>(0, 450)(rng));
        case 3: return std::round(real(rng) * 4000.0) / 100.0;   // a beat such as 7.83
        case 4: return 100.0 + real(rng) * 300.0;
        case 5: return -real(rng) * 400.0;
        case 6: return 44100.0 * std::uniform_int_distribution<int>(1, 3)(rng) + std::round(real(rng) * 50.0);
        case 7: return std::uniform_int_distribution<int>(0, 1)(rng) ? 44099.5 : 88199.0;
        case 8: return std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? std::numeric_limits<double>::infinity()
                                                                          : 0.5 * std::uniform_int_distribution<int>(0, 900)(rng);
        default: return 300.0;
    }
}

void expect_same(const MemorySink& out, const Reference& ref, const RenderState& s, int segment) {
    ASSERT_EQ(out.used, ref.bytes.size()) << "segment " << segment;
    if (out.used > 0 && std::memcmp(out.bytes.data(), ref.bytes.data(), out.used) != 0) {
        std::size_t i = 0;
        while (out.bytes[i] == ref.bytes[i]) ++i;
        FAIL() << "segment " << segment << ": first different byte " << i << " (frame " << i / 4 << ")";
    }
    EXPECT_EQ(s.wraps.total, ref.s.wraps.total) << "segment " << segment;
    for (int n = 0; n <= max_partials; ++n) EXPECT_EQ(s.wraps.by_partials[n], ref.s.wraps.by_partials[n]);
    EXPECT_EQ(std::memcmp(s.left_phase, ref.s.left_phase, sizeof s.left_phase), 0) << "segment " << segment;
    EXPECT_EQ(std::memcmp(s.right_phase, ref.s.right_phase, sizeof s.right_phase), 0) << "segment " << segment;
}

}  // namespace

TEST(RenderReference, RandomRunsMatchTheFrameFormulas) {
    build_sine_table();
    std::mt19937_64 rng(20261209);
    for (int run = 0; run < 6; ++run) {
        // Two states take turns, so that nothing one of them left behind can
        // stand in for the other's frames.
        RenderState states[2];
        Reference refs[2];
        MemorySink outs[2];
        for (int i = 0; i < 2; ++i) {
            states[i].mode = refs[i].s.mode = (run + i) % 2 ? SampleMode::clean : SampleMode::exact;
        }
        for (int segment = 0; segment < 40; ++segment) {
            int i = std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? 1 : 0;
            RenderState& s = states[i];
            Reference& ref = refs[i];
            if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) {
                int n = std::uniform_int_distribution<int>(-1, 9)(rng);
                s.harmonics = ref.s.harmonics = n;
            }
            if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
                const double volumes[] = {0.0, 50.0, 37.5, 100.0, 41.0, 160.0, 3.3};
                double v = volumes[std::uniform_int_distribution<int>(0, 6)(rng)];
                s.volume = ref.s.volume = v;
            }
            double base = pick_frequency(rng), beat = pick_frequency(rng);
            // Long holds of whole hertz, so that blocks repeat, beside short
            // pieces of anything.
            std::int64_t blocks = std::uniform_int_distribution<int>(0, 2)(rng) == 0
                                      ? std::uniform_int_distribution<int>(11, 34)(rng)
                                      : std::uniform_int_distribution<int>(1, 6)(rng);
            if (blocks > 10 && !(base >= 0 && base <= 450 && base == std::floor(base))) blocks = 4;
            for (std::int64_t done = 0; done < blocks;) {
                std::int64_t piece = std::uniform_int_distribution<std::int64_t>(1, blocks - done)(rng);
                render_blocks(s, piece, outs[i], base, beat);
                done += piece;
            }
            ref.blocks(blocks, base, beat);
            expect_same(outs[i], ref, s, segment);
            if (HasFatalFailure() || HasNonfatalFailure()) return;
        }
    }
}

TEST(RenderReference, RepeatedSecondsKeepPhasesAndWraps) {
    build_sine_table();
    // Whole-hertz steps repeat after a second; fractional ones do not. A
    // volume that wraps shows the count multiplied with the repeats. After
    // each hold the phases must be those of frame-by-frame stepping.
    for (SampleMode mode : {SampleMode::exact, SampleMode::clean})
        for (double base : {300.0, 136.1, 0.0, 256.0})
            for (double beat : {10.0, 7.83, 0.0}) {
                RenderState s;
                Reference ref;
                s.mode = ref.s.mode = mode;
                s.harmonics = ref.s.harmonics = 9;
                s.volume = ref.s.volume = 100.0;
                MemorySink out;
                for (int count : {37, 1, 23}) {
                    for (int b = 0; b < count; ++b) render_blocks(s, 1, out, base, beat);
                    ref.blocks(count, base, beat);
                }
                expect_same(out, ref, s, static_cast<int>(base));
                if (mode == SampleMode::exact && base == 300.0) {
                    EXPECT_GT(s.wraps.total, 0);
                }
            }
}

TEST(RenderReference, StatesTakingTurnsOnOneCycle) {
    build_sine_table();
    // Steps of 10 Hz come back after every block. A state that comes between
    // the blocks of another, with the same parameters but other phases, must
    // not be taken for part of that other state's cycle.
    RenderState a, b;
    Reference ra, rb;
    MemorySink oa, ob;
    render_blocks(b, 1, ob, 136.1, 3.3);
    rb.blocks(1, 136.1, 3.3);
    for (RenderState* s : {&a, &b, &a, &a, &b, &b, &a}) {
        bool first = s == &a;
        render_blocks(*s, 1, first ? oa : ob, 10.0, 0.0);
        (first ? ra : rb).blocks(1, 10.0, 0.0);
    }
    expect_same(oa, ra, a, 0);
    expect_same(ob, rb, b, 1);
}

TEST(RenderReference, WorkAheadMatchesTheFrameFormulas) {
    build_sine_table();
    // A renderer announces each command's blocks and then renders them one
    // at a time. Whole and fractional bases and beats give every kind of
    // work ahead: the right channel (both fractional), the upper partials
    // of one channel (one of them whole), none (both whole). Renders that
    // stop early, a volume changed in the middle, a second state coming in
    // between and announcements that are never followed must all give the
    // frame formulas' bytes.
    std::mt19937_64 rng(91);
    const double bases[] = {136.1, 300.0, 250.5, 87.25, 0.5};
    const double beats[] = {7.83, 10.0, 0.0, 4.4, 2.5};
    RenderState states[2];
    Reference refs[2];
    MemorySink outs[2];
    states[1].mode = refs[1].s.mode = SampleMode::clean;
    for (int segment = 0; segment < 60; ++segment) {
        int i = std::uniform_int_distribution<int>(0, 4)(rng) == 0 ? 1 : 0;
        RenderState& s = states[i];
        Reference& ref = refs[i];
        int n = std::uniform_int_distribution<int>(1, 10)(rng);
        s.harmonics = ref.s.harmonics = n;
        double base = bases[std::uniform_int_distribution<int>(0, 4)(rng)];
        double beat = beats[std::uniform_int_distribution<int>(0, 4)(rng)];
        std::int64_t planned = std::uniform_int_distribution<int>(2, 14)(rng);
        std::int64_t rendered = std::uniform_int_distribution<int>(0, 3)(rng) == 0
                                    ? std::uniform_int_distribution<std::int64_t>(0, planned)(rng)
                                    : planned;
        int turn = std::uniform_int_distribution<int>(0, 5)(rng);
        expect_blocks(s, planned, base, beat);
        for (std::int64_t b = 0; b < rendered; ++b) {
            if (turn == 1 && b == rendered / 2) s.volume = ref.s.volume = s.volume == 50.0 ? 70.0 : 50.0;
            if (turn == 2 && b == rendered / 2) {
                // The other state, same parameters, its own phases.
                RenderState& o = states[1 - i];
                o.harmonics = refs[1 - i].s.harmonics = n;
                o.volume = refs[1 - i].s.volume = s.volume;
                o.mode = s.mode;
                refs[1 - i].s.mode = s.mode;
                render_blocks(o, 1, outs[1 - i], base, beat);
                refs[1 - i].blocks(1, base, beat);
            }
            render_blocks(s, 1, outs[i], base, beat);
            ref.blocks(1, base, beat);
        }
        expect_same(outs[i], ref, s, segment);
        expect_same(outs[1 - i], refs[1 - i], states[1 - i], segment);
        if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
}

TEST(RenderReference, TablePeakInEveryWorkSplit) {
    build_sine_table();
    // The table's peak entry is 32768, one past the 16-bit range: a partial
    // whose phase lands on it must read it whole however the channel's
    // partials are shared out. 295 Hz on the left repeats, 295 + 44099.5 Hz
    // on the right does not, and reaches the peak in its fifth block.
    for (int n = 1; n <= 10; ++n) {
        RenderState s;
        Reference ref;
        s.harmonics = ref.s.harmonics = n;
        s.volume = ref.s.volume = 100.0;
        s.mode = ref.s.mode = SampleMode::clean;
        MemorySink out;
        render_blocks(s, 6, out, 295.0, 44099.5);
        ref.blocks(6, 295.0, 44099.5);
        expect_same(out, ref, s, n);
    }
}

TEST(RenderReference, SlidesPlannedAheadMatchTheFrameFormulas) {
    build_sine_table();
    // A slide is announced whole, then rendered as the renderer renders it:
    // each second announced and rendered a block at a time, the beat moved
    // by the step after it. Slides from whole and fractional beats, by
    // whole and fractional steps, some cut short, one with a volume change.
    std::mt19937_64 rng(7);
    const double bases[] = {300.0, 136.1, 250.0};
    const double beats[] = {10.0, 7.83, 4.0};
    const double steps[] = {-0.01, 1.0, 0.37, 0.0};
    RenderState s;
    Reference ref;
    MemorySink out;
    for (int segment = 0; segment < 24; ++segment) {
        int n = std::uniform_int_distribution<int>(1, 9)(rng);
        s.harmonics = ref.s.harmonics = n;
        double base = bases[std::uniform_int_distribution<int>(0, 2)(rng)];
        double beat = beats[std::uniform_int_distribution<int>(0, 2)(rng)];
        double step = steps[std::uniform_int_distribution<int>(0, 3)(rng)];
        int seconds = std::uniform_int_distribution<int>(2, 5)(rng);
        int played = std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? seconds - 1 : seconds;
        bool change = std::uniform_int_distribution<int>(0, 5)(rng) == 0;
        expect_slide(s, seconds, base, beat, step);
        for (int second = 0; second < played; ++second) {
            if (change && second == 1) s.volume = ref.s.volume = s.volume == 50.0 ? 60.0 : 50.0;
            expect_blocks(s, blocks_per_second, base, beat);
            for (int b = 0; b < blocks_per_second; ++b) {
                render_blocks(s, 1, out, base, beat);
                ref.blocks(1, base, beat);
            }
            beat += step;
        }
        expect_same(out, ref, s, segment);
        if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
}

TEST(RenderReference, VectorAndScalarStepsMatchTheFrameFormulas) {
    build_sine_table();
    // Fractional steps keep the phases from repeating, so every block is
    // computed: with the phases stepped in vector lanes where the processor
    // has them, and with the plain scalar steps. Counts on both sides of
    // the lanes' width, steps that pass the cycle in the same frame, volumes
    // whose samples wrap, are clamped, or are beyond the vectors' range.
    // Volumes whose hundredth is a short binary fraction (50, 75, 100,
    // 3/16384 of 100, negative or zero) take a path without division; their
    // neighbours, and 1/32768 of 100, do not.
    struct Case {
        int n;
        double base, beat, volume;
    };
    const Case cases[] = {{3, 136.1, 7.83, 50.0},
                          {1, 0.75, 0.0, 100.0},
                          {4, 1102.5, 3.3, 160.0},
                          {5, 250.5, 4.4, 41.0},
                          {8, 87.25, 2.5, -20.0},
                          {9, 136.1, 7.83, 50.0},
                          {2, 22050.5, 0.25, 1e6},
                          {3, 300.3, 10.0, 1.5e6},
                          {6, 43.07, 1.1, 3e9},
                          {3, 14700.1, 14700.1, 37.5},
                          {2, 0.001, 1e-3, 0.0},
                          {10, 87.25, 2.5, 100.0},
                          {7, 250.5, 4.4, -50.0},
                          {4, 1102.5, 3.3, 75.0},
                          {3, 136.1, 7.83, 100.0 * 3 / 16384},
                          {3, 136.1, 7.83, 100.0 / 32768},
                          {5, 136.1, 7.83, std::nextafter(50.0, 100.0)},
                          {10, 136.1, 7.83, std::nextafter(100.0, 0.0)},
                          {2, 136.1, 7.83, -0.0}};
    for (const char* name : {"avx512", "avx2", "scalar"}) {
        if (!kernel_available(name)) continue;
        std::string message;
        ASSERT_TRUE(choose_kernel(name, message)) << message;
        for (SampleMode mode : {SampleMode::exact, SampleMode::clean}) {
            int index = 0;
            for (const Case& c : cases) {
                RenderState s;
                Reference ref;
                s.mode = ref.s.mode = mode;
                s.harmonics = ref.s.harmonics = c.n;
                s.volume = ref.s.volume = c.volume;
                MemorySink out;
                render_blocks(s, 5, out, c.base, c.beat);
                ref.blocks(5, c.base, c.beat);
                expect_same(out, ref, s, index++);
                if (HasFatalFailure() || HasNonfatalFailure()) break;
            }
        }
    }
    std::string message;
    choose_kernel(nullptr, message);
}

TEST(RenderReference, ASlowSecondThreadIsCaughtUpExactly) {
    build_sine_table();
    // The second thread held back before each block, as a busy machine
    // holds it: the caller goes on without it, and it starts again from
    // where the caller is. Whole channels, upper partials and a slide, at
    // delays around a block's own time and beyond the caller's patience.
    struct Case {
        int n;
        double base, beat, step;
    };
    const Case cases[] = {{3, 136.1, 7.83, 0.0}, {9, 300.0, 7.83, 0.0}, {3, 300.0, 10.0, -0.01}, {5, 136.1, 4.4, 0.37}};
    for (int delay : {30, 400}) {
        int index = 0;
        for (const Case& c : cases) {
            RenderState s;
            Reference ref;
            s.harmonics = ref.s.harmonics = c.n;
            delay_work_ahead(s, delay);
            MemorySink out;
            double beat = c.beat;
            const int seconds = 3;
            if (c.step != 0.0) expect_slide(s, seconds, c.base, beat, c.step);
            for (int second = 0; second < seconds; ++second) {
                expect_blocks(s, blocks_per_second, c.base, beat);
                for (int b = 0; b < blocks_per_second; ++b) {
                    render_blocks(s, 1, out, c.base, beat);
                    ref.blocks(1, c.base, beat);
                }
                beat += c.step;
            }
            expect_same(out, ref, s, index++);
            if (HasFatalFailure() || HasNonfatalFailure()) break;
        }
    }
}
