// The renderer's noise and listening modes, measured on rendered frames.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interpreter.h"
#include "spectrum.h"
#include "memory_sink.h"
#include "synth.h"
#include "writer.h"

using namespace render;

namespace {

std::vector<double> channel(const MemorySink& m, int c) {
    std::vector<double> x(m.frames());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = m.word(i, c);
    return x;
}

}  // namespace

// Noise alone (no partials): each colour's slope over octave bands from
// 50 Hz to 10 kHz, every band within 1 dB of the ideal line; the two
// channels independent; the level a share of full scale.
TEST(RenderListening, NoiseColoursHaveTheirSlopes) {
    struct Case {
        const char* colour;
        double slope;
    } cases[] = {{"WHITE", 0.0}, {"PINK", -3.0}, {"BROWN", -6.0}};
    for (const Case& c : cases) {
        MemorySink m = render_text(std::string("HARMONICS 0\nVOLUME 100\nNOISE ") + c.colour + " 50\nHOLD 40\n");
        std::vector<double> left = channel(m, 0), right = channel(m, 1);
        double peak = 0, same = 0;
        for (std::size_t i = 0; i < left.size(); ++i) {
            peak = std::fmax(peak, std::fabs(left[i]));
            same += left[i] == right[i];
        }
        EXPECT_LE(peak, 16384) << c.colour;
        EXPECT_GT(peak, 8000) << c.colour;
        EXPECT_LT(same / static_cast<double>(left.size()), 0.05) << c.colour;
        test_spectrum::Bands b = test_spectrum::octave_bands(left, 44100.0, 50.0, 10000.0);
        std::printf("%s: %.3f dB per octave\n", c.colour, b.slope);
        EXPECT_NEAR(b.slope, c.slope, 0.25) << c.colour;
        for (std::size_t i = 0; i < b.db.size(); ++i)
            EXPECT_NEAR(b.db[i] - b.db[0], c.slope * (b.octave[i] - b.octave[0]), 1.0) << c.colour << " band " << i;
    }
}

// Fixed seeds: the same sequence gives the same frames; NOISE OFF and MODE
// BINAURAL return to the plain tone exactly, as a file without them has it.
TEST(RenderListening, ReproducibleAndOffIsPlain) {
    const std::string noisy = "NOISE PINK 20\nMODE MONAURAL\nHOLD 2\nMODE ISOCHRONIC\nHOLD 1\nNOISE OFF\nMODE BINAURAL\n";
    MemorySink a = render_text(noisy + "HOLD 2\n", SampleMode::exact);
    MemorySink b = render_text(noisy + "HOLD 2\n", SampleMode::exact);
    EXPECT_EQ(a.bytes, b.bytes);
    // The last two seconds equal the plain tone at the same phases.
    MemorySink plain = render_text("HOLD 5\n", SampleMode::exact);
    ASSERT_EQ(plain.bytes.size(), a.bytes.size());
    std::size_t from = 3 * bytes_per_second;
    EXPECT_TRUE(std::equal(a.bytes.begin() + static_cast<long>(from), a.bytes.end(),
                           plain.bytes.begin() + static_cast<long>(from)));
    EXPECT_FALSE(std::equal(a.bytes.begin(), a.bytes.begin() + static_cast<long>(from), plain.bytes.begin()));
}

// Monaural: both ears hear the mean of the two tones, so the channels are
// one and the beat sounds in the air.
TEST(RenderListening, MonauralChannelsAreOne) {
    MemorySink m = render_text("VOLUME 100\nMODE MONAURAL\nHOLD 2\n");
    MemorySink b = render_text("VOLUME 100\nHOLD 2\n");
    for (std::size_t i = 0; i < m.frames(); ++i) {
        ASSERT_EQ(m.word(i, 0), m.word(i, 1)) << i;
        // The mean of the binaural pair's half sums, within the rules' rounding.
        ASSERT_NEAR(m.word(i, 0), (b.word(i, 0) + b.word(i, 1)) / 2.0, 1.5) << i;
    }
}

// Isochronic: the left tone in both ears, on half of each beat cycle and
// exactly silent in the other half; pulses 1/beat apart; no jump between
// samples beyond what the tone and the raised-cosine edge allow.
TEST(RenderListening, IsochronicPulses) {
    const double beat = 10;
    MemorySink m = render_text("VOLUME 100\nSET 10\nMODE ISOCHRONIC\nHOLD 2\n");
    std::vector<std::size_t> starts;
    std::size_t zeros = 0;
    double largest_step = 0;
    for (std::size_t i = 0; i < m.frames(); ++i) {
        ASSERT_EQ(m.word(i, 0), m.word(i, 1));
        std::int16_t v = m.word(i, 0);
        if (v == 0) {
            ++zeros;
        } else {
            if (zeros > 500) starts.push_back(i);
            zeros = 0;
        }
        if (i > 0) largest_step = std::fmax(largest_step, std::fabs(v - m.word(i - 1, 0)));
    }
    ASSERT_GE(starts.size(), 15u);
    for (std::size_t i = 1; i < starts.size(); ++i)
        EXPECT_NEAR(static_cast<double>(starts[i] - starts[i - 1]), 44100 / beat, 2.0);
    // The tone's steepest slope (partials at 300, 600, 1200 Hz of half
    // amplitudes 16384, 8192, 5461) plus the edge's on a full swing.
    double tone = 2 * M_PI / 44100 * (16384 * 300.0 + 8192 * 600.0 + 5461 * 1200.0);
    double edge = 30037 * M_PI / (2 * sound::PulseEnvelope::edge_seconds * 44100);
    std::printf("largest step %.0f, bound %.0f\n", largest_step, tone + edge + 2);
    EXPECT_LE(largest_step, tone + edge + 2);
}
