// The fader, the sliders' handlers and the sequence stepper, run against
// real adjustments and timers without a display.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <gtk/gtk.h>
#include <string>

#include <gtest/gtest.h>

#include "background_choice.h"
#include "background_feed.h"
#include "listening.h"
#include "logic.h"
#include "options.h"
#include "player_reset.h"

namespace {

struct Exited {
    int status;
};
void throw_exit(int status) { throw Exited{status}; }

GtkAdjustment* adjustment(double value, double lower, double upper, std::atomic<double>* parameter) {
    auto* a = GTK_ADJUSTMENT(gtk_adjustment_new(value, lower, upper, 1, 10, 0));
    g_object_ref_sink(a);
    g_signal_connect(a, "value_changed", G_CALLBACK(slider_changed), parameter);
    return a;
}

// The three sliders as the window makes them, without the window.
class Logic : public testing::Test {
protected:
    void SetUp() override {
        reset_player();
        if (player.fade_timer) g_source_remove(player.fade_timer);
        player.fade_timer = 0;
        exit_player = throw_exit;
        player.beat_adjustment = adjustment(30, 0, 40, &player.beat_hz);
        player.base_adjustment = adjustment(700, 50, 1000, &player.base_hz);
        player.volume_adjustment = adjustment(100, 0, 100, &player.volume);
    }
    void TearDown() override {
        if (player.sequence_file) std::fclose(player.sequence_file);
        player.sequence_file = nullptr;
        if (player.fade_timer) g_source_remove(player.fade_timer);
        player.fade_timer = 0;
    }
    static bool timer_alive(unsigned id) {
        return id && g_main_context_find_source_by_id(nullptr, id) != nullptr;
    }
    int ticks_until_exit(int limit) {
        for (int i = 1; i <= limit; ++i) {
            try {
                fade_tick(nullptr);
            } catch (const Exited& e) {
                EXPECT_EQ(e.status, 0);
                EXPECT_TRUE(player.quit_audio.load());
                return i;
            }
        }
        return -1;
    }
};

}  // namespace

TEST_F(Logic, SlidersWriteTheMirroredValue) {
    gtk_adjustment_set_value(player.beat_adjustment, 0);
    EXPECT_EQ(player.beat_hz.load(), 40.0);
    gtk_adjustment_set_value(player.beat_adjustment, 40);
    EXPECT_EQ(player.beat_hz.load(), 0.0);
    gtk_adjustment_set_value(player.base_adjustment, 0);   // clamps to 50
    EXPECT_EQ(player.base_hz.load(), 950.0);
    set_volume(150);
    EXPECT_EQ(player.volume.load(), 100.0);
    // Moving a slider while idle restarts the step time; not while playing.
    player.step_seconds.store(12);
    set_volume(20);
    EXPECT_EQ(player.step_seconds.load(), 0);
    player.step_seconds.store(12);
    player.playing = true;
    set_volume(30);
    EXPECT_EQ(player.step_seconds.load(), 12);
    player.playing = false;
    // An unchanged value runs no handler: the stored beat stays as written.
    gtk_adjustment_set_value(player.beat_adjustment, 0);
    player.beat_hz.store(50);
    set_beat(50);
    EXPECT_EQ(player.beat_hz.load(), 50.0);
}

TEST_F(Logic, StartUpFadeIn) {
    player.fade_timer = g_timeout_add(10, fade_tick, nullptr);
    unsigned timer = player.fade_timer;
    for (int i = 0; i < 98; ++i) fade_tick(nullptr);
    EXPECT_EQ(player.volume.load(), 49.0);
    fade_tick(nullptr);   // 49.5 is less than 1 from 50: the fade ends on 50
    EXPECT_EQ(player.volume.load(), 50.0);
    EXPECT_EQ(player.fade_active, 0);
    EXPECT_TRUE(timer_alive(timer));
    fade_tick(nullptr);
    EXPECT_FALSE(timer_alive(timer));
    EXPECT_EQ(player.fade_timer, 0u);
}

