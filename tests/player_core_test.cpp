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
#include "colorbox.h"
#include "oscillator.h"
#include "options.h"
#include "player_reset.h"
#include "test_device.h"

namespace {

struct Frame {
    int left, right;
    bool operator==(const Frame&) const = default;
};

Frame frame(const std::int32_t* table) {
    unsigned char l, r;
    compute_frame(table, l, r);
    return {l, r};
}

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

    mode_t old = umask(022);
    make_user_dir();
    umask(old);
    struct stat st;
    ASSERT_EQ(stat((home / ".ambrise").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(fs::read_symlink(home / ".ambrise" / "public.seq"), "/usr/local/share/ambrise");

    // An existing directory, even one without the link, is left alone.
    fs::remove(home / ".ambrise" / "public.seq");
    make_user_dir();
    EXPECT_FALSE(fs::is_symlink(home / ".ambrise" / "public.seq"));
    // So is a plain file, or a dangling link, of that name.
    fs::remove_all(home / ".ambrise");
    { std::FILE* f = std::fopen((home / ".ambrise").c_str(), "w"); std::fclose(f); }
    make_user_dir();
    EXPECT_TRUE(fs::is_regular_file(home / ".ambrise"));
    fs::remove(home / ".ambrise");
    fs::create_symlink(home / "nowhere", home / ".ambrise");
    make_user_dir();
    EXPECT_FALSE(fs::exists(home / "nowhere"));

    // No HOME, or one too long for the path buffer: nothing, no overflow.
    unsetenv("HOME");
    make_user_dir();
    std::string long_home = home.string() + "/" + std::string(600, 'x');
    setenv("HOME", long_home.c_str(), 1);
    make_user_dir();
    std::string edge = "/" + std::string(491, 'y');   // the longest that fits
    setenv("HOME", edge.c_str(), 1);
    make_user_dir();   // fails quietly: no such directory

    if (saved) setenv("HOME", saved_home.c_str(), 1);
    fs::remove_all(home);
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
    reset_player();
    auto t = make_sine_table(11025);
    player.volume.store(100.0);
    EXPECT_EQ(frame(t.data()), (Frame{159, 159}));
    EXPECT_EQ(player.left_phase[0].load(), 300.0);
    EXPECT_EQ(player.left_phase[2].load(), 1200.0);
    EXPECT_EQ(player.right_phase[1].load(), 610.0);
    EXPECT_EQ(frame(t.data()), (Frame{184, 185}));
    EXPECT_EQ(frame(t.data()), (Frame{200, 200}));

    reset_player();
    player.volume.store(50.0);
    EXPECT_EQ(frame(t.data()), (Frame{79, 79}));

    // No partials: the rest level, phases still.
    reset_player();
    player.volume.store(50.0);
    player.harmonics.store(0);
    EXPECT_EQ(frame(t.data()), (Frame{64, 64}));
    player.harmonics.store(-4);
    EXPECT_EQ(frame(t.data()), (Frame{64, 64}));
    EXPECT_EQ(player.left_phase[0].load(), 0.0);

    // Volume 0 is silence whatever the partials.
    reset_player();
    for (int i = 0; i < 500; ++i) ASSERT_EQ(frame(t.data()), (Frame{0, 0}));

    // 8, 9 and 10 partials sound like 7; the upper phases still move.
    std::vector<Frame> seven, more;
    for (int n : {7, 8, 9, 10}) {
        reset_player();
        player.volume.store(100.0);
        player.harmonics.store(n);
        player.base_hz.store(950.0);
        std::vector<Frame>& out = n == 7 ? seven : more;
        if (n > 8) more.clear();
        for (int i = 0; i < 2000; ++i) out.push_back(frame(t.data()));
        if (n > 7) {
            EXPECT_EQ(more, seven) << n;
        }
        for (int k = 0; k < n; ++k) {
            EXPECT_GE(player.left_phase[k].load(), 0.0);
            EXPECT_LT(player.left_phase[k].load(), 11025.0);
        }
        if (n == 10) {
            EXPECT_NE(player.left_phase[9].load(), 0.0);
        }
    }

    // Lowered and raised again: the upper partials resume.
    reset_player();
    player.harmonics.store(5);
    frame(t.data());
    double kept = player.left_phase[3].load();
    player.harmonics.store(2);
    frame(t.data());
    EXPECT_EQ(player.left_phase[3].load(), kept);

    // Negative and non-finite values stay inside the table.
    reset_player();
    player.volume.store(100.0);
    player.base_hz.store(-300.0);
    player.beat_hz.store(-1000.0);
    for (int i = 0; i < 3000; ++i) frame(t.data());
    player.base_hz.store(INFINITY);
    frame(t.data());
    player.base_hz.store(NAN);
    frame(t.data());
    for (int k = 0; k < 3; ++k) EXPECT_EQ(player.right_phase[k].load(), 0.0);

    // Without a table the frames are the rest level.
    reset_player();
    player.volume.store(100.0);
    EXPECT_EQ(frame(nullptr), (Frame{128, 128}));
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

    // The stream is the bank's frames, frame k after k + 1 advances.
    reset_player();
    player.volume.store(100.0);
    auto t = make_sine_table(11025);
    for (std::size_t k = 0; k < 2 * 11025; ++k) {
        Frame f = frame(t.data());
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
    reset_player();
    player.volume.store(100.0);
    auto t8000 = make_sine_table(8000);
    for (std::size_t k = 0; k < 11025; ++k) {
        Frame f = frame(t8000.data());
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
