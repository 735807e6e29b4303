#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "audio.h"
#include "background_feed.h"
#include "background_mix.h"
#include "colorbox.h"
#include "options.h"
#include "oscillator.h"
#include "player_reset.h"
#include "temp_dir.h"
#include "test_device.h"

#include <sys/soundcard.h>

namespace {

struct Frame {
    int left, right;
    bool operator==(const Frame&) const = default;
};

// The default stream's rules as they are written down, frame by frame,
// with the parameters of each frame as given.
struct Reference {
    std::vector<std::int32_t> table;
    double left[phase_count] = {}, right[phase_count] = {};
    explicit Reference(unsigned rate = 11025) : table(make_sine_table(rate)) {}
    static void advance(double* bank, int count, double base, double offset) {
        for (int k = 0; k < count && k < phase_count; ++k) bank[k] = std::fmod((std::ldexp(1.0, k) * base + offset) + bank[k], 11025.0);
    }
    int mix(const double* bank, int count, double volume) const {
        int value = 128;
        if (count > 0) {
            int sum = 0;
            for (int k = 0; k < count && k < phase_count; ++k) sum += table[static_cast<int>(std::floor(bank[k]))] / (1 << k);
            value = sum / 2 + 128;
        }
        return static_cast<int>(std::floor(volume * value / 100.0));
    }
    Frame operator()(const Settings& s) {
        advance(left, s.harmonics, s.base, 0.0);
        advance(right, s.harmonics, s.base, s.beat);
        return {mix(left, s.harmonics, s.volume), mix(right, s.harmonics, s.volume)};
    }
};

// The frame pipeline of one stream, its settings `s` loaded before every
// frame (a period of one frame).
struct Frames {
    std::vector<std::int32_t> table;
    std::vector<std::int16_t> hq_table;
    Oscillator osc;
    Settings s;
    explicit Frames(StreamFormat f, bool tables = true)
        : table(f.hq ? std::vector<std::int32_t>{} : make_sine_table(f.rate)),
          hq_table(f.hq ? make_hq_table(f.rate) : std::vector<std::int16_t>{}),
          osc(f, tables && !f.hq ? table.data() : nullptr, tables && f.hq ? hq_table.data() : nullptr) {}
    Frame operator()() {
        osc.load(s);
        std::int32_t l, r;
        osc.frame(l, r);
        return {l, r};
    }
    const double* left() const { return osc.left_phases(); }
    const double* right() const { return osc.right_phases(); }
};

struct DefaultFrames : Frames {
    explicit DefaultFrames(bool tables = true) : Frames({false, 11025}, tables) {}
};

}  // namespace

// ---- command line ----

struct OptionCase {
    std::vector<const char*> args;
    Options::Result result;
    int width, height, harmonics;
    const char* sequence;
};

TEST(PlayerOptions, TheOptionLoop) {
    const OptionCase cases[] = {
        {{}, Options::Run, 0, 0, 3, nullptr},
        {{"-harmonics", "25"}, Options::Run, 0, 0, 10, nullptr},
        {{"-harmonics", "-4"}, Options::Run, 0, 0, -4, nullptr},
        {{"-harmonics", "10"}, Options::Run, 0, 0, 10, nullptr},
        {{"-HARMONICS", "7x"}, Options::Run, 0, 0, 7, nullptr},
        {{"-harmonics", "0", "next"}, Options::Run, 0, 0, 3, "0"},
        {{"-harmonics"}, Options::Run, 0, 0, 3, nullptr},
        {{"-colorbox"}, Options::Run, 640, 480, 3, nullptr},
        {{"-colorbox", "song"}, Options::Run, 640, 480, 3, "song"},
        {{"-colorbox", "300", "200"}, Options::Run, 300, 200, 3, nullptr},
        {{"-colorbox", "300", "0"}, Options::Run, 300, 0, 3, nullptr},
        {{"-colorbox", "300", "-harmonics", "5"}, Options::Run, 300, 0, 3, "5"},
        {{"-colorbox", "-harmonics", "5"}, Options::Run, 640, 480, 5, nullptr},
        {{"-ColorBox", "300"}, Options::Run, 300, 480, 3, nullptr},   // no height word
        {{"-help"}, Options::Help, 0, 0, 3, nullptr},
        {{"-HELP"}, Options::Help, 0, 0, 3, nullptr},
        {{"-Help"}, Options::Help, 0, 0, 3, nullptr},
        {{"-H"}, Options::Help, 0, 0, 3, nullptr},
        {{"-harmonics", "5", "-help"}, Options::Help, 0, 0, 5, nullptr},
        {{"a.seq", "b.seq", "-help"}, Options::Run, 0, 0, 3, "a.seq"},
        {{"-color"}, Options::Unknown, 0, 0, 3, nullptr},
        {{"-"}, Options::Unknown, 0, 0, 3, nullptr},
        {{"--sync"}, Options::Unknown, 0, 0, 3, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("ambrise")};
        std::string joined;
        for (const char* a : c.args) {
            argv.push_back(const_cast<char*>(a));
            joined += std::string(" ") + a;
        }
        Options o = parse_options(static_cast<int>(argv.size()), argv.data(), 3);
        EXPECT_EQ(o.result, c.result) << joined;
        if (c.result != Options::Run) {
            if (c.result == Options::Unknown) {
                EXPECT_STREQ(o.unknown, c.args[0]) << joined;
            } else {
                EXPECT_EQ(o.harmonics, c.harmonics) << joined;
            }
            continue;
        }
        EXPECT_EQ(o.colorbox_width, c.width) << joined;
        EXPECT_EQ(o.colorbox_height, c.height) << joined;
        EXPECT_EQ(o.harmonics, c.harmonics) << joined;
        if (c.sequence) {
            EXPECT_STREQ(o.sequence, c.sequence) << joined;
        } else {
            EXPECT_EQ(o.sequence, nullptr) << joined;
        }
    }
}