TEST_F(Logic, QuitFadesOutThenExits) {
    set_volume(100);
    player.fade_active = 0;
    quit_clicked();
    EXPECT_TRUE(player.exiting);
    EXPECT_TRUE(timer_alive(player.fade_timer));
    EXPECT_EQ(ticks_until_exit(1000), 200);
    EXPECT_EQ(player.volume.load(), 0.0);

    // A second press exits at once.
    reset_player();
    set_volume(50);
    quit_clicked();
    fade_tick(nullptr);
    EXPECT_EQ(player.volume.load(), 49.5);
    bool exited = false;
    try {
        quit_clicked();
    } catch (const Exited& e) {
        exited = e.status == 0;
    }
    EXPECT_TRUE(exited);

    // At volume 0 the first tick exits.
    reset_player();
    set_volume(0);
    quit_clicked();
    EXPECT_EQ(ticks_until_exit(5), 1);
}

TEST_F(Logic, OneFadeTickAtATime) {
    unsigned first = player.fade_timer = g_timeout_add(10, fade_tick, nullptr);
    start_fade_timer();
    EXPECT_FALSE(timer_alive(first));
    EXPECT_TRUE(timer_alive(player.fade_timer));
    // Once Quit is pressed, only a second Quit stops the fade-out.
    quit_clicked();
    unsigned exit_tick = player.fade_timer;
    stop_fade_timer();
    EXPECT_TRUE(timer_alive(exit_tick));
}

// ---- sequence stepper ----

namespace {

// The sequences of one test program live in a directory of their own,
// removed when the program ends.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        std::string pattern = testing::TempDir() + "ambrise-seq-XXXXXX";
        if (mkdtemp(pattern.data())) path = pattern;
    }
    ~ScratchDir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
};

std::string write_sequence(const std::string& text) {
    static ScratchDir dir;
    static int n = 0;
    std::string path = dir.path + "/" + std::to_string(n++) + ".seq";
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
}

// One clock tick's worth of stepping, with the audio thread's count set.
void tick(int step_seconds) {
    player.step_seconds.store(step_seconds);
    sequence_step();
}

}  // namespace

TEST_F(Logic, SettingsTakeOneTickEachAndHoldsCountSound) {
    set_volume(50);
    ASSERT_EQ(open_sequence(write_sequence("BASE 200\nSET 4\nVOLUME 30\nHOLD 3\nEND\n").c_str()), 1);
    EXPECT_TRUE(player.playing);
    tick(0);
    EXPECT_EQ(player.base_hz.load(), 200.0);
    EXPECT_EQ(player.beat_hz.load(), 10.0);
    tick(0);
    EXPECT_EQ(player.beat_hz.load(), 4.0);
    EXPECT_EQ(player.volume.load(), 50.0);
    tick(0);
    EXPECT_EQ(player.volume.load(), 30.0);
    tick(0);   // the fourth tick starts the hold
    EXPECT_EQ(player.step_duration, 3);
    EXPECT_EQ(player.step_seconds.load(), 0);
    tick(1);
    tick(2);
    EXPECT_TRUE(player.playing);
    tick(3);   // three seconds of sound: END
    EXPECT_FALSE(player.playing);
    EXPECT_EQ(player.sequence_file, nullptr);
    EXPECT_EQ(player.beat_hz.load(), 4.0);
    EXPECT_EQ(stop_sequence(), 0);
}

