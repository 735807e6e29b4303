#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interpreter.h"
#include "synth.h"
#include "wav.h"
#include "writer.h"

using namespace render;

namespace {

// Renders through a real Writer into a temporary file and returns the bytes.
struct Capture {
    std::FILE* file = std::tmpfile();
    std::unique_ptr<Writer> out = std::make_unique<Writer>(fileno(file));
    ~Capture() { std::fclose(file); }
    std::vector<unsigned char> bytes() {
        out->flush();
        std::vector<unsigned char> v;
        std::rewind(file);
        int c;
        while ((c = std::getc(file)) != EOF) v.push_back(static_cast<unsigned char>(c));
        return v;
    }
};

std::int16_t word(const std::vector<unsigned char>& b, std::size_t frame, int channel) {
    std::size_t i = frame * 4 + static_cast<std::size_t>(channel) * 2;
    return static_cast<std::int16_t>(b[i] | (b[i + 1] << 8));
}

// Records every block the interpreter asks for.
struct Recorder : BlockSink {
    struct Call { std::int64_t count; double base, beat, volume; int harmonics; };
    std::vector<Call> calls;
    void blocks(RenderState& s, std::int64_t count, double base, double beat) override {
        calls.push_back({count, base, beat, s.volume, s.harmonics});
    }
    std::int64_t total() const {
        std::int64_t t = 0;
        for (auto& c : calls) t += c.count;
        return t;
    }
};

Recorder run(const std::string& text, RenderState& s) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    Recorder r;
    run_sequence(f, s, r);
    std::fclose(f);
    return r;
}

}  // namespace

TEST(RenderTable, AccumulatedAngleEntries) {
    build_sine_table();
    const std::int32_t* t = sine_table();
    EXPECT_EQ(2.0 * M_PI / 44100.0, 0.00014247585730565955);
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[1], 4);
    EXPECT_EQ(t[300], 1400);
    EXPECT_EQ(t[11025], 32768);
    EXPECT_EQ(t[22050], -1);
    EXPECT_EQ(t[33075], -32768);
}

TEST(RenderSynth, FirstFramesAtTheDefaults) {
    build_sine_table();
    RenderState s;
    Capture c;
    render_blocks(s, 1, *c.out, s.base_hz, s.beat_hz);
    auto b = c.bytes();
    ASSERT_EQ(b.size(), 17640u);
    EXPECT_EQ(word(b, 0, 0), 17548);
    EXPECT_EQ(word(b, 0, 1), 17569);
    EXPECT_EQ(word(b, 1, 0), 18695);
    EXPECT_EQ(word(b, 1, 1), 18737);
    EXPECT_EQ(word(b, 2, 0), 19810);
    EXPECT_EQ(word(b, 2, 1), 19872);
    EXPECT_EQ(b[0], 0x8C);
    EXPECT_EQ(b[1], 0x44);
    EXPECT_EQ(b[2], 0xA1);
    EXPECT_EQ(b[3], 0x44);

    // The per-frame functions give the same frames as the block renderer.
    RenderState p;
    for (std::size_t f = 0; f < 4410; ++f) {
        advance_phases(p.left_phase, 3, 300, 0.0);
        advance_phases(p.right_phase, 3, 300, 10);
        ASSERT_EQ(static_cast<std::int16_t>(mix_channel(p.left_phase, 3, 50)), word(b, f, 0));
        ASSERT_EQ(static_cast<std::int16_t>(mix_channel(p.right_phase, 3, 50)), word(b, f, 1));
    }
    for (int k = 0; k < 3; ++k) EXPECT_EQ(p.left_phase[k], s.left_phase[k]);
}