TEST(PlayerOptions, UserDirectory) {
    namespace fs = std::filesystem;
    fs::path home = fs::temp_directory_path() / ("ambrise-home-" + std::to_string(getpid()));
    fs::remove_all(home);
    fs::create_directories(home);
    const char* saved = std::getenv("HOME");
    std::string saved_home = saved ? saved : "";
    setenv("HOME", home.c_str(), 1);
    fs::path shared = home / "share";   // not there yet: nothing installed
    fs::path dir = home / ".ambrise", link = dir / "public.seq";

    mode_t old = umask(022);
    make_user_dir(shared.c_str());
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // No collection, no link that would only dangle.
    EXPECT_FALSE(fs::is_symlink(link));

    // Installed later: the next start links to it.
    fs::create_directories(shared);
    make_user_dir(shared.c_str());
    EXPECT_EQ(fs::read_symlink(link), shared);

    // A link left dangling is made again; without the collection it goes.
    fs::remove(link);
    fs::create_symlink(home / "gone", link);
    make_user_dir(shared.c_str());
    EXPECT_EQ(fs::read_symlink(link), shared);
    fs::remove(link);
    fs::create_symlink(home / "gone", link);
    make_user_dir((home / "uninstalled").c_str());
    EXPECT_FALSE(fs::is_symlink(link));

    // A link that leads somewhere, or a file of the user's, stays as it is.
    fs::create_directories(home / "mine");
    fs::create_symlink(home / "mine", link);
    make_user_dir(shared.c_str());
    EXPECT_EQ(fs::read_symlink(link), home / "mine");
    fs::remove(link);
    { std::FILE* f = std::fopen(link.c_str(), "w"); std::fclose(f); }
    make_user_dir(shared.c_str());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(link)));

    // A plain file, or a dangling link, in the directory's place is left alone.
    fs::remove_all(dir);
    { std::FILE* f = std::fopen(dir.c_str(), "w"); std::fclose(f); }
    make_user_dir(shared.c_str());
    EXPECT_TRUE(fs::is_regular_file(dir));
    fs::remove(dir);
    fs::create_symlink(home / "nowhere", dir);
    make_user_dir(shared.c_str());
    EXPECT_FALSE(fs::exists(home / "nowhere"));

    // No HOME, or one too long for the path buffer: nothing, no overflow.
    unsetenv("HOME");
    make_user_dir(shared.c_str());
    std::string long_home = home.string() + "/" + std::string(600, 'x');
    setenv("HOME", long_home.c_str(), 1);
    make_user_dir(shared.c_str());
    std::string edge = "/" + std::string(491, 'y');   // the longest that fits
    setenv("HOME", edge.c_str(), 1);
    make_user_dir(shared.c_str());   // fails quietly: no such directory

    if (saved) setenv("HOME", saved_home.c_str(), 1);
    fs::remove_all(home);
}

// The file dialog's folder: the per-user directory, unless a player run
// from its build tree has no installed collection to show.
TEST(PlayerOptions, DialogFolder) {
    namespace fs = std::filesystem;
    fs::path top = fs::temp_directory_path() / ("ambrise-tree-" + std::to_string(getpid()));
    fs::remove_all(top);
    fs::create_directories(top / "build");
    fs::create_directories(top / "examples");
    fs::create_directories(top / "share");
    std::string build = (top / "build").string(), examples = (top / "examples").string();
    std::string none = (top / "none").string(), shared = (top / "share").string();

    EXPECT_EQ(dialog_pattern(none.c_str(), build.c_str(), build.c_str(), examples.c_str()), examples + "/*.seq");
    // The same directory by another spelling is still the build tree.
    std::string spelled = build + "/.";
    EXPECT_EQ(dialog_pattern(none.c_str(), spelled.c_str(), build.c_str(), examples.c_str()), examples + "/*.seq");
    // Installed collection, an installed program, or no tree beside it.
    EXPECT_EQ(dialog_pattern(shared.c_str(), build.c_str(), build.c_str(), examples.c_str()), "~/.ambrise/*.seq");
    EXPECT_EQ(dialog_pattern(none.c_str(), "/usr/bin", build.c_str(), examples.c_str()), "~/.ambrise/*.seq");
    EXPECT_EQ(dialog_pattern(none.c_str(), build.c_str(), build.c_str(), none.c_str()), "~/.ambrise/*.seq");
    EXPECT_EQ(dialog_pattern(none.c_str(), "", "", ""), "~/.ambrise/*.seq");
    fs::remove_all(top);
}

// ---- oscillator bank ----

TEST(PlayerOscillator, TableEntries) {
    auto t = make_sine_table(11025);
    ASSERT_EQ(t.size(), 22050u);
    for (int i = 0; i <= 13; ++i) EXPECT_EQ(t[i], 0) << i;
    EXPECT_EQ(t[100], 7);
    EXPECT_EQ(t[300], 21);
    EXPECT_EQ(t[2756], 126);
    EXPECT_EQ(t[5512], 0);
    EXPECT_EQ(t[5513], -1);
    EXPECT_EQ(t[8268], -127);
    EXPECT_EQ(t[11024], -1);
    EXPECT_EQ(t[11025], 0);
    EXPECT_EQ(*std::max_element(t.begin(), t.end()), 126);
    EXPECT_EQ(*std::min_element(t.begin(), t.end()), -127);
    // Small rates still cover every phase index.
    EXPECT_EQ(make_sine_table(8000).size(), 16000u);
    EXPECT_GE(make_sine_table(100).size(), 11025u);
    EXPECT_GE(make_sine_table(1).size(), 11025u);
}