// NOISE and MODE take one tick each, like SET; unknown names change nothing.
TEST_F(Logic, NoiseAndModeLines) {
    ASSERT_EQ(open_sequence(write_sequence("NOISE BROWN 30\nMODE ISOCHRONIC\nNOISE GREEN 50\nMODE loud\n"
                                           "NOISE PINK 150\nNOISE OFF 20\nMODE BINAURAL\nEND\n").c_str()), 1);
    tick(0);
    EXPECT_EQ(player.noise_colour.load(), static_cast<int>(seq::NoiseColour::Brown));
    EXPECT_EQ(player.noise_level.load(), 30.0);
    EXPECT_EQ(player.listen_mode.load(), static_cast<int>(seq::ListenMode::Binaural));
    tick(0);
    EXPECT_EQ(player.listen_mode.load(), static_cast<int>(seq::ListenMode::Isochronic));
    tick(0);
    tick(0);
    EXPECT_EQ(player.noise_colour.load(), static_cast<int>(seq::NoiseColour::Brown));
    EXPECT_EQ(player.noise_level.load(), 30.0);
    EXPECT_EQ(player.listen_mode.load(), static_cast<int>(seq::ListenMode::Isochronic));
    tick(0);
    EXPECT_EQ(player.noise_colour.load(), static_cast<int>(seq::NoiseColour::Pink));
    EXPECT_EQ(player.noise_level.load(), 100.0);
    tick(0);
    EXPECT_EQ(player.noise_colour.load(), static_cast<int>(seq::NoiseColour::Off));
    EXPECT_EQ(player.noise_level.load(), 0.0);
    tick(0);
    EXPECT_EQ(player.listen_mode.load(), static_cast<int>(seq::ListenMode::Binaural));
    EXPECT_TRUE(player.playing);
    tick(0);
    EXPECT_FALSE(player.playing);
}

TEST_F(Logic, SlideLandsOnItsTarget) {
    ASSERT_EQ(open_sequence(write_sequence("SLIDE 20 10\nHOLD 1e1\n").c_str()), 1);
    tick(0);
    EXPECT_EQ(player.beat_increment, 1.0);
    for (int s = 1; s < 10; ++s) {
        tick(s);
        EXPECT_DOUBLE_EQ(player.beat_hz.load(), 10.0 + s);
    }
    tick(10);   // snap, then the next line: a hold of 1e1 = 10 s
    EXPECT_EQ(player.beat_hz.load(), 20.0);
    EXPECT_EQ(player.step_duration, 10);
    tick(10);
    tick(10);   // the end of the file stops
    EXPECT_FALSE(player.playing);

    // A slide to 0 lands on 0 and leaves no increment behind.
    ASSERT_EQ(open_sequence(write_sequence("SLIDE 0 4\nbogus\nbogus\n").c_str()), 1);
    tick(0);
    for (int s = 1; s < 4; ++s) tick(s);
    tick(4);
    EXPECT_EQ(player.beat_hz.load(), 0.0);
    EXPECT_EQ(player.beat_increment, 0.0);
    tick(0);
    EXPECT_EQ(player.beat_hz.load(), 0.0);
    stop_sequence();

    // A length that truncates to 0 or less jumps at the next tick.
    ASSERT_EQ(open_sequence(write_sequence("SLIDE 7 0.5\nbogus\nSLIDE 3 -2\nbogus\n").c_str()), 1);
    tick(0);
    EXPECT_EQ(player.beat_increment, 0.0);
    tick(0);
    EXPECT_EQ(player.beat_hz.load(), 7.0);
    tick(0);
    tick(0);
    EXPECT_EQ(player.beat_hz.load(), 3.0);
    EXPECT_TRUE(std::isfinite(player.beat_hz.load()));
    stop_sequence();
}

TEST_F(Logic, SlidersClampWhatTheSequenceSets) {
    ASSERT_EQ(open_sequence(write_sequence("SET 20\nSET 50\nSET 50\nVOLUME 150\nVOLUME -5\n"
                                           "HARMONICS 12\nHARMONICS 0\nBASE 2000\nSET nan\nBASE inf\n"
                                           "HARMONICS 9\nSET word\n").c_str()), 1);
    tick(0);
    tick(0);
    EXPECT_EQ(player.beat_hz.load(), 40.0);
    tick(0);   // the slider already stands at 40: 50 stays stored
    EXPECT_EQ(player.beat_hz.load(), 50.0);
    tick(0);
    EXPECT_EQ(player.volume.load(), 100.0);
    tick(0);
    EXPECT_EQ(player.volume.load(), 0.0);
    tick(0);
    EXPECT_EQ(player.harmonics.load(), 3);
    tick(0);
    EXPECT_EQ(player.harmonics.load(), 0);
    tick(0);
    EXPECT_EQ(player.base_hz.load(), 950.0);
    tick(0);
    tick(0);
    EXPECT_EQ(player.beat_hz.load(), 50.0);
    EXPECT_EQ(player.base_hz.load(), 950.0);
    tick(0);
    EXPECT_EQ(player.harmonics.load(), 9);
    tick(0);
    EXPECT_EQ(player.beat_hz.load(), 0.0);
    stop_sequence();
}

