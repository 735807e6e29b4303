#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interpreter.h"
#include "memory_sink.h"
#include "synth.h"
#include "writer.h"

using namespace render;

namespace {

// The scalar reference of one channel: the signed half sum of the partials.
std::int32_t reference_half(const PhaseBank& bank, int n) {
    std::int32_t sum = 0;
    for (int k = 0; k < n; ++k) sum += sine_table()[static_cast<int>(bank[k])] / (k + 1);
    return sum / 2;
}

std::int64_t render_text(const std::string& text, RenderState& s, BlockSink& sink) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    run_sequence(f, s, sink);
    std::fclose(f);
    return 0;
}

}  // namespace

TEST(RenderModes, CleanRuleAndReference) {
    build_sine_table();
    // floor(half x volume / 100), saturated: no midpoint.
    EXPECT_EQ(clean_sample(0, 100), 0);
    EXPECT_EQ(clean_sample(-1, 50), -1);
    EXPECT_EQ(clean_sample(30037, 50), 15018);
    EXPECT_EQ(clean_sample(-30037, 50), -15019);
    EXPECT_EQ(clean_sample(46348, 100), 32767);
    EXPECT_EQ(clean_sample(-46348, 100), -32768);
    EXPECT_EQ(clean_sample(1000, 1e300), 32767);
    EXPECT_EQ(exact_sample(0, 50), 16384);

    // Blocks (the first at a new volume uncached, the next ones cached) equal
    // the per-frame reference, for several partial counts and volumes.
    for (int n : {0, 1, 3, 9})
        for (double v : {50.0, 100.0, 37.5}) {
            RenderState s, r;
            s.mode = SampleMode::clean;
            s.harmonics = n;
            s.volume = v;
            MemorySink out;
            render_blocks(s, 3, out, 230, 7);
            for (std::size_t f = 0; f < 3 * 4410; ++f) {
                advance_phases(r.left_phase, n, 230, 0.0);
                advance_phases(r.right_phase, n, 230, 7);
                ASSERT_EQ(out.word(f, 0), clean_sample(reference_half(r.left_phase, n), v)) << n << " " << v << " " << f;
                ASSERT_EQ(out.word(f, 1), clean_sample(reference_half(r.right_phase, n), v)) << n << " " << v << " " << f;
            }
            EXPECT_EQ(s.wraps.total, 0);
        }
}

TEST(RenderModes, ExactWrapCount) {
    build_sine_table();
    // The count equals the samples whose exact value leaves the word, on the
    // uncached first block and the cached ones after it.
    for (int n : {0, 3, 5, 9})
        for (double v : {50.0, 60.0, 100.0, 400.0}) {
            RenderState s, r;
            s.harmonics = n;
            s.volume = v;
            MemorySink out;
            render_blocks(s, 3, out, 200, 10);
            std::int64_t expected = 0;
            for (std::size_t f = 0; f < 3 * 4410; ++f) {
                advance_phases(r.left_phase, n, 200, 0.0);
                advance_phases(r.right_phase, n, 200, 10);
                for (const PhaseBank* bank : {&r.left_phase, &r.right_phase}) {
                    std::int32_t value = mix_channel(*bank, n, v);
                    expected += value < -32768 || value > 32767;
                }
            }
            EXPECT_EQ(s.wraps.total, expected) << n << " " << v;
            EXPECT_EQ(s.wraps.by_partials[n], expected);
        }
    // Three partials wrap above volume 52; none at volume 100 needs no partials
    // above 99; nine partials above 41.
    EXPECT_EQ(highest_unwrapped_volume(3), 52);
    EXPECT_EQ(highest_unwrapped_volume(0), 99);
    EXPECT_EQ(highest_unwrapped_volume(9), 41);
}

namespace {

struct StopAfter : BlockSink {
    std::int64_t seen = 0, limit;
    explicit StopAfter(std::int64_t l) : limit(l) {}
    void blocks(RenderState&, std::int64_t count, double, double) override { seen += count; }
    bool stopped() const override { return seen >= limit; }
};

}  // namespace

TEST(RenderInterpreter, CountsArithmeticallyAndStops) {
    // The dry pass counts the longest lengths at once.
    BlockCounter counter;
    RenderState s;
    render_text("FADE 50 2147483647\nSLIDE 5 2147483647\nHOLD 2147483647\n", s, counter);
    EXPECT_EQ(counter.total, 3 * 21474836470LL);
    EXPECT_EQ(s.volume, 50.0);
    EXPECT_EQ(s.beat_hz, 5.0);

    // A sink that stops ends the run at once, inside a fade or a slide.
    for (const char* text : {"FADE 0 2147483647\nHOLD 5\n", "SLIDE 5 2147483647\nHOLD 5\n", "HOLD 1\nHOLD 1\nHOLD 1\n"}) {
        RenderState t;
        StopAfter stop(10);
        render_text(text, t, stop);
        EXPECT_EQ(stop.seen, 10) << text;
    }
}