TEST(PlayerOscillator, Frames) {
    {
        DefaultFrames f;
        f.s.volume = 100.0;
        EXPECT_EQ(f(), (Frame{159, 159}));
        EXPECT_EQ(f.left()[0], 300.0);
        EXPECT_EQ(f.left()[2], 1200.0);
        EXPECT_EQ(f.right()[1], 610.0);
        EXPECT_EQ(f(), (Frame{184, 185}));
        EXPECT_EQ(f(), (Frame{200, 200}));
    }
    {
        DefaultFrames f;
        f.s.volume = 50.0;
        EXPECT_EQ(f(), (Frame{79, 79}));
    }
    {
        // No partials: the rest level, phases still.
        DefaultFrames f;
        f.s.volume = 50.0;
        f.s.harmonics = 0;
        EXPECT_EQ(f(), (Frame{64, 64}));
        f.s.harmonics = -4;
        EXPECT_EQ(f(), (Frame{64, 64}));
        EXPECT_EQ(f.left()[0], 0.0);
    }
    {
        // Volume 0 is silence whatever the partials.
        DefaultFrames f;
        for (int i = 0; i < 500; ++i) ASSERT_EQ(f(), (Frame{0, 0}));
    }

    // 8, 9 and 10 partials sound like 7; the upper phases still move.
    std::vector<Frame> seven, more;
    for (int n : {7, 8, 9, 10}) {
        DefaultFrames f;
        f.s.volume = 100.0;
        f.s.harmonics = n;
        f.s.base = 950.0;
        std::vector<Frame>& out = n == 7 ? seven : more;
        if (n > 8) more.clear();
        for (int i = 0; i < 2000; ++i) out.push_back(f());
        if (n > 7) {
            EXPECT_EQ(more, seven) << n;
        }
        for (int k = 0; k < n; ++k) {
            EXPECT_GE(f.left()[k], 0.0);
            EXPECT_LT(f.left()[k], 11025.0);
        }
        if (n == 10) {
            EXPECT_NE(f.left()[9], 0.0);
        }
    }
    {
        // Lowered and raised again: the upper partials resume.
        DefaultFrames f;
        f.s.harmonics = 5;
        f();
        double kept = f.left()[3];
        f.s.harmonics = 2;
        f();
        EXPECT_EQ(f.left()[3], kept);
    }
    {
        // Negative and non-finite values stay inside the table.
        DefaultFrames f;
        f.s.volume = 100.0;
        f.s.base = -300.0;
        f.s.beat = -1000.0;
        for (int i = 0; i < 3000; ++i) f();
        f.s.base = INFINITY;
        f();
        f.s.base = NAN;
        f();
        for (int k = 0; k < 3; ++k) EXPECT_EQ(f.right()[k], 0.0);
    }
    {
        // Without a table the frames are the rest level.
        DefaultFrames f(false);
        f.s.volume = 100.0;
        EXPECT_EQ(f(), (Frame{128, 128}));
    }
}

// Whatever changes from one frame to the next, the default stream is the
// written rules' frame for frame: every change heard at once, no glide.
TEST(PlayerOscillator, TheRulesFrameByFrame) {
    DefaultFrames f;
    Reference ref;
    unsigned seed = 7;
    auto next = [&seed](unsigned n) { return (seed = seed * 1103515245u + 12345u) / 65536u % n; };
    for (int i = 0; i < 40000; ++i) {
        if (next(50) == 0) f.s.volume = next(1001) / 10.0;
        if (next(200) == 0) f.s.harmonics = static_cast<int>(next(12));
        if (next(100) == 0) f.s.base = 50 + next(95000) / 100.0;
        if (next(100) == 0) f.s.beat = next(4000) / 100.0;
        ASSERT_EQ(f(), ref(f.s)) << i;
    }
}

// ---- audio thread against the test double ----

namespace {

struct AudioRun {
    TestDevice::Record record;
    std::string out, err;
};

TestDevice::Config device_config;
TestDevice::Record* device_record = nullptr;

std::unique_ptr<SoundDevice> make_test_device() {
    return std::make_unique<TestDevice>(device_config, *device_record);
}

AudioRun run_audio(TestDevice::Config config) {
    AudioRun run;
    device_config = config;
    device_record = &run.record;
    sound_device_factory = make_test_device;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::thread t(audio_thread_main, nullptr);
    t.join();
    run.out = testing::internal::GetCapturedStdout();
    run.err = testing::internal::GetCapturedStderr();
    sound_device_factory = open_sound_device;
    return run;
}

}  // namespace

TEST(PlayerAudio, GrantedDevice) {
    reset_player();
    player.volume.store(100.0);
    TestDevice::Config c;
    c.quit_after_bytes = 2 * 11025 * 2;
    AudioRun r = run_audio(c);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    using R = std::vector<std::pair<std::string, int>>;
    EXPECT_EQ(r.record.requests,
              (R{{"SNDCTL_DSP_SETFRAGMENT", 0x00800004}, {"SNDCTL_DSP_STEREO", 1}, {"SNDCTL_DSP_SPEED", 11025}}));
    // Two seconds of sound, in one-byte writes, left first.
    ASSERT_EQ(r.record.bytes.size(), 2u * 11025 * 2);
    for (std::size_t s : r.record.write_sizes) ASSERT_EQ(s, 1u);
    EXPECT_EQ(player.step_seconds.load(), 2);
    EXPECT_EQ(r.record.bytes[0], 159);
    EXPECT_EQ(r.record.bytes[2], 184);
    EXPECT_EQ(r.record.bytes[3], 185);

    EXPECT_TRUE(r.record.drained);
    // The stream is the bank's frames, frame k after k + 1 advances.
    Reference ref;
    Settings s;
    s.volume = 100.0;
    for (std::size_t k = 0; k < 2 * 11025; ++k) {
        Frame f = ref(s);
        ASSERT_EQ(f.left, r.record.bytes[2 * k]) << k;
        ASSERT_EQ(f.right, r.record.bytes[2 * k + 1]) << k;
    }
}

TEST(PlayerAudio, QuitBeforeTheLoop) {
    reset_player();
    player.quit_audio.store(true);
    AudioRun r = run_audio({});
    EXPECT_EQ(r.record.requests.size(), 3u);
    EXPECT_TRUE(r.record.bytes.empty());
}

