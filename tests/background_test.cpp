// Background files through the real libraries: files made here with
// libsndfile, looped, resampled and measured; damaged files; the ring under
// a producer that is too slow; the gain's glide.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "background.h"
#include "ring.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr double pi = 3.14159265358979323846;


void write_sound(const std::string& path, int format, int rate, int channels, const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
    sf_close(f);
}

std::vector<float> sine(int rate, double frequency, double amplitude, std::int64_t frames) {
    std::vector<float> s(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<float>(amplitude * std::sin(2 * pi * frequency * static_cast<double>(i) / rate));
    return s;
}

std::vector<float> pull(sound::BackgroundSource& s, std::size_t frames) {
    std::vector<float> out(2 * frames);
    // Odd read sizes: the loop and the resampler keep their place across reads.
    for (std::size_t done = 0, n = 1; done < frames; done += n, n = n * 7 % 1001 + 1) {
        n = std::min(n, frames - done);
        s.read(out.data() + 2 * done, n);
    }
    return out;
}

std::unique_ptr<sound::BackgroundSource> open(const std::string& path, int rate = 44100) {
    std::string message;
    auto s = sound::BackgroundSource::open_file(path, rate, message);
    EXPECT_TRUE(s) << message;
    return s;
}

// A 1 kHz sine of 0.75 s and a third of a cycle at 48 kHz: 36016 frames,
// so the loop's crossfade is a quarter of it. Equal power keeps the level
// of uncorrelated sound; for a sine the sum depends on how the phases meet,
// and here the loop (L - C = 27012 frames, 562.75 cycles) meets them in
// quadrature, where equal power is exact too: any fault of the loop shows.
TEST(BackgroundSource, LoopedSineIsResampledSeamless) {
    TempDir dir("ambrise-background");
    const double amplitude = 0.5;
    const std::int64_t length = 36016;
    write_sound(dir / "sine.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 1, sine(48000, 1000, amplitude, length));
    auto s = open(dir / "sine.flac");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->info().rate, 48000);
    EXPECT_EQ(s->info().frames, length);
    EXPECT_EQ(s->file().crossfade_frames(), length / 4);

    // Four seconds: the first pass and five loop points.
    const std::size_t frames = 4 * 44100;
    std::vector<float> out = pull(*s, frames);
    std::vector<double> left(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        left[i] = out[2 * i];
        ASSERT_EQ(out[2 * i], out[2 * i + 1]) << "mono plays in both ears, frame " << i;
    }

    // Frequency from the first and last upward zero crossings, interpolated:
    // exact between loop points (0.2 to 0.55 s is the first pass's middle);
    // across them a loop of 562.75 cycles plays as 563, 0.44 Hz higher.
    auto frequency_in = [&](std::size_t from, std::size_t to) {
        double first = -1, last = -1;
        int crossings = 0;
        for (std::size_t i = from + 1; i < to; ++i)
            if (left[i - 1] < 0 && left[i] >= 0) {
                double t = static_cast<double>(i - 1) + left[i - 1] / (left[i - 1] - left[i]);
                if (first < 0) first = t;
                last = t;
                ++crossings;
            }
        return (crossings - 1) / ((last - first) / 44100.0);
    };
    const double frequency = frequency_in(8820, 24255);
    EXPECT_NEAR(frequency, 1000.0, 0.01);
    EXPECT_NEAR(frequency_in(0, frames), 1000.0, 0.5);
    // The level in every 10 ms (ten whole cycles), after the resampler's first.
    const double expected = 20 * std::log10(amplitude / std::sqrt(2.0));
    for (std::size_t w = 441; w + 441 <= frames; w += 441) {
        double sum = 0;
        for (std::size_t i = w; i < w + 441; ++i) sum += left[i] * left[i];
        EXPECT_NEAR(10 * std::log10(sum / 441), expected, 0.5) << "window at frame " << w;
    }

    // No step larger than the sine's own: 2 A sin(pi f / rate), with 1 % for
    // the resampler's ripple; the crossfade's gains add 0.03 %.
    const double allowed = 2 * amplitude * std::sin(pi * 1000 / 44100) * 1.01;
    double largest = 0;
    std::size_t where = 0;
    for (std::size_t i = 1; i < frames; ++i)
        if (std::abs(left[i] - left[i - 1]) > largest) largest = std::abs(left[i] - left[i - 1]), where = i;
    EXPECT_LE(largest, allowed) << "at frame " << where;
    RecordProperty("largest_step", std::to_string(largest) + " of " + std::to_string(allowed));
}

TEST(BackgroundSource, SameFileSameSamplesAndSameRateIsCopied) {
    TempDir dir("ambrise-background");
    std::vector<float> stereo(2 * 10000);
    for (std::size_t i = 0; i < 10000; ++i) {
        stereo[2 * i] = static_cast<float>(0.25 * std::sin(static_cast<double>(i) * 0.05));
        stereo[2 * i + 1] = 0.0f;
    }
    write_sound(dir / "s.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2, stereo);
    auto a = open(dir / "s.wav"), b = open(dir / "s.wav");
    ASSERT_TRUE(a && b);
    std::vector<float> x = pull(*a, 30000), y = pull(*b, 30000);
    EXPECT_EQ(x, y);
    // At its own rate the first pass is the file itself, sides kept, up to the crossfade.
    for (std::size_t i = 0; i < 2 * (10000 - 2500); ++i) ASSERT_EQ(x[i], stereo[i]) << i;

    auto c = open(dir / "s.wav", 11025), d = open(dir / "s.wav", 11025);
    ASSERT_TRUE(c && d);
    std::vector<float> p = pull(*c, 20000), q = pull(*d, 20000);
    EXPECT_EQ(p, q);
    double right = 0;
    for (std::size_t i = 0; i < 20000; ++i) right = std::max(right, double(std::abs(p[2 * i + 1])));
    EXPECT_LT(right, 1e-6) << "the silent right side stays silent";
}

TEST(BackgroundSource, ManyChannelsMixToTwoWithoutClipping) {
    TempDir dir("ambrise-background");
    std::vector<float> six(6 * 4000, 1.0f);
    write_sound(dir / "six.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 6, six);
    auto s = open(dir / "six.wav");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->info().channels, 6);
    std::vector<float> out = pull(*s, 1000);
    EXPECT_NEAR(out[0], 1.0f, 1e-6);
    EXPECT_NEAR(out[1], 1.0f, 1e-6);

    // A file of a few frames loops as it is.
    write_sound(dir / "tiny.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, {0.5f, -0.5f, 0.25f});
    auto t = open(dir / "tiny.wav", 8000);
    ASSERT_TRUE(t);
    std::vector<float> loop = pull(*t, 7);
    EXPECT_FLOAT_EQ(loop[0], 0.5f);
    EXPECT_FLOAT_EQ(loop[6], 0.5f);
    EXPECT_FLOAT_EQ(loop[12], 0.5f);
}

TEST(BackgroundSource, BadFilesGetMessages) {
    TempDir dir("ambrise-background");
    auto message_for = [&](const std::string& path) {
        std::string message;
        auto s = sound::BackgroundSource::open_file(path, 44100, message);
        EXPECT_FALSE(s) << path;
        EXPECT_NE(message.find(path), std::string::npos) << message;
        return message;
    };
    EXPECT_NE(message_for(dir / "missing.flac").find("No such file"), std::string::npos);
    EXPECT_NE(message_for(dir.path.string()).find("not a regular file"), std::string::npos);

    std::ofstream(dir / "text.wav") << "RIFF but nothing that follows is a sound file\n";
    message_for(dir / "text.wav");

    write_sound(dir / "empty.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {});
    EXPECT_NE(message_for(dir / "empty.wav").find("zero frames"), std::string::npos);

    // A FLAC cut in half: its header still promises all of it.
    std::vector<float> music(2 * 96000);
    for (std::size_t i = 0; i < music.size(); ++i) music[i] = static_cast<float>(std::sin(static_cast<double>(i) * 0.01) * 0.3);
    write_sound(dir / "cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2, music);
    fs::resize_file(dir / "cut.flac", fs::file_size(dir / "cut.flac") / 2);
    message_for(dir / "cut.flac");

    // A header with a damaged rate.
    write_sound(dir / "rate.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, std::vector<float>(100, 0.1f));
    {
        std::fstream f(dir / "rate.wav", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(24);
        const char rate[4] = {1, 0, 0, 0};   // 1 Hz
        f.write(rate, 4);
    }
    message_for(dir / "rate.wav");
}

TEST(GainGlide, GlidesOverFiftyMilliseconds) {
    sound::GainGlide g(44100);
    EXPECT_EQ(g.gain(), 0.0);
    g.glide_to(0.3);
    double before = 0;
    for (int i = 0; i < 2205; ++i) {
        double x = g.next();
        ASSERT_GE(x, before);
        ASSERT_LE(x - before, 0.3 / 2205 + 1e-12);
        before = x;
    }
    EXPECT_EQ(g.gain(), 0.3);
    EXPECT_TRUE(g.settled());
    g.glide_to(0.0);   // OFF
    for (int i = 0; i < 2204; ++i) g.next();
    EXPECT_GT(g.gain(), 0.0);
    EXPECT_EQ(g.next(), 0.0);
    EXPECT_DOUBLE_EQ(sound::background_gain(30), 0.3);
}

// A dry ring: silence for what is missing, the rest in order, underruns counted.
TEST(FrameRing, TooSlowProducerGivesSilenceAndUnderruns) {
    sound::FrameRing ring(256);
    EXPECT_EQ(ring.capacity(), 256u);
    std::vector<float> in(2 * 300), out(2 * 128);
    for (std::size_t i = 0; i < 300; ++i) in[2 * i] = in[2 * i + 1] = static_cast<float>(i + 1);
    EXPECT_EQ(ring.write(in.data(), 300), 256u);   // full
    EXPECT_EQ(ring.read(out.data(), 128), 128u);
    EXPECT_EQ(out[254], 128.0f);
    EXPECT_EQ(ring.write(in.data() + 2 * 256, 44), 44u);   // wraps
    EXPECT_EQ(ring.read(out.data(), 128), 128u);
    EXPECT_EQ(ring.read(out.data(), 128), 44u);
    EXPECT_EQ(out[0], 257.0f);
    EXPECT_EQ(out[87], 300.0f);
    EXPECT_EQ(out[88], 0.0f);
    EXPECT_EQ(out[255], 0.0f);
    EXPECT_EQ(ring.underruns(), 1u);
    ring.finish();   // turned off: dry is the end, not an underrun
    ring.read(out.data(), 128);
    EXPECT_EQ(ring.underruns(), 1u);

    // A decoder thread that delivers 64 frames per millisecond, 400 times,
    // against a reader of 128 frames each half millisecond, 400 times: it
    // gets at most half of what it asks for, however the threads run.
    sound::FrameRing slow(1024);
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<float> block(2 * 64);
        float next = 1;
        for (int n = 0; n < 400 && !stop.load(); ++n) {
            for (std::size_t i = 0; i < 64; ++i) block[2 * i] = block[2 * i + 1] = next++;
            std::size_t put = 0;
            while (put < 64 && !stop.load()) put += slow.write(block.data() + 2 * put, 64 - put);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    float expected = 1;
    std::uint64_t short_reads = 0;
    for (int period = 0; period < 400; ++period) {
        std::size_t got = slow.read(out.data(), 128);
        for (std::size_t i = 0; i < 128; ++i) {
            if (i < got) {
                ASSERT_EQ(out[2 * i], expected) << "frames come in order";
                ASSERT_EQ(out[2 * i + 1], expected);
                ++expected;
            } else {
                ASSERT_EQ(out[2 * i], 0.0f);
                ASSERT_EQ(out[2 * i + 1], 0.0f);
            }
        }
        if (got < 128) ++short_reads;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    stop = true;
    producer.join();
    EXPECT_GE(short_reads, 200u);
    EXPECT_EQ(slow.underruns(), short_reads);
}

}  // namespace