TEST(RenderSynth, CountsLevelsAndWraps) {
    build_sine_table();
    RenderState s;
    {
        Capture c;
        render_blocks(s, 0, *c.out, 300, 10);
        render_blocks(s, -5, *c.out, 300, 10);
        EXPECT_TRUE(c.bytes().empty());
    }
    // Two calls of 5 blocks are one call of 10.
    RenderState a, b;
    Capture ca, cb;
    render_blocks(a, 5, *ca.out, 300, 10);
    render_blocks(a, 5, *ca.out, 300, 10);
    render_blocks(b, 10, *cb.out, 300, 10);
    EXPECT_EQ(ca.bytes(), cb.bytes());

    // No partials: the silent level, 0x8000 at volume 100.
    RenderState z;
    z.harmonics = -2;
    z.volume = 100;
    Capture cz;
    render_blocks(z, 1, *cz.out, 300, 10);
    auto bz = cz.bytes();
    EXPECT_EQ(word(bz, 0, 0), -32768);
    EXPECT_EQ(word(bz, 4409, 1), -32768);
    EXPECT_EQ(mix_channel(z.left_phase, 0, 50), 16384);

    // Volume 0 is all zero whatever the partials.
    RenderState q;
    q.volume = 0;
    Capture cq;
    render_blocks(q, 1, *cq.out, 300, 10);
    for (unsigned char v : cq.bytes()) ASSERT_EQ(v, 0);

    // Lowered and raised partials resume from their phases.
    RenderState h;
    advance_phases(h.left_phase, 3, 300, 0);
    double kept = h.left_phase[2];
    advance_phases(h.left_phase, 1, 300, 0);
    EXPECT_EQ(h.left_phase[2], kept);

    // Negative and non-finite frequencies stay inside the table.
    RenderState n;
    for (int i = 0; i < 1000; ++i) advance_phases(n.left_phase, 9, -1234.5, -7);
    for (int k = 0; k < 9; ++k) {
        EXPECT_GE(n.left_phase[k], 0.0);
        EXPECT_LT(n.left_phase[k], 44100.0);
    }
    advance_phases(n.right_phase, 9, 1e308, 0);   // 2^k x base overflows
    advance_phases(n.right_phase, 9, std::nan(""), 0);
    for (int k = 0; k < 9; ++k) EXPECT_EQ(n.right_phase[k], 0.0);
    advance_phases(n.right_phase, 1, -1e-300, 0);  // wraps to just below 44100, or 0
    EXPECT_LT(n.right_phase[0], 44100.0);

    // Samples beyond 32 bits clamp instead of overflowing.
    EXPECT_EQ(mix_channel(n.left_phase, 0, 1e300), INT32_MAX);
    EXPECT_EQ(mix_channel(n.left_phase, 0, -1e300), INT32_MIN);
}

TEST(RenderInterpreter, TimedCommands) {
    RenderState s;
    Recorder r = run("FADE 100 2\n", s);
    ASSERT_EQ(r.calls.size(), 20u);
    for (std::size_t i = 0; i < 20; ++i) EXPECT_DOUBLE_EQ(r.calls[i].volume, 50 + 2.5 * static_cast<double>(i));
    EXPECT_EQ(r.calls[19].volume, 97.5);
    EXPECT_EQ(s.volume, 100.0);

    RenderState t;
    r = run("SLIDE 20 5\n", t);
    ASSERT_EQ(r.calls.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(r.calls[i].count, 10);
        EXPECT_EQ(r.calls[i].beat, 10.0 + 2.0 * static_cast<double>(i));
    }
    EXPECT_EQ(t.beat_hz, 20.0);

    RenderState u;
    r = run("HOLD 2.9\nhold 5\nHOLD\t5\nHOLD -3\nFADE 50 -2\nSLIDE 5 -1\nHOLD 1e1\nPAUSE\n", u);
    EXPECT_EQ(r.total(), 20 + 10);
    EXPECT_EQ(u.beat_hz, 10.0);
    EXPECT_EQ(u.volume, 50.0);

    RenderState v;
    run("VOLUME 150\nBASE 200\nSET 4\nHARMONICS 12\n", v);
    EXPECT_EQ(v.volume, 100.0);
    EXPECT_EQ(v.base_hz, 200.0);
    EXPECT_EQ(v.beat_hz, 4.0);
    EXPECT_EQ(v.harmonics, 3);
    run("VOLUME -5\nHARMONICS -1\nSET nan\nBASE inf\nFADE inf 2\nVOLUME nan\n", v);
    EXPECT_EQ(v.volume, 0.0);
    EXPECT_EQ(v.harmonics, -1);
    EXPECT_EQ(v.beat_hz, 4.0);
    EXPECT_EQ(v.base_hz, 200.0);

    RenderState w;
    r = run("FADE 150 1\n", w);
    EXPECT_GT(w.volume, 100.0);   // FADE is not limited

    // END and EXIT stop reading; END with a carriage return is no END.
    RenderState e;
    EXPECT_EQ(run("HOLD 1\nEND\r\nHOLD 1\nEXIT\nHOLD 5\n", e).total(), 20);
    EXPECT_EQ(run("HOLD 1\nEND\nHOLD 1\n", e).total(), 10);

    // A count whose tenfold leaves 32 bits is counted in 64.
    BlockCounter big;
    std::FILE* f = std::tmpfile();
    std::fputs("HOLD 300000000\n", f);
    std::rewind(f);
    RenderState g;
    run_sequence(f, g, big);
    std::fclose(f);
    EXPECT_EQ(big.total, 3000000000LL);
}