TEST(PlayerAudio, DeviceTrouble) {
    // No device: every request fails.
    reset_player();
    TestDevice::Config none;
    none.fragment = none.stereo = none.speed = {-1, EBADF, -1};
    none.quit_after_bytes = 1;
    AudioRun r = run_audio(none);
    EXPECT_EQ(r.err, "SNDCTL_DSP_STEREO: Bad file descriptor\nSNDCTL_DSP_SPEED: Bad file descriptor\n"
                     "ERROR:\aCannot set a sample rate\n");
    EXPECT_EQ(r.out, "no stereo, might as well quit\n");
    EXPECT_EQ(r.record.bytes.size(), 2u * 11025);   // ends at the first count

    // Stereo refused.
    reset_player();
    TestDevice::Config mono;
    mono.stereo = {0, 0, 0};
    mono.quit_after_bytes = 1;
    r = run_audio(mono);
    EXPECT_EQ(r.out, "\aNo sterio support\nStereo support is REQUIRED for this to work!\nno stereo, might as well quit\n");
    EXPECT_EQ(r.err, "");

    // A rate of 0 falls back to 8000: the table has 8000 entries a cycle,
    // and a count still takes 11025 frames.
    reset_player();
    player.volume.store(100.0);
    TestDevice::Config zero;
    zero.speed = {0, 0, 0};
    zero.quit_after_bytes = 1;
    r = run_audio(zero);
    EXPECT_EQ(r.err, "ERROR:\aCannot set a sample rate\n");
    EXPECT_EQ(player.step_seconds.load(), 1);
    Reference ref8000(8000);
    Settings loud;
    loud.volume = 100.0;
    for (std::size_t k = 0; k < 11025; ++k) {
        Frame f = ref8000(loud);
        ASSERT_EQ(f.left, r.record.bytes[2 * k]) << k;
        ASSERT_EQ(f.right, r.record.bytes[2 * k + 1]) << k;
    }

    // A granted rate of 8000: no message, the same table.
    reset_player();
    player.volume.store(100.0);
    TestDevice::Config low;
    low.speed = {0, 0, 8000};
    low.quit_after_bytes = 1;
    AudioRun r8 = run_audio(low);
    EXPECT_EQ(r8.err, "");
    EXPECT_EQ(r8.record.bytes, r.record.bytes);

    // A failed rate request.
    reset_player();
    TestDevice::Config failed;
    failed.speed = {-1, EINVAL, -1};
    failed.quit_after_bytes = 1;
    r = run_audio(failed);
    EXPECT_EQ(r.err, "SNDCTL_DSP_SPEED: Invalid argument\nERROR:\aCannot set a sample rate\n");
}

// ---- color box arithmetic ----

TEST(ColorBox, DistanceAndColour) {
    EXPECT_EQ(phase_distance(0, 0, 0), 0.0);
    EXPECT_EQ(phase_distance(100, 100, 0), 0.0);
    EXPECT_DOUBLE_EQ(phase_distance(0, 5512.5, 0), 0.5);
    EXPECT_DOUBLE_EQ(phase_distance(0, 2756.25, 0), 0.25);
    EXPECT_DOUBLE_EQ(phase_distance(10000, 500, 0), (11025.0 - 10000 + 500) / 11025);   // around the cycle
    EXPECT_DOUBLE_EQ(phase_distance(0, 0, 0.25), 0.25);
    EXPECT_EQ(phase_distance(0, 0, 0.5), phase_distance(0, 0, -0.5));
    EXPECT_DOUBLE_EQ(phase_distance(0, 0, -0.5), 0.5);
    EXPECT_DOUBLE_EQ(phase_distance(11024.9, 0, -0.5), phase_distance(11024.9, 0, 0.5));

    Rgb green = color_for_distance(0), olive = color_for_distance(0.25), red = color_for_distance(0.5);
    EXPECT_EQ(green.red, 0);
    EXPECT_EQ(green.green, 65535);
    EXPECT_EQ(olive.red, 32767);
    EXPECT_EQ(olive.green, 32767);
    EXPECT_EQ(red.red, 65535);
    EXPECT_EQ(red.green, 0);
    EXPECT_EQ(red.blue, 0);
    for (double d = 0; d <= 0.5; d += 0.001) {
        Rgb c = color_for_distance(d);
        EXPECT_LE(std::abs(c.red + c.green - 65535), 1) << d;
    }
}

// ---- the high-quality stream ----

TEST(PlayerOptions, HighQuality) {
    auto parse = [](std::vector<const char*> args) {
        std::vector<char*> argv{const_cast<char*>("ambrise")};
        for (const char* a : args) argv.push_back(const_cast<char*>(a));
        return parse_options(static_cast<int>(argv.size()), argv.data(), 3);
    };
    EXPECT_FALSE(parse({}).hq);
    EXPECT_TRUE(parse({"-hq"}).hq);
    Options o = parse({"-HQ", "-harmonics", "5", "a.seq"});
    EXPECT_TRUE(o.hq);
    EXPECT_EQ(o.harmonics, 5);
    EXPECT_STREQ(o.sequence, "a.seq");
    o = parse({"-colorbox", "-Hq"});   // a word without a number: no size
    EXPECT_TRUE(o.hq);
    EXPECT_EQ(o.colorbox_width, 640);
    EXPECT_EQ(parse({"-hqx"}).result, Options::Unknown);
    EXPECT_EQ(parse({"-h"}).result, Options::Help);
    EXPECT_FALSE(parse({"a.seq", "-hq"}).hq);
}

namespace {

// The table entry the high-quality stream reads, from its definition.
std::int32_t hq_entry(unsigned n, double phase) {
    return static_cast<std::int32_t>(std::lround(32767.0 * std::sin(2 * M_PI * std::floor(phase) / n)));
}

struct HqFrames : Frames {
    explicit HqFrames(unsigned rate, bool tables = true) : Frames({true, rate}, tables) {}
};

}  // namespace

TEST(PlayerHq, Table) {
    for (unsigned n : {44100u, 48000u, 8000u, 11025u, 7u}) {
        auto t = make_hq_table(n);
        ASSERT_EQ(t.size(), n);
        long long sum = 0;
        for (unsigned i = 0; i < n; ++i) {
            sum += t[i];
            ASSERT_LE(std::abs(t[i] - hq_entry(n, i)), 1) << n << " " << i;
            if (i > 0) {
                ASSERT_EQ(t[i], -t[n - i]) << n << " " << i;
            }
        }
        EXPECT_EQ(sum, 0) << n;
        EXPECT_EQ(t[0], 0);
        if (n % 4 == 0) {
            EXPECT_EQ(*std::max_element(t.begin(), t.end()), 32767) << n;
        }
    }
}