TEST_F(Logic, PauseTakesHoldAtTheNextTimedStep) {
    ASSERT_EQ(open_sequence(write_sequence("PAUSE\nSET 5\nHOLD 60\nEND\n").c_str()), 1);
    tick(0);
    EXPECT_TRUE(player.paused);
    tick(0);   // lines are still read while paused
    EXPECT_EQ(player.beat_hz.load(), 5.0);
    tick(0);
    EXPECT_EQ(player.step_duration, 60);
    for (int s = 1; s <= 100; ++s) tick(s);   // paused: the end moves on
    EXPECT_TRUE(player.playing);
    EXPECT_EQ(player.step_duration, 160);
    player.paused = false;   // resumed
    tick(150);
    EXPECT_TRUE(player.playing);
    tick(160);
    EXPECT_FALSE(player.playing);
    EXPECT_FALSE(player.paused);
}

TEST_F(Logic, APausedStepStaysPausedHoweverLong) {
    for (const char* step : {"HOLD 2147483647\n", "SLIDE 20 2147483647\n"}) {
        ASSERT_EQ(open_sequence(write_sequence(std::string("PAUSE\n") + step + "SET 7\n").c_str()), 1);
        tick(0);
        tick(0);
        EXPECT_EQ(player.step_duration, 2147483647) << step;
        for (int s = 1; s <= 5; ++s) tick(s);
        EXPECT_TRUE(player.playing) << step;
        EXPECT_NE(player.beat_hz.load(), 7.0) << step;   // the next line is not read
        EXPECT_GT(player.step_duration, 5) << step;
        stop_sequence();
    }
}

// Anything but a regular file leaves the player idle at once: a FIFO
// without a writer must not block the main thread, a directory is no
// sequence.
TEST_F(Logic, OnlyRegularFilesOpen) {
    std::string fifo = testing::TempDir() + "ambrise-fifo-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(open_sequence(fifo.c_str()), 0);
    unlink(fifo.c_str());
    EXPECT_EQ(open_sequence(testing::TempDir().c_str()), 0);
    EXPECT_EQ(open_sequence("/dev/null"), 0);
    EXPECT_FALSE(player.playing);
    EXPECT_EQ(player.sequence_file, nullptr);
}

TEST_F(Logic, ExitStopsAndFadesOut) {
    set_volume(50);
    player.fade_active = 0;
    ASSERT_EQ(open_sequence(write_sequence("EXIT\nHOLD 5\n").c_str()), 1);
    tick(0);
    EXPECT_TRUE(player.exiting);
    EXPECT_FALSE(player.playing);
    EXPECT_TRUE(timer_alive(player.fade_timer));
    EXPECT_EQ(ticks_until_exit(1000), 100);

    // EXIT during the exit fade-out ends at once.
    reset_player();
    set_volume(50);
    quit_clicked();
    ASSERT_EQ(open_sequence(write_sequence("EXIT\n").c_str()), 1);
    bool exited = false;
    try {
        tick(0);
    } catch (const Exited&) {
        exited = true;
    }
    EXPECT_TRUE(exited);
    // VOLUME during the fade-out does not stop it.
    reset_player();
    set_volume(50);
    quit_clicked();
    unsigned exit_tick = player.fade_timer;
    ASSERT_EQ(open_sequence(write_sequence("VOLUME 80\n").c_str()), 1);
    tick(0);
    EXPECT_TRUE(timer_alive(exit_tick));
}

