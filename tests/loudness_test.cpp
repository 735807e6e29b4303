// The loudness meter, the gain rule and the measuring pass, on signals whose
// loudness and peaks are known.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ebur128.h>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interpreter.h"
#include "loudness.h"
#include "loudness_run.h"
#include "measure.h"
#include "memory_sink.h"

using namespace sound;

namespace {

std::vector<std::int16_t> sine(double hz, double amplitude, std::size_t frames) {
    std::vector<std::int16_t> v(2 * frames);
    for (std::size_t i = 0; i < frames; ++i)
        v[2 * i] = v[2 * i + 1] = static_cast<std::int16_t>(
            std::lround(amplitude * 32767.0 * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / 44100.0)));
    return v;
}

void feed(LoudnessMeter& m, const std::vector<std::int16_t>& v) {
    for (std::size_t f = 0; f < v.size() / 2; f += LoudnessMeter::max_piece) {
        std::size_t n = std::min(LoudnessMeter::max_piece, v.size() / 2 - f);
        m.add(v.data() + 2 * f, n);
    }
}

// libebur128's own true peak over everything, for comparison.
double plain_true_peak(const std::vector<std::int16_t>& v) {
    ebur128_state* st = ebur128_init(2, 44100, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(st, v.data(), v.size() / 2);
    double best = 0.0;
    for (unsigned c = 0; c < 2; ++c) {
        double p = 0.0;
        ebur128_true_peak(st, c, &p);
        best = std::max(best, p);
    }
    ebur128_destroy(&st);
    return best;
}

// The measuring pass with every block's volume scaled, as the render
// after it makes its blocks.
struct GainSink : render::BlockSink {
    render::MeasureSink meter{measure_all, false};
    double gain = 1.0;
    void blocks(render::RenderState& state, std::int64_t count, double base, double beat) override {
        render::ScaledVolume scaled(state, gain);
        meter.blocks(state, count, base, beat);
    }
};

sound::Loudness measure_text(const std::string& text, double gain = 1.0) {
    render::build_sine_table();
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    render::RenderState s;
    s.mode = render::SampleMode::clean;
    GainSink sink;
    sink.gain = gain;
    render::run_sequence(f, s, sink);
    std::fclose(f);
    EXPECT_NEAR(s.volume, 20.0, 1e-9);   // the state's own volume went on from the fade
    return sink.meter.result();
}

}  // namespace

TEST(Loudness, SineReadsItsLevel) {
    // A 997 Hz sine at -20 dBFS in both channels reads -20 LUFS (BS.1770's
    // calibration), with its peak at -20 dB.
    LoudnessMeter m(measure_all);
    feed(m, sine(997.0, 0.1, 44100 * 10));
    Loudness r = m.result();
    EXPECT_NEAR(r.integrated, -20.0, 0.1);
    EXPECT_NEAR(to_db(r.sample_peak), -20.0, 0.05);
    EXPECT_NEAR(to_db(r.true_peak), -20.0, 0.05);
    EXPECT_NEAR(r.range, 0.0, 0.1);
}

TEST(Loudness, SilenceAndEmpty) {
    LoudnessMeter m(measure_all);
    EXPECT_TRUE(std::isinf(m.result().integrated));
    feed(m, std::vector<std::int16_t>(2 * 44100 * 3, 0));
    Loudness r = m.result();
    EXPECT_TRUE(std::isinf(r.integrated) && r.integrated < 0);
    EXPECT_EQ(r.true_peak, 0.0);
    EXPECT_TRUE(loudness_gain(r, -16).silent);
    EXPECT_EQ(loudness_gain(r, -16).gain, 1.0);
}

TEST(Loudness, TruePeakOfRepeatsIsThePlainOne) {
    // Pieces that repeat (a whole-hertz tone), repeat with a longer period,
    // and never repeat (noise), one after another and mixed: the meter that
    // passes over repeats finds libebur128's peak of everything, exactly.
    std::mt19937 random(7);
    std::vector<std::int16_t> v = sine(300.0, 0.5, 4410 * 30);
    std::vector<std::int16_t> b = sine(7.5, 0.9, 4410 * 40);   // a period of two pieces
    v.insert(v.end(), b.begin(), b.end());
    for (int i = 0; i < 4410 * 2 * 10; ++i) v.push_back(static_cast<std::int16_t>(random() % 20000) - 10000);
    std::vector<std::int16_t> c = sine(300.0, 0.95, 4410 * 20);
    v.insert(v.end(), c.begin(), c.end());
    LoudnessMeter m(measure_true_peak);
    feed(m, v);
    EXPECT_EQ(m.result().true_peak, plain_true_peak(v));
    // Pieces of other lengths than a block.
    LoudnessMeter odd(measure_true_peak);
    for (std::size_t f = 0; f < v.size() / 2; f += 1000)
        odd.add(v.data() + 2 * f, std::min<std::size_t>(1000, v.size() / 2 - f));
    EXPECT_EQ(odd.result().true_peak, plain_true_peak(v));
}