TEST(PlayerHq, Frames) {
    HqFrames f(44100);
    f.s.volume = 100.0;
    // The defaults: left 300, 600 and 1200 Hz, right 310, 610 and 1210 Hz.
    for (int k = 1; k <= 3; ++k) {
        Frame got = f();
        double lp = 300.0 * k, rp = 310.0 * k;
        std::int32_t ls = hq_entry(44100, lp) + hq_entry(44100, 2 * lp) / 2 + hq_entry(44100, 4 * lp) / 4;
        std::int32_t rs = hq_entry(44100, rp) + hq_entry(44100, 2 * rp - 10 * k) / 2 + hq_entry(44100, 4 * rp - 30 * k) / 4;
        EXPECT_EQ(got, (Frame{ls / 2, rs / 2})) << k;
    }
    EXPECT_EQ(f.left()[2], 3600.0);
    EXPECT_EQ(f.right()[1], 3 * 610.0);

    // The rule: half the sum, truncated, then floored after the volume.
    EXPECT_EQ(hq_sample(3, 50), 0);     // 1 * 0.5
    EXPECT_EQ(hq_sample(-3, 50), -1);   // -1 * 0.5
    EXPECT_EQ(hq_sample(65532, 100), 32766);
    EXPECT_EQ(hq_sample(-65532, 100), -32766);
    EXPECT_EQ(hq_sample(-65532, 1e9), -32768);   // clamped
    EXPECT_EQ(hq_sample(1000, NAN), 0);
    for (double v : {0.0, 0.5, 50.0, 100.0}) EXPECT_EQ(hq_sample(0, v), 0) << v;   // no midpoint

    // Every partial at its exact frequency at any rate: rising zero crossings
    // of one partial over one second, and no offset in its mean.
    for (unsigned rate : {44100u, 48000u, 22050u}) {
        HqFrames g(rate);
        g.s.volume = 100.0;
        g.s.harmonics = 1;
        g.s.base = 441.0;
        int crossings = 0;
        long long sum = 0;
        Frame prev = g();
        for (unsigned i = 1; i <= rate; ++i) {
            Frame cur = g();
            crossings += prev.left < 0 && cur.left >= 0;
            sum += cur.left;
            prev = cur;
        }
        EXPECT_EQ(crossings, 441) << rate;
        EXPECT_LE(std::llabs(sum), static_cast<long long>(rate) / 100) << rate;
    }

    // All ten partials count; with none, silence.
    HqFrames z(44100);
    z.s.volume = 100.0;
    z.s.harmonics = 0;
    EXPECT_EQ(z(), (Frame{0, 0}));
    HqFrames none(44100, false);
    none.s.volume = 100.0;
    EXPECT_EQ(none(), (Frame{0, 0}));
}

TEST(PlayerHq, VolumeRamp) {
    VolumeRamp ramp(441);
    EXPECT_EQ(ramp.next(50), 50);   // the first volume is taken as it is
    EXPECT_EQ(ramp.next(50), 50);
    // A new volume: equal steps, one a frame, landing on it at frame 441.
    double prev = 50;
    for (int i = 1; i <= 441; ++i) {
        double v = ramp.next(50.5);
        ASSERT_NEAR(v - prev, 0.5 / 441, 1e-12) << i;
        prev = v;
    }
    EXPECT_EQ(prev, 50.5);
    EXPECT_EQ(ramp.next(50.5), 50.5);
    // A new volume during a glide glides on from where it stands.
    for (int i = 0; i < 100; ++i) ramp.next(0);
    double at = ramp.next(100);
    double expected_step = (100 - (50.5 - 100 * 50.5 / 441)) / 441;
    EXPECT_NEAR(at, 50.5 - 100 * 50.5 / 441 + expected_step, 1e-9);
    for (int i = 1; i < 441; ++i) at = ramp.next(100);
    EXPECT_EQ(at, 100);

    // The frame glides too: after a jump of the volume the samples follow
    // the ramp, not the jump.
    HqFrames f(44100);
    f();
    f.s.volume = 100.0;
    for (int i = 1; i <= 441; ++i) {
        Frame got = f();
        double v = 100.0 * i / 441;
        std::int32_t sum = partial_sum(f.hq_table.data(), f.left(), 3);
        ASSERT_NEAR(got.left, hq_sample(sum, v), 1) << i;
    }
}

TEST(PlayerAudio, HighQualityStream) {
    reset_player();
    player.hq = true;
    player.volume.store(100.0);
    TestDevice::Config c;
    c.quit_after_bytes = 2 * 44100 * 4;
    AudioRun r = run_audio(c);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    using R = std::vector<std::pair<std::string, int>>;
    EXPECT_EQ(r.record.requests, (R{{"SNDCTL_DSP_SETFRAGMENT", 0x00400008},
                                    {"SNDCTL_DSP_SETFMT", AFMT_S16_LE},
                                    {"SNDCTL_DSP_STEREO", 1},
                                    {"SNDCTL_DSP_SPEED", 44100}}));
    // Two seconds: two counts of 44100 frames, little-endian left then right.
    ASSERT_EQ(r.record.bytes.size(), 2u * 44100 * 4);
    EXPECT_EQ(player.step_seconds.load(), 2);
    EXPECT_EQ(player.phase_modulus.load(), 44100.0);
    EXPECT_TRUE(r.record.drained);
    player.phase_modulus.store(11025.0);
    player.hq = false;
    HqFrames f(44100);
    f.s.volume = 100.0;
    for (std::size_t k = 0; k < 2 * 44100; ++k) {
        Frame e = f();
        const unsigned char* b = &r.record.bytes[4 * k];
        ASSERT_EQ(static_cast<std::int16_t>(b[0] | b[1] << 8), e.left) << k;
        ASSERT_EQ(static_cast<std::int16_t>(b[2] | b[3] << 8), e.right) << k;
    }

    // Another granted rate: a count takes that many frames.
    reset_player();
    player.hq = true;
    TestDevice::Config other;
    other.speed = {0, 0, 48000};
    other.quit_after_bytes = 1;
    r = run_audio(other);
    EXPECT_EQ(r.record.bytes.size(), 48000u * 4);
    EXPECT_EQ(player.phase_modulus.load(), 48000.0);

    // No device at all: the same messages as ever, and the fallback rate.
    reset_player();
    TestDevice::Config none;
    none.present = false;
    none.fragment = none.format = none.stereo = none.speed = {-1, EBADF, -1};
    none.quit_after_bytes = 1;
    r = run_audio(none);
    EXPECT_EQ(r.err, "SNDCTL_DSP_STEREO: Bad file descriptor\nSNDCTL_DSP_SPEED: Bad file descriptor\n"
                     "ERROR:\aCannot set a sample rate\n");
    EXPECT_EQ(r.out, "no stereo, might as well quit\n");
    EXPECT_EQ(r.record.bytes.size(), 8000u * 4);

    // A device without 16-bit samples plays the default stream.
    reset_player();
    TestDevice::Config bytes_only;
    bytes_only.format = {0, 0, AFMT_U8};
    bytes_only.quit_after_bytes = 1;
    r = run_audio(bytes_only);
    EXPECT_EQ(r.err, "16-bit samples refused: playing the default stream\n");
    EXPECT_EQ(r.record.requests.back(), (std::pair<std::string, int>{"SNDCTL_DSP_SPEED", 11025}));
    EXPECT_EQ(r.record.bytes.size(), 11025u * 2);
    EXPECT_EQ(r.record.write_sizes[0], 1u);
    EXPECT_EQ(player.phase_modulus.load(), 11025.0);
    player.hq = false;
}