TEST_F(Logic, FadesFromTheSequence) {
    // A VOLUME line removes the start-up fade-in.
    player.fade_timer = g_timeout_add(10, fade_tick, nullptr);
    unsigned fade_in = player.fade_timer;
    ASSERT_EQ(open_sequence(write_sequence("VOLUME 50\nFADE 100 1\nFADE 40 300\nFADE 70 0\nFADE nan 3\n").c_str()),
              1);
    tick(0);
    EXPECT_FALSE(timer_alive(fade_in));
    EXPECT_EQ(player.volume.load(), 50.0);
    tick(0);   // FADE 100 1 from 50: a step of 1 per tick
    EXPECT_EQ(player.fade_step, 1.0);
    for (int i = 0; i < 48; ++i) fade_tick(nullptr);
    EXPECT_EQ(player.volume.load(), 98.0);
    fade_tick(nullptr);   // 99: within one step, lands on 100
    EXPECT_EQ(player.volume.load(), 100.0);
    EXPECT_EQ(player.fade_active, 0);
    tick(0);   // a length of 300 is taken in full, not in 8 bits
    EXPECT_DOUBLE_EQ(player.fade_step, (40.0 - 100.0) / 300 / 50);
    unsigned fade = player.fade_timer;
    tick(0);   // a length of 0 stores the target only
    EXPECT_EQ(player.fade_target, 70.0);
    EXPECT_EQ(player.fade_timer, fade);
    tick(0);
    EXPECT_EQ(player.fade_target, 70.0);
    stop_sequence();
}

TEST_F(Logic, FileEndsAndOddLines) {
    // CRLF: numbers read, END does not; the end of the file stops.
    ASSERT_EQ(open_sequence(write_sequence("SET 4\r\nEND\r\n").c_str()), 1);
    tick(0);
    EXPECT_EQ(player.beat_hz.load(), 4.0);
    tick(0);
    EXPECT_TRUE(player.playing);
    tick(0);
    EXPECT_FALSE(player.playing);

    // An empty line and a note each take a tick; a long line splits.
    std::string longline = "HOLD 2" + std::string(1017, ' ') + "SET 9\n";
    ASSERT_EQ(open_sequence(write_sequence("\nnote\n" + longline).c_str()), 1);
    tick(0);
    tick(0);
    EXPECT_EQ(player.step_duration, 0);
    tick(0);
    EXPECT_EQ(player.step_duration, 2);
    tick(2);
    EXPECT_EQ(player.beat_hz.load(), 9.0);
    stop_sequence();

    EXPECT_EQ(open_sequence("/nonexistent/file.seq"), 0);
    EXPECT_FALSE(player.playing);
}

