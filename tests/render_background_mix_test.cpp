// The BACKGROUND word through the interpreter, and the mixer on blocks of
// known words: pass-through until a background is set, the glide, the
// level and the volume, saturation, and two files at a change.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "background_mix.h"
#include "interpreter.h"
#include "memory_sink.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {


// A file of one value in both channels at the output rate: no resampling,
// so the mix is exact.
void write_constant(const std::string& path, float value, int frames) {
    SF_INFO info{};
    info.samplerate = render::background_rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    std::vector<float> s(2 * static_cast<std::size_t>(frames), value);
    sf_writef_float(f, s.data(), frames);
    sf_close(f);
}

render::LineEffect apply(const char* text, render::RenderState& s) {
    seq::LineBuffer raw;
    std::snprintf(raw.text, sizeof raw.text, "%s\n", text);
    raw.length = std::strlen(raw.text);
    raw.newline = true;
    render::Segment segment;
    return render::apply_line(raw, seq::parse_line(raw), s, segment);
}

// One block of the same word in every sample, through the mixer.
void block(render::BackgroundMix& mix, const render::RenderState& s, std::int16_t word) {
    mix.prepare(s);
    render::FrameSink& sink = mix.sink();
    const std::size_t n = render::frames_per_block * render::bytes_per_frame;
    unsigned char* p = sink.room(n);
    for (std::size_t i = 0; i < n; i += 2) {
        p[i] = static_cast<unsigned char>(static_cast<std::uint16_t>(word) & 0xff);
        p[i + 1] = static_cast<unsigned char>(static_cast<std::uint16_t>(word) >> 8);
    }
    sink.commit(n);
}

std::int16_t word_at(const MemorySink& out, std::size_t frame, int channel) { return out.word(frame, channel); }

}  // namespace

TEST(BackgroundWord, TheInterpreterSetsTheStateAndCountsChanges) {
    render::RenderState s;
    s.directory = "/music";
    auto e = apply("BACKGROUND 40 rain, light.flac", s);
    EXPECT_TRUE(e.background);
    EXPECT_TRUE(e.changed);
    EXPECT_TRUE(e.fault.empty());
    EXPECT_TRUE(s.background.on);
    EXPECT_EQ(s.background.level, 40.0);
    EXPECT_EQ(s.background.path, "/music/rain, light.flac");
    EXPECT_EQ(s.background.changes, 1u);
    apply("BACKGROUND 250 /x.wav", s);
    EXPECT_EQ(s.background.level, 100.0);   // limited as NOISE's level
    apply("BACKGROUND OFF", s);
    EXPECT_FALSE(s.background.on);
    EXPECT_EQ(s.background.changes, 3u);
    // A refused line changes nothing and says why.
    e = apply("BACKGROUND 30", s);
    EXPECT_TRUE(e.background);
    EXPECT_FALSE(e.changed);
    EXPECT_FALSE(e.fault.empty());
    EXPECT_EQ(s.background.changes, 3u);
}

TEST(BackgroundMix, PassesStraightThroughUntilABackgroundIsSet) {
    MemorySink out;
    render::BackgroundMix mix(out);
    render::RenderState s;
    block(mix, s, 1234);
    EXPECT_FALSE(mix.active());
    EXPECT_EQ(&mix.sink(), &out);
    EXPECT_EQ(word_at(out, 100, 0), 1234);
}

TEST(BackgroundMix, GlidesInAndAddsLevelTimesVolumeSaturating) {
    TempDir dir("ambrise-mix");
    write_constant(dir / "half.wav", 0.5f, 44100);
    MemorySink out;
    render::BackgroundMix mix(out);
    render::RenderState s;
    s.directory = dir.path.string();
    s.volume = 100.0;
    apply("BACKGROUND 50 half.wav", s);
    block(mix, s, 100);
    ASSERT_TRUE(mix.active());
    ASSERT_TRUE(mix.message().empty());
    // 0.5 of full scale at level 50 and volume 100: a quarter of 32767,
    // reached by a straight glide of 2205 frames.
    const double full = 0.25 * 32767;
    EXPECT_NEAR(word_at(out, 0, 0), 100 + static_cast<int>(std::nearbyint(full / 2205)), 1);
    EXPECT_NEAR(word_at(out, 1102, 1), 100 + static_cast<int>(std::nearbyint(full * 1103 / 2205)), 1);
    EXPECT_NEAR(word_at(out, 3000, 0), 100 + static_cast<int>(std::nearbyint(full)), 1);
    // Saturating, not wrapping.
    block(mix, s, 30000);
    EXPECT_EQ(word_at(out, 4410 + 10, 0), 32767);
    // The volume glides across the block from the one before.
    s.volume = 50.0;
    block(mix, s, 0);
    EXPECT_NEAR(word_at(out, 2 * 4410 + 4409, 0), static_cast<int>(std::nearbyint(full / 2)), 1);
    EXPECT_GT(word_at(out, 2 * 4410, 0), static_cast<int>(std::nearbyint(full * 0.99)));
}

TEST(BackgroundMix, ANewFileFadesInWhileTheOldFadesOut) {
    TempDir dir("ambrise-mix");
    write_constant(dir / "up.wav", 0.5f, 44100);
    write_constant(dir / "down.wav", -0.5f, 44100);
    MemorySink out;
    render::BackgroundMix mix(out);
    render::RenderState s;
    s.directory = dir.path.string();
    s.volume = 100.0;
    apply("BACKGROUND 100 up.wav", s);
    block(mix, s, 0);
    apply("BACKGROUND 100 down.wav", s);
    block(mix, s, 0);
    const int full = static_cast<int>(std::nearbyint(0.5 * 32767));
    EXPECT_EQ(word_at(out, 4409, 0), full);
    // Halfway through the crossfade the two cancel; after it, the new one.
    EXPECT_NEAR(word_at(out, 4410 + 1102, 0), 0, 10);
    EXPECT_EQ(word_at(out, 4410 + 3000, 1), -full);
    // OFF glides out to silence.
    apply("BACKGROUND OFF", s);
    block(mix, s, 7);
    EXPECT_NEAR(word_at(out, 2 * 4410, 0), 7 - full + static_cast<int>(std::nearbyint(0.5 * 32767 / 2205)), 1);
    EXPECT_EQ(word_at(out, 2 * 4410 + 2300, 0), 7);
}

TEST(BackgroundMix, AFileThatCannotBeOpenedIsTold) {
    MemorySink out;
    render::BackgroundMix mix(out);
    render::RenderState s;
    s.directory = "/nonexistent-dir";
    apply("BACKGROUND 50 gone.wav", s);
    EXPECT_FALSE(mix.prepare(s));
    EXPECT_NE(mix.message().find("/nonexistent-dir/gone.wav"), std::string::npos);
}