TEST(ColorBox, ModulusInForce) {
    EXPECT_DOUBLE_EQ(phase_distance(0, 22050, 0, 44100), 0.5);
    EXPECT_DOUBLE_EQ(phase_distance(43000, 100, 0.25, 44100), (9925.0 - 100) / 44100);   // shifted to 9925
    player.phase_modulus.store(44100.0);
    EXPECT_DOUBLE_EQ(phase_distance(0, 11025, 0), 0.25);
    player.phase_modulus.store(11025.0);
    EXPECT_DOUBLE_EQ(phase_distance(0, 11025, 0), 0.0);
}

// Noise and listening modes in both streams: the plain settings give the
// frames without them; monaural makes the channels one; noise stays within
// its level of the stream's full scale; isochronic pulses fall silent.
TEST(PlayerListening, BothStreams) {
    auto default_frames = [](int count, const Settings& s) {
        DefaultFrames f;
        f.s = s;
        std::vector<Frame> out;
        for (int i = 0; i < count; ++i) out.push_back(f());
        return out;
    };
    auto hq_frames = [](int count, const Settings& s) {
        HqFrames f(44100);
        f.s = s;
        std::vector<Frame> out;
        for (int i = 0; i < count; ++i) out.push_back(f());
        return out;
    };

    Settings loud;
    loud.volume = 100.0;
    Reference ref;
    std::vector<Frame> plain;
    for (int i = 0; i < 2000; ++i) plain.push_back(ref(loud));
    EXPECT_EQ(default_frames(2000, loud), plain);

    // Monaural.
    Settings mono = loud;
    mono.mode = seq::ListenMode::Monaural;
    for (const Frame& f : default_frames(2000, mono)) ASSERT_EQ(f.left, f.right);
    for (const Frame& f : hq_frames(2000, mono)) ASSERT_EQ(f.left, f.right);

    // White noise alone at 40 %: within 40 % of full scale, around the
    // stream's rest level, and different in the two ears.
    Settings noise = loud;
    noise.harmonics = 0;
    noise.colour = seq::NoiseColour::White;
    noise.noise_level = 40.0;
    for (bool hq : {false, true}) {
        std::vector<Frame> frames = hq ? hq_frames(20000, noise) : default_frames(20000, noise);
        int rest = hq ? 0 : 128, full = hq ? 32767 : 127, differ = 0, peak = 0;
        for (const Frame& f : frames) {
            peak = std::max({peak, std::abs(f.left - rest), std::abs(f.right - rest)});
            differ += f.left != f.right;
        }
        EXPECT_LE(peak, 0.4 * full + 1) << hq;
        EXPECT_GT(peak, 0.3 * full) << hq;
        EXPECT_GT(differ, 15000) << hq;
    }

    // Isochronic at 10 Hz in the high-quality stream: the left tone in
    // both ears, silent for a stretch of every cycle.
    Settings pulses = loud;
    pulses.mode = seq::ListenMode::Isochronic;
    int silent = 0;
    for (const Frame& f : hq_frames(44100, pulses)) {
        ASSERT_EQ(f.left, f.right);
        silent += f.left == 0;
    }
    EXPECT_GT(silent, 44100 * 2 / 5);
    EXPECT_LT(silent, 44100 * 3 / 5);
}

// ---- glides in the high-quality stream ----

namespace {

// The largest sample-to-sample step of either channel over [from, to).
int largest_step(const std::vector<Frame>& v, std::size_t from, std::size_t to) {
    int top = 0;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to && i < v.size(); ++i)
        top = std::max({top, std::abs(v[i].left - v[i - 1].left), std::abs(v[i].right - v[i - 1].right)});
    return top;
}

// The noise's own envelope: the RMS of what the noise adds to the tone,
// per millisecond, as frames of one value.
std::vector<Frame> envelope(const std::vector<Frame>& with, const std::vector<Frame>& tone) {
    std::vector<Frame> out;
    const std::size_t w = 44;
    for (std::size_t at = 0; at + w <= with.size(); at += w) {
        double sum[2] = {0, 0};
        for (std::size_t i = at; i < at + w; ++i) {
            double l = with[i].left - tone[i].left, r = with[i].right - tone[i].right;
            sum[0] += l * l;
            sum[1] += r * r;
        }
        out.push_back({static_cast<int>(std::sqrt(sum[0] / w)), static_cast<int>(std::sqrt(sum[1] / w))});
    }
    return out;
}

struct Glide {
    int steady, change;   // largest steps: of the steady sound on either side, at and after the change
};

