#include <cmath>
#include <complex>
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "shaping.h"
#include "sequence.h"
#include "spectrum.h"

using namespace seq;
using namespace sound;

namespace {

std::vector<double> noise(NoiseColour colour, std::size_t n, std::uint64_t seed = 7) {
    NoiseSource source(seed);
    std::vector<double> out(n);
    for (double& x : out) x = source.next(colour);
    return out;
}

}  // namespace

TEST(Listening, NamesAreExactUpperCase) {
    NoiseColour c{};
    ListenMode m{};
    EXPECT_TRUE(noise_colour_for("BROWN", c));
    EXPECT_EQ(c, NoiseColour::Brown);
    EXPECT_FALSE(noise_colour_for("brown", c));
    EXPECT_FALSE(noise_colour_for("BROWN\r", c));
    EXPECT_TRUE(listen_mode_for("ISOCHRONIC", m));
    EXPECT_EQ(m, ListenMode::Isochronic);
    EXPECT_FALSE(listen_mode_for("Monaural", m));
    EXPECT_STREQ(listen_mode_name(ListenMode::Monaural), "MONAURAL");
    EXPECT_EQ(noise_level(150), 100.0);
    EXPECT_EQ(noise_level(-3), 0.0);
    EXPECT_EQ(noise_level(NAN), 0.0);
    EXPECT_EQ(command_for("NOISE"), Command::Noise);
    EXPECT_EQ(command_for("MODE"), Command::Mode);
}

// Each colour's slope over octave bands from 50 Hz to 10 kHz, and every
// band within 1 dB of its ideal line.
TEST(Listening, NoiseSpectraHaveTheirSlopes) {
    struct Case {
        NoiseColour colour;
        double slope;   // dB per octave
    } cases[] = {{NoiseColour::White, 0.0}, {NoiseColour::Pink, -3.0}, {NoiseColour::Brown, -6.0}};
    for (const Case& c : cases) {
        std::vector<double> x = noise(c.colour, 1 << 21);
        for (double v : x) ASSERT_TRUE(v >= -1.0 && v <= 1.0);
        double rms = 0;
        for (double v : x) rms += v * v;
        rms = std::sqrt(rms / static_cast<double>(x.size()));
        EXPECT_NEAR(rms, c.colour == NoiseColour::White ? 0.577 : 0.25, 0.03) << noise_colour_name(c.colour);

        test_spectrum::Bands bands = test_spectrum::octave_bands(x, 44100.0, 50.0, 10000.0);
        EXPECT_NEAR(bands.slope, c.slope, 0.25) << noise_colour_name(c.colour);
        std::printf("%s: rms %.4f, slope %.3f dB/octave\n", noise_colour_name(c.colour), rms, bands.slope);
        for (std::size_t i = 0; i < bands.db.size(); ++i)
            EXPECT_NEAR(bands.db[i] - bands.db[0], c.slope * (bands.octave[i] - bands.octave[0]), 1.0)
                << noise_colour_name(c.colour) << " band " << i;
    }
}

TEST(Listening, NoiseIsReproducibleAndChannelsDiffer) {
    EXPECT_EQ(noise(NoiseColour::Pink, 1000, 3), noise(NoiseColour::Pink, 1000, 3));
    Listening a, b;
    a.colour = b.colour = NoiseColour::White;
    a.level = b.level = 10;
    int differ = 0;
    for (int i = 0; i < 1000; ++i) {
        std::int32_t l = 0, r = 0, l2 = 0, r2 = 0;
        a.shape(l, r, 10, 44100, 32767);
        b.shape(l2, r2, 10, 44100, 32767);
        ASSERT_EQ(l, l2);
        ASSERT_EQ(r, r2);
        ASSERT_LE(std::abs(l), 3277);
        differ += l != r;
    }
    EXPECT_GT(differ, 900);
}

TEST(Listening, PlainBinauralLeavesTheSumsAlone) {
    Listening s;
    EXPECT_TRUE(s.plain());
    std::int32_t l = 1234, r = -5678;
    s.shape(l, r, 10, 44100, 32767);
    EXPECT_EQ(l, 1234);
    EXPECT_EQ(r, -5678);
    s.colour = NoiseColour::Pink;   // a colour at level 0 is still silence
    EXPECT_TRUE(s.plain());
    s.shape(l, r, 10, 44100, 32767);
    EXPECT_EQ(l, 1234);
}

TEST(Listening, MonauralPutsBothTonesInBothEars) {
    Listening s;
    s.mode = ListenMode::Monaural;
    std::int32_t l = 1001, r = -4000;
    s.shape(l, r, 10, 44100, 32767);
    EXPECT_EQ(l, -1499);
    EXPECT_EQ(r, -1499);
}

// On half a cycle, off half a cycle, edges of raised cosine: the period is
// 1/beat and no gain step exceeds the edge's steepest slope.
TEST(Listening, IsochronicEnvelope) {
    const double rate = 44100, beat = 10;
    PulseEnvelope env;
    std::vector<double> g(static_cast<std::size_t>(rate));
    for (double& x : g) x = env.next(beat, rate);
    double on = 0;
    for (double x : g) on += x;
    EXPECT_NEAR(on / rate, 0.5 - PulseEnvelope::edge_seconds * beat, 0.01);   // the edges count half
    // Rising edges: one per cycle, 1/beat apart.
    std::vector<std::size_t> rises;
    for (std::size_t i = 1; i < g.size(); ++i)
        if (g[i - 1] == 0.0 && g[i] > 0.0) rises.push_back(i);
    ASSERT_EQ(rises.size(), 10u);
    for (std::size_t i = 1; i < rises.size(); ++i) EXPECT_NEAR(static_cast<double>(rises[i] - rises[i - 1]), rate / beat, 1.0);
    double edge_frames = PulseEnvelope::edge_seconds * rate;
    double bound = M_PI / (2 * edge_frames) * 1.01;
    for (std::size_t i = 1; i < g.size(); ++i) ASSERT_LE(std::fabs(g[i] - g[i - 1]), bound) << i;

    // A fast beat shortens the edges to a quarter cycle; a beat of 0 holds.
    PulseEnvelope fast;
    for (int i = 0; i < 1000; ++i) {
        double x = fast.next(400, rate);
        ASSERT_TRUE(x >= 0 && x <= 1);
    }
    PulseEnvelope still;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(still.next(0, rate), 1.0);
    ASSERT_EQ(still.next(NAN, rate), 1.0);
}