TEST(WavHeader, CanonicalBytesAndSizes) {
    const unsigned char expected[44] = {
        'R', 'I', 'F', 'F', 0x34, 0xB1, 0x02, 0x00, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
        0x10, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0,
        4, 0, 16, 0, 'd', 'a', 't', 'a', 0x10, 0xB1, 0x02, 0x00};
    WavHeader h = wav_header(176444);
    EXPECT_EQ(std::vector<unsigned char>(h.bytes.begin(), h.bytes.end()),
              std::vector<unsigned char>(expected, expected + 44));
    WavHeader e = wav_header(44);
    EXPECT_EQ(e.bytes[4], 36);
    EXPECT_EQ(e.bytes[40], 0);
    WavHeader zero = wav_header(0);
    for (int i : {4, 5, 6, 7, 40, 41, 42, 43}) EXPECT_EQ(zero.bytes[i], 0);
}

TEST(WavHeader, Rf64AboveTheLimit) {
    // 24347 seconds still fit the 44-byte form; 24348 do not.
    std::uint64_t fits = 44 + 176400ull * 24347, over = 44 + 176400ull * 24348;
    EXPECT_FALSE(needs_rf64(fits));
    EXPECT_TRUE(needs_rf64(over));
    EXPECT_FALSE(needs_rf64(0xFFFFFFFFull + 8));
    EXPECT_TRUE(needs_rf64(0xFFFFFFFFull + 9));
    WavHeader last = wav_header(fits);
    EXPECT_EQ(last.bytes[4] | last.bytes[5] << 8 | last.bytes[6] << 16 | static_cast<std::uint32_t>(last.bytes[7]) << 24,
              fits - 8);

    std::uint64_t size = 80 + 176400ull * 28800;   // eight hours
    auto h = rf64_header(size);
    auto u32 = [&](int o) { return h[o] | h[o + 1] << 8 | h[o + 2] << 16 | static_cast<std::uint32_t>(h[o + 3]) << 24; };
    auto u64 = [&](int o) { return u32(o) | static_cast<std::uint64_t>(u32(o + 4)) << 32; };
    EXPECT_EQ(std::string(h.begin(), h.begin() + 4), "RF64");
    EXPECT_EQ(u32(4), 0xFFFFFFFFu);
    EXPECT_EQ(std::string(h.begin() + 12, h.begin() + 16), "ds64");
    EXPECT_EQ(u32(16), 28u);
    EXPECT_EQ(u64(20), size - 8);
    EXPECT_EQ(u64(28), 176400ull * 28800);
    EXPECT_EQ(u64(36), 44100ull * 28800);
    EXPECT_EQ(std::string(h.begin() + 48, h.begin() + 52), "fmt ");
    EXPECT_EQ(std::string(h.begin() + 72, h.begin() + 76), "data");
    EXPECT_EQ(u32(76), 0xFFFFFFFFu);
    // The format chunk is the same as in the 44-byte form.
    WavHeader w = wav_header(0);
    EXPECT_TRUE(std::equal(h.begin() + 48, h.begin() + 72, w.bytes.begin() + 12));
}