// 0.3 s of one setting, then 0.3 s of another, periods of 256 frames as the
// audio thread loads them, at a base and beat that never sit at phase 0.
Glide glide(Settings before, Settings after, bool noise) {
    const std::size_t period = 256, half = 52 * period, settle = 2205;   // 50 ms
    auto play = [&](bool with_noise) {
        HqFrames f(44100);
        std::vector<Frame> out;
        for (std::size_t i = 0; i < 2 * half; ++i) {
            if (i % period == 0) {
                f.s = i < half ? before : after;
                if (!with_noise) f.s.colour = seq::NoiseColour::Off;
            }
            out.push_back(f());
        }
        return out;
    };
    std::vector<Frame> heard = play(true);
    std::size_t change = half, end = 2 * half, start = 2205;
    if (noise) {
        heard = envelope(heard, play(false));
        change /= 44, end /= 44, start /= 44;
    }
    std::size_t steady_after = change + (noise ? settle / 44 : settle);
    return {std::max(largest_step(heard, start, change), largest_step(heard, steady_after, end)),
            largest_step(heard, change, end)};
}

}  // namespace

// Every change of mode, partials and noise glides over 10 ms: no step at or
// after it stands out of the steady sound on either side by more than half.
TEST(PlayerHq, ChangesGlide) {
    Settings tone;
    tone.base = 201.37;
    tone.beat = 7.83;
    tone.volume = 100.0;
    using M = seq::ListenMode;
    using C = seq::NoiseColour;
    struct Case {
        const char* name;
        Settings before, after;
        bool noise;
    };
    std::vector<Case> cases;
    auto with = [&](auto set) {
        Settings s = tone;
        set(s);
        return s;
    };
    const char* mode_names[] = {"binaural", "monaural", "isochronic"};
    for (M a : {M::Binaural, M::Monaural, M::Isochronic})
        for (M b : {M::Binaural, M::Monaural, M::Isochronic})
            if (a != b)
                cases.push_back({nullptr, with([&](Settings& s) { s.mode = a; }), with([&](Settings& s) { s.mode = b; }),
                                 false});
    cases.push_back({"harmonics 3 to 7", tone, with([](Settings& s) { s.harmonics = 7; }), false});
    cases.push_back({"harmonics 7 to 1", with([](Settings& s) { s.harmonics = 7; }),
                     with([](Settings& s) { s.harmonics = 1; }), false});
    auto noisy = [&](C c, double level) {
        return with([&](Settings& s) {
            s.colour = c;
            s.noise_level = level;
        });
    };
    cases.push_back({"noise on", tone, noisy(C::White, 30), true});
    cases.push_back({"noise off", noisy(C::White, 30), tone, true});
    cases.push_back({"noise 30 to 10", noisy(C::Pink, 30), noisy(C::Pink, 10), true});
    cases.push_back({"noise white to brown", noisy(C::White, 30), noisy(C::Brown, 30), true});
    cases.push_back({"noise brown to pink", noisy(C::Brown, 30), noisy(C::Pink, 30), true});
    for (const Case& c : cases) {
        std::string name = c.name ? c.name
                                  : std::string(mode_names[static_cast<int>(c.before.mode)]) + " to " +
                                        mode_names[static_cast<int>(c.after.mode)];
        Glide g = glide(c.before, c.after, c.noise);
        std::printf("%-22s steady %5d, at the change %5d (%.2f x)\n", name.c_str(), g.steady, g.change,
                    static_cast<double>(g.change) / g.steady);
        EXPECT_LE(g.change, 1.5 * g.steady) << name;
    }
}

namespace {

// The audio thread's loop over one stream, the background mixed in, with
// what a decoder delivers before each period; the tone alone beside it.
struct BedRun {
    StreamFormat format;
    BackgroundLink link;
    Frames with, alone;
    BackgroundMixer mixer;
    std::vector<Frame> mixed, tone;
    explicit BedRun(StreamFormat f) : format(f), with(f), alone(f), mixer(f, link) {
        with.s.volume = alone.s.volume = 50;
    }
    template <class Decoder>
    void periods(int count, unsigned frames, Decoder decoder) {
        for (int p = 0; p < count; ++p) {
            decoder(link);
            with.osc.load(with.s);
            alone.osc.load(alone.s);
            const bool mixing = mixer.start_period(frames, with.s.volume);
            for (unsigned i = 0; i < frames; ++i) {
                std::int32_t l, r;
                with.osc.frame(l, r);
                if (mixing) mixer.mix(i, l, r);
                mixed.push_back({l, r});
                std::int32_t tl, tr;
                alone.osc.frame(tl, tr);
                tone.push_back({tl, tr});
            }
        }
    }
};

// A decoder that keeps up: constant frames of `value`, as many as asked.
auto fed(float value, unsigned frames) {
    return [value, frames](BackgroundLink& link) {
        std::vector<float> f(2 * frames, value);
        link.ring.write(f.data(), frames);
        link.streaming.store(true);
    };
}

}  // namespace

// Without a background the mixer adds nothing: the frames are the tone's.
TEST(PlayerBackground, NothingToMixLeavesTheTone) {
    for (StreamFormat f : {StreamFormat{false, 11025}, StreamFormat{true, 44100}}) {
        BedRun run(f);
        run.link.gain.store(0.3);   // a level, but no frames flow
        run.periods(40, 64, [](BackgroundLink&) {});
        EXPECT_EQ(run.mixed, run.tone);
        EXPECT_EQ(run.link.ring.underruns(), 0u);
    }
}

// A decoder too slow for the stream: where the ring is dry the background
// is silent and the frames are exactly the tone's; each short period counts.
TEST(PlayerBackground, ADryRingIsSilenceAndCounted) {
    BedRun run({true, 44100});
    run.link.gain.store(0.3);
    int period = 0;
    run.periods(100, 256, [&](BackgroundLink& link) {
        if (period++ % 4 == 0) fed(0.5f, 64)(link);   // 64 frames every fourth period of 256
    });
    EXPECT_EQ(run.link.ring.underruns(), 100u);
    std::size_t differing = 0;
    for (std::size_t k = 0; k < run.mixed.size(); ++k) {
        const bool delivered = (k / 256) % 4 == 0 && k % 256 < 64;
        if (!delivered) {
            EXPECT_EQ(run.mixed[k], run.tone[k]) << "frame " << k;
        }
        differing += run.mixed[k] != run.tone[k];
    }
    EXPECT_GT(differing, 0u);
}