TEST(Loudness, EachSelectionMeasuresAsLibebur128OnEverything) {
    // Tones that repeat, a fade and noise, channels apart: whichever
    // measures are asked, each is the value one stereo libebur128 state fed
    // everything gives (the loudness and the peaks are measured on threads
    // of the meter's own, the sample peak by the peak states).
    std::mt19937 random(11);
    std::vector<std::int16_t> v = sine(440.0, 0.3, 4410 * 90);
    for (std::size_t i = 0; i < v.size() / 2; ++i) v[2 * i + 1] = static_cast<std::int16_t>(v[2 * i + 1] / 3);
    for (int i = 0; i < 4410 * 50; ++i) {
        auto fade = static_cast<double>(i) / (4410 * 50);
        v.push_back(static_cast<std::int16_t>(fade * (static_cast<int>(random() % 40000) - 20000)));
        v.push_back(static_cast<std::int16_t>(std::lround(9000.0 * std::sin(i * 0.05))));
    }
    std::vector<std::int16_t> loud = sine(1000.0, 0.8, 4410 * 70);
    v.insert(v.end(), loud.begin(), loud.end());

    ebur128_state* st = ebur128_init(2, 44100, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_SAMPLE_PEAK);
    ebur128_add_frames_short(st, v.data(), v.size() / 2);
    double integrated = 0.0, range = 0.0, sample_peak = 0.0;
    ebur128_loudness_global(st, &integrated);
    ebur128_loudness_range(st, &range);
    for (unsigned c = 0; c < 2; ++c) {
        double p = 0.0;
        ebur128_sample_peak(st, c, &p);
        sample_peak = std::max(sample_peak, p);
    }
    ebur128_destroy(&st);
    double true_peak = plain_true_peak(v);

    for (unsigned measures : {unsigned{measure_all}, unsigned{measure_integrated | measure_true_peak},
                              unsigned{measure_integrated}, unsigned{measure_sample_peak}, unsigned{measure_true_peak}}) {
        LoudnessMeter m(measures);
        ASSERT_TRUE(m.ok());
        feed(m, v);
        Loudness r = m.result();
        SCOPED_TRACE(measures);
        if (measures & measure_integrated) {
            EXPECT_EQ(r.integrated, integrated);
        }
        if (measures & measure_range) {
            EXPECT_EQ(r.range, range);
        }
        if (measures & (measure_sample_peak | measure_true_peak)) {
            EXPECT_EQ(r.sample_peak, sample_peak);
        }
        if (measures & measure_true_peak) {
            EXPECT_EQ(r.true_peak, true_peak);
        }
    }
    // A meter left before its result stops its threads.
    LoudnessMeter left(measure_all);
    feed(left, v);
}

TEST(Loudness, GainToTargetOrPeakLimit) {
    Loudness m;
    m.integrated = -20.0;
    m.true_peak = std::pow(10.0, -10.0 / 20.0);
    LoudnessGain g = loudness_gain(m, -16.0);
    EXPECT_FALSE(g.limited);
    EXPECT_NEAR(to_db(g.gain), 4.0, 1e-9);
    EXPECT_NEAR(g.reached, -16.0, 1e-9);
    // 12 dB would take the peak to +2 dBTP: it stops at -1, 9 dB up.
    g = loudness_gain(m, -8.0);
    EXPECT_TRUE(g.limited);
    EXPECT_NEAR(to_db(g.gain), 9.0, 1e-9);
    EXPECT_NEAR(g.reached, -11.0, 1e-9);
    // Quieter is always allowed.
    g = loudness_gain(m, -30.0);
    EXPECT_FALSE(g.limited);
    EXPECT_NEAR(to_db(g.gain), -10.0, 1e-9);
}

TEST(Loudness, LevelText) {
    EXPECT_EQ(level_text(-16.0), "\u221216.0");
    EXPECT_EQ(level_text(-17.34), "\u221217.3");
    EXPECT_EQ(level_text(-0.04), "0.0");
    EXPECT_EQ(level_text(3.0), "3.0");
    EXPECT_EQ(level_text(-1.0, 0), "\u22121");
    EXPECT_EQ(level_text(-HUGE_VAL), "\u2212inf");
}

TEST(Loudness, ScaledVolumePredictsThePeak) {
    // The gain folded into the clean rule's volume scales the measured true
    // peak and the loudness by the gain, as the gain rule assumes.
    const std::string text = "HARMONICS 4\nSET 7.83\nHOLD 10\nFADE 20 5\nNOISE PINK 10\nHOLD 5\n";
    sound::Loudness plain = measure_text(text);
    for (double volume_gain : {0.5, 1.37}) {
        sound::Loudness scaled = measure_text(text, volume_gain);
        EXPECT_NEAR(to_db(scaled.true_peak), to_db(plain.true_peak * volume_gain), 0.01) << volume_gain;
        EXPECT_NEAR(scaled.integrated, plain.integrated + to_db(volume_gain), 0.02) << volume_gain;
    }
}

TEST(Loudness, VolumesAboveHundredSaturateInTheMeter) {
    // Two seconds of six partials in the clean rule, each from a state of
    // its own: a second block would glide from the volume before.
    render::build_sine_table();
    auto measured = [](double volume) {
        render::RenderState s;
        s.mode = render::SampleMode::clean;
        s.harmonics = 6;
        s.volume = volume;
        auto sink = std::make_unique<render::MeasureSink>(measure_all, false);
        sink->blocks(s, 20, 300.0, 10.0);
        return sink;
    };
    // The clean rule saturates past full scale: the meter sees the words at
    // their limits, and the sink counts them.
    auto loud = measured(150.0);
    EXPECT_GT(loud->full_scale_samples(), 0);
    EXPECT_NEAR(to_db(loud->result().sample_peak), 0.0, 0.01);
    // At volume 40 nothing reaches it.
    EXPECT_EQ(measured(40.0)->full_scale_samples(), 0);
}