// The user's background and the sequence's: a BACKGROUND line takes over
// (OFF too), a menu choice plays until the next line, and when the sequence
// stops the user's choice plays again. Paths are the sequence's own.
TEST_F(Logic, BackgroundLinesTakeOverTheUsersChoice) {
    const auto gain = [] { return BackgroundFeed::instance().link().gain.load(); };
    const char* home_before = std::getenv("HOME");
    const std::string saved = home_before ? home_before : "", home = "/home/listener";
    setenv("HOME", home.c_str(), 1);
    choose_background_level(default_background_level);
    choose_background_file("/sounds/rain.flac");
    EXPECT_EQ(playing_background(), (BackgroundChoice{"/sounds/rain.flac", 30.0}));
    EXPECT_DOUBLE_EQ(gain(), 0.3);

    const std::string path = write_sequence("HOLD 1\nBACKGROUND 45 sea, near.wav\nBACKGROUND 200\n"
                                            "BACKGROUND OFF\nBACKGROUND 20 ~/waves.ogg\nEND\n");
    const std::string dir = std::filesystem::path(path).parent_path().string();
    ASSERT_EQ(open_sequence(path.c_str()), 1);
    tick(0);   // the hold: until a BACKGROUND line the user's choice plays on
    // (from here each tick ends that one-second step and reads a line)
    EXPECT_EQ(playing_background().path, "/sounds/rain.flac");
    tick(1);
    EXPECT_EQ(playing_background(), (BackgroundChoice{dir + "/sea, near.wav", 45.0}));
    EXPECT_DOUBLE_EQ(gain(), 0.45);
    tick(1);   // a faulty line changes nothing
    EXPECT_EQ(playing_background().path, dir + "/sea, near.wav");
    tick(1);
    EXPECT_EQ(playing_background().path, "");
    EXPECT_EQ(user_background().path, "/sounds/rain.flac");
    choose_background_level(50);   // the user's act is heard at once
    EXPECT_EQ(playing_background(), (BackgroundChoice{"/sounds/rain.flac", 50.0}));
    tick(1);   // until the next line
    EXPECT_EQ(playing_background(), (BackgroundChoice{home + "/waves.ogg", 20.0}));
    tick(1);   // END: the user's choice again
    EXPECT_FALSE(player.playing);
    EXPECT_EQ(playing_background(), (BackgroundChoice{"/sounds/rain.flac", 50.0}));
    EXPECT_DOUBLE_EQ(gain(), 0.5);
    clear_background();
    EXPECT_EQ(playing_background().path, "");
    EXPECT_EQ(user_background().level, 50.0);
    choose_background_level(default_background_level);
    if (home_before)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");
}

TEST(StepTime, Format) {
    char text[16];
    format_step_time(0, text, sizeof text);
    EXPECT_STREQ(text, "00:00");
    format_step_time(75, text, sizeof text);
    EXPECT_STREQ(text, "01:15");
    format_step_time(6000, text, sizeof text);
    EXPECT_STREQ(text, "100:00");
    format_step_time(600000, text, sizeof text);
    EXPECT_STREQ(text, "10000:00");
    format_step_time(2147483647, text, sizeof text);
    EXPECT_STREQ(text, "35791394:07");
}

// An empty HOME counts as none: nothing is made at the file-system root.
TEST(UserDir, EmptyHomeIsNoHome) {
    struct stat st;
    if (lstat("/.ambrise", &st) == 0) GTEST_SKIP() << "/.ambrise exists already";
    std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "", 1);
    make_user_dir();
    setenv("HOME", saved.c_str(), 1);
    bool made = lstat("/.ambrise", &st) == 0;
    if (made) {
        unlink("/.ambrise/public.seq");
        rmdir("/.ambrise");
    }
    EXPECT_FALSE(made);
}

TEST(Options, HelpAndVersion) {
    const char* help[] = {"ambrise", "-harmonics", "5", "--help", nullptr};
    EXPECT_EQ(parse_options(4, const_cast<char**>(help), 3).result, Options::LongHelp);
    const char* version[] = {"ambrise", "--version", nullptr};
    EXPECT_EQ(parse_options(2, const_cast<char**>(version), 3).result, Options::Version);
    const char* upper[] = {"ambrise", "--HELP", nullptr};   // long options are exact
    EXPECT_EQ(parse_options(2, const_cast<char**>(upper), 3).result, Options::Unknown);
}

TEST(Options, Background) {
    const char* given[] = {"ambrise", "-hq", "-background", "rain at night.flac", "my.seq", nullptr};
    Options o = parse_options(5, const_cast<char**>(given), 3);
    EXPECT_EQ(o.result, Options::Run);
    EXPECT_STREQ(o.background, "rain at night.flac");
    EXPECT_STREQ(o.sequence, "my.seq");
    EXPECT_TRUE(o.hq);
    const char* missing[] = {"ambrise", "-background", nullptr};
    EXPECT_EQ(parse_options(2, const_cast<char**>(missing), 3).result, Options::NoBackground);
    const char* empty[] = {"ambrise", "-background", "", nullptr};
    EXPECT_EQ(parse_options(3, const_cast<char**>(empty), 3).result, Options::NoBackground);
}