// A ring that is fed: after the 50 ms glide from silence the background
// adds its level times the volume, in the stream's units, to either ear.
TEST(PlayerBackground, FedRingGivesItsLevel) {
    BedRun hq({true, 44100});
    hq.link.gain.store(sound::background_gain(30));
    hq.periods(20, 256, fed(0.5f, 256));
    const std::size_t glide = 2205;   // 50 ms at 44100
    const double expected = 0.5 * 0.3 * 0.5 * 32767;   // file level, level, volume 50
    for (std::size_t k = glide; k < hq.mixed.size(); ++k) {
        ASSERT_NEAR(hq.mixed[k].left - hq.tone[k].left, expected, 0.5) << k;
        ASSERT_NEAR(hq.mixed[k].right - hq.tone[k].right, expected, 0.5) << k;
    }
    EXPECT_LT(std::abs(hq.mixed[0].left - hq.tone[0].left), 2);   // it starts from silence

    // The default stream: the same rule at its own full scale, within 0..255.
    BedRun low({false, 11025});
    low.link.gain.store(1.0);
    low.with.s.volume = low.alone.s.volume = 100;
    low.periods(40, 64, fed(1.0f, 64));
    for (std::size_t k = 1000; k < low.mixed.size(); ++k) {
        EXPECT_EQ(low.mixed[k].left, std::min(255, low.tone[k].left + 127)) << k;
    }
}

// A change of level glides in a straight line over 50 ms, not at once.
TEST(PlayerBackground, LevelChangeGlides) {
    BedRun run({true, 44100});
    run.link.gain.store(0.2);
    run.periods(12, 256, fed(0.5f, 256));   // settled at 20
    const std::size_t from = run.mixed.size();
    run.link.gain.store(0.6);
    run.periods(12, 256, fed(0.5f, 256));
    auto added = [&](std::size_t k) { return static_cast<double>(run.mixed[k].left - run.tone[k].left); };
    const double low = 0.5 * 0.2 * 0.5 * 32767, high = 0.5 * 0.6 * 0.5 * 32767;
    EXPECT_NEAR(added(from - 1), low, 0.5);
    const std::size_t glide = 2205;
    for (std::size_t i = 1; i <= glide; i += 49) {
        const double along = low + (high - low) * static_cast<double>(i) / glide;
        ASSERT_NEAR(added(from + i - 1), along, 1.0) << i;
    }
    for (std::size_t k = from + glide; k < run.mixed.size(); ++k) ASSERT_NEAR(added(k), high, 0.5) << k;
}

TEST(PlayerBackground, UnderrunLine) {
    EXPECT_EQ(underrun_report(0), "");
    EXPECT_EQ(underrun_report(1), "background sound: the decoder fell behind 1 time (periods played without it)");
    EXPECT_EQ(underrun_report(7), "background sound: the decoder fell behind 7 times (periods played without it)");
}

namespace {

// A 16-bit stereo WAV file of one constant sample value.
void write_constant_wav(const std::string& path, int rate, int frames, std::int16_t value) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    auto u32 = [&](std::uint32_t v) { for (int i = 0; i < 4; ++i) std::fputc(static_cast<int>(v >> (8 * i)) & 0xff, f); };
    auto u16 = [&](std::uint16_t v) { std::fputc(v & 0xff, f); std::fputc(v >> 8, f); };
    const auto data = static_cast<std::uint32_t>(frames * 4);
    std::fputs("RIFF", f);
    u32(36 + data);
    std::fputs("WAVEfmt ", f);
    u32(16);
    u16(1);
    u16(2);
    u32(static_cast<std::uint32_t>(rate));
    u32(static_cast<std::uint32_t>(rate * 4));
    u16(4);
    u16(16);
    std::fputs("data", f);
    u32(data);
    for (int i = 0; i < 2 * frames; ++i) u16(static_cast<std::uint16_t>(value));
    std::fclose(f);
}

// Reads `frames` frames from the feed's ring as the audio thread would,
// waiting (generously) for the decoder to deliver them.
std::vector<float> take(BackgroundLink& link, std::size_t frames) {
    std::vector<float> out;
    std::vector<float> buf(2 * 64);
    for (int waited = 0; out.size() < 2 * frames && waited < 60000; ++waited) {
        const std::size_t n = std::min<std::size_t>(64, frames - out.size() / 2);
        if (link.ring.available() >= n) {
            link.ring.read(buf.data(), n);
            out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(2 * n));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return out;
}

}  // namespace

// The real decoder thread on a real file: the file at its level after a
// 50 ms fade-in, silence after it is turned off, and a file that does not
// open said once.
TEST(PlayerBackground, FeedDecodesCrossfadesAndSaysOnce) {
    TempDir temp("ambrise-feed");
    ASSERT_FALSE(temp.path.empty());
    const std::string dir = temp.path.string(), wav = temp / "half.wav";
    write_constant_wav(wav, 48000, 48000 * 3, 16384);
    {
        BackgroundFeed feed;
        feed.link().rate.store(11025);
        feed.play(wav);
        std::vector<float> got = take(feed.link(), 11025);
        ASSERT_EQ(got.size(), 2u * 11025);
        EXPECT_TRUE(feed.link().streaming.load());
        EXPECT_LT(std::fabs(got[0]), 0.05f);   // faded in from silence
        for (std::size_t k = 2000; k < 11025; ++k) ASSERT_NEAR(got[2 * k], 0.5f, 0.002f) << k;

        testing::internal::CaptureStderr();
        feed.play(dir + "/none.wav");
        feed.play(dir + "/none.wav");
        // Frames already in the ring play out, then the fade to silence.
        got = take(feed.link(), 3 * 11025);
        ASSERT_EQ(got.size(), 6u * 11025);
        for (std::size_t k = 2 * 11025; k < 3 * 11025; ++k) ASSERT_EQ(got[2 * k], 0.0f) << k;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said, "background sound not played: " + dir + "/none.wav: No such file or directory\n");
        EXPECT_EQ(feed.underruns(), 0u);
    }
}
