// The desktop's pure rules: the mute and sleep-timer gain curves, the
// playback status and inhibitor rules, the memory of the last sequence and
// the collection's titles and lengths.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "catalog.h"
#include "gain.h"
#include "memory.h"
#include "status.h"

namespace fs = std::filesystem;
using namespace desk;

namespace {

double db(double gain) { return 20.0 * std::log10(gain); }

// A scratch directory of the test's own, removed after it.
struct Scratch : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        char name[] = "/tmp/ambrise-desktop-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return dir / name;
    }
};

}  // namespace

TEST(Gain, GlideMovesAtItsSpeedAndStopsOnTheTarget) {
    Glide g{1.0, 0.0, 0.5};
    g.step(0.1);
    EXPECT_DOUBLE_EQ(g.value, 0.8);
    g.step(-1.0);   // a clock that went back moves nothing
    g.step(std::nan(""));
    EXPECT_DOUBLE_EQ(g.value, 0.8);
    g.step(10.0);
    EXPECT_EQ(g.value, 0.0);
    EXPECT_FALSE(g.moving());
    g.target = 1.0;
    for (int i = 0; i < 49; ++i) g.step(0.01);
    EXPECT_TRUE(g.moving());
    g.step(0.011);
    EXPECT_EQ(g.value, 1.0);
}

TEST(Gain, SleepFadeIsLinearInDecibelsOverTheLastMinute) {
    double total = 45 * 60;
    EXPECT_EQ(sleep_curve(total, 0), 1.0);
    EXPECT_EQ(sleep_curve(total, total - 60), 1.0);
    EXPECT_NEAR(db(sleep_curve(total, total - 30)), -30.0, 1e-9);
    EXPECT_NEAR(db(sleep_curve(total, total - 15)), -45.0, 1e-9);
    EXPECT_NEAR(db(sleep_curve(total, total - 1e-9)), sleep_floor_db, 1e-6);
    EXPECT_EQ(sleep_curve(total, total), 0.0);
    EXPECT_EQ(sleep_curve(total, total + 5), 0.0);
    // Equal steps of time are equal steps of level, and it never rises.
    double last = 1.0;
    for (double t = total - 60; t < total; t += 0.5) {
        double g = sleep_curve(total, t);
        EXPECT_LE(g, last);
        if (t > total - 59.5) {
            EXPECT_NEAR(db(last) - db(g), 0.5, 1e-6);
        }
        last = g;
    }
}

TEST(Gain, AShortTimerFadesThroughoutFromFullLevel) {
    double total = 0.2 * 60;   // -timer 0.2
    EXPECT_EQ(sleep_curve(total, 0), 1.0);
    EXPECT_NEAR(db(sleep_curve(total, 6)), -30.0, 1e-9);
    EXPECT_LT(db(sleep_curve(total, 10)), -40.0);
}

TEST(Gain, CancellingGlidesBackToFullLevelAtOnce) {
    SleepTimer t;
    t.set(100.0, 120.0);
    double now = 100.0;
    for (; now < 200.0; now += 0.01) t.step(now, 0.01);   // 20 s before the end
    EXPECT_NEAR(db(t.stage.value), -40.0, 0.1);
    t.cancel();
    double before = t.stage.value;
    t.step(now += 0.01, 0.01);
    // The first step rises by no more than a tenth of the range in 10 ms.
    EXPECT_NEAR(t.stage.value, before + 0.1, 1e-9);
    for (int i = 0; i < 10; ++i) t.step(now += 0.01, 0.01);
    EXPECT_EQ(t.stage.value, 1.0);
    EXPECT_FALSE(t.ended);
}

TEST(Gain, ATimerSetAgainInItsFadeRisesAsAGlideAndTheEndIsForGood) {
    SleepTimer t;
    t.set(0.0, 60.0);
    t.step(50.0, 0.01);
    EXPECT_NEAR(db(t.stage.value), -50.0, 1e-9);
    t.set(50.0, 900.0);
    t.step(50.01, 0.01);
    EXPECT_NEAR(t.stage.value, std::pow(10.0, -2.5) + 0.1, 1e-9);
    t.step(950.0, 0.01);
    EXPECT_TRUE(t.ended);
    EXPECT_EQ(t.stage.value, 0.0);
    t.set(951.0, 60.0);   // after the end, nothing brings the sound back
    t.cancel();
    t.step(952.0, 1.0);
    EXPECT_EQ(t.stage.value, 0.0);
}

TEST(Gain, StagesMultiply) {
    GainStages g;
    g.mute.target = 0.0;
    g.sleep.set(0.0, 30.0);
    g.step(15.0, 0.25);
    EXPECT_DOUBLE_EQ(g.gain(), 0.5 * std::pow(10.0, -1.5));
    EXPECT_TRUE(g.muted());
    EXPECT_TRUE(g.moving());
}

TEST(Gain, TimerMinutes) {
    double m = 0;
    EXPECT_TRUE(parse_timer_minutes("0.2", m));
    EXPECT_EQ(m, 0.2);
    EXPECT_TRUE(parse_timer_minutes("90", m));
    EXPECT_EQ(m, 90.0);
    EXPECT_TRUE(parse_timer_minutes("1440", m));
    for (const char* bad : {"", "0", "-5", "abc", "1,5", "1.5x", "1441", "1e9", "nan", "inf", " "})
        EXPECT_FALSE(parse_timer_minutes(bad, m)) << bad;
    EXPECT_FALSE(parse_timer_minutes(nullptr, m));
}

TEST(Status, MutedOrPausedOrPlaying) {
    // muted, sequence open, paused
    EXPECT_EQ(playback_status(false, false, false), Status::Playing);   // the tone
    EXPECT_EQ(playback_status(false, true, false), Status::Playing);
    EXPECT_EQ(playback_status(false, true, true), Status::Paused);      // the play button
    EXPECT_EQ(playback_status(true, true, true), Status::Paused);       // a media key's pause
    EXPECT_EQ(playback_status(true, true, false), Status::Paused);
    EXPECT_EQ(playback_status(true, false, false), Status::Stopped);    // a media key's stop
    EXPECT_STREQ(status_name(Status::Paused), "Paused");
}

TEST(Status, InhibitOnlyWhileSoundIsMade) {
    EXPECT_TRUE(wants_inhibit(true, 50, false, false));
    EXPECT_FALSE(wants_inhibit(false, 50, false, false));   // -noinhibit
    EXPECT_FALSE(wants_inhibit(true, 0, false, false));     // volume 0
    EXPECT_FALSE(wants_inhibit(true, 50, true, false));     // muted
    EXPECT_FALSE(wants_inhibit(true, 50, false, true));     // quitting
}

TEST(Memory, TheConfigurationDirectory) {
    EXPECT_EQ(memory_file("/c", "/h"), "/c/ambrise/last-played");
    EXPECT_EQ(memory_file(nullptr, "/h"), "/h/.config/ambrise/last-played");
    EXPECT_EQ(memory_file("relative", "/h"), "/h/.config/ambrise/last-played");
    EXPECT_EQ(memory_file("", ""), "");
    EXPECT_EQ(memory_file(nullptr, nullptr), "");
}

TEST_F(Scratch, RemembersTheAbsolutePathAcrossRuns) {
    fs::path seq = write("a.seq", "HOLD 1\n");
    std::string file = (dir / "config/ambrise/last-played").string();
    EXPECT_EQ(recall_sequence(file), "");
    std::string cwd = fs::current_path();
    fs::current_path(dir);
    EXPECT_TRUE(remember_sequence(file, "a.seq"));
    fs::current_path(cwd);
    EXPECT_EQ(recall_sequence(file), seq.string());
    EXPECT_EQ(fs::status(dir / "config").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(file + ".new"));
    // What cannot be remembered leaves the memory as it was.
    EXPECT_FALSE(remember_sequence(file, (dir / "missing.seq").string()));
    EXPECT_FALSE(remember_sequence(file, ""));
    EXPECT_FALSE(remember_sequence("", seq.string()));
    EXPECT_EQ(recall_sequence(file), seq.string());
}

TEST_F(Scratch, AMemoryThatIsNoneIsEmpty) {
    EXPECT_EQ(recall_sequence(write("cut", "/a/b").string()), "");     // no newline
    EXPECT_EQ(recall_sequence(write("rel", "a.seq\n").string()), "");  // not absolute
    EXPECT_EQ(recall_sequence(write("nul", std::string("\0\0\n", 3)).string()), "");
    EXPECT_EQ(recall_sequence(dir.string()), "");
    EXPECT_EQ(recall_sequence(write("long", std::string(10000, '/') + "\n").string()), "");
    // Memory in a place that cannot hold it: refused, quietly.
    write("file", "");
    EXPECT_FALSE(remember_sequence((dir / "file/ambrise/last-played").string(), write("b.seq", "").string()));
}

TEST_F(Scratch, TitlesAreTheFirstNoteLine) {
    EXPECT_EQ(title_of(write("a.seq", "# Relaxation in alpha: twenty minutes\n# more\nHOLD 1\n").string()),
              "Relaxation in alpha: twenty minutes");
    EXPECT_EQ(title_of(write("b.seq", "BASE 200\nSET 10\n\n   \n## Focus ##  \nHOLD 1\n").string()), "Focus");
    EXPECT_EQ(title_of(write("c.seq", "// ; Night\r\n").string()), "Night");
    EXPECT_EQ(title_of(write("plain.seq", "SET 4\nHOLD 10\n#\n").string()), "plain");
    EXPECT_EQ(title_of(write("d.seq", std::string(3000, 'x') + "\n").string()).size(), 120 + std::strlen("…"));
    EXPECT_EQ(title_of((dir / "missing.seq").string()), "missing");
}

TEST_F(Scratch, TheCollectionByTitleWithLengths) {
    fs::create_directory(dir / "shared");
    fs::create_directory(dir / "home");
    std::ofstream(dir / "shared/b.seq") << "# Beta\nSET 10\nHOLD 20\n";
    std::ofstream(dir / "shared/a.seq") << "# Alpha\nHOLD 100\n";
    std::ofstream(dir / "shared/notes.txt") << "# Not a sequence\n";
    fs::create_directory(dir / "shared/dir.seq");
    std::ofstream(dir / "home/mine.seq") << "SET 4\n";
    // The home directory links to the shared one, and to a file of it.
    fs::create_directory_symlink(dir / "shared", dir / "home/public.seq");
    fs::create_symlink(dir / "shared/a.seq", dir / "home/again.seq");
    auto entries = list_collection({(dir / "shared").string(), (dir / "home").string(), "/nonexistent"});
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].title, "Alpha");
    // The note and SET lines take the player a second each.
    EXPECT_EQ(entries[0].seconds, 101);
    EXPECT_EQ(entry_label(entries[0]), "Alpha (00:01:41)");
    EXPECT_EQ(entries[1].title, "Beta");
    EXPECT_EQ(entries[1].seconds, 22);
    EXPECT_EQ(entries[2].title, "mine");
    EXPECT_EQ(list_collection({(dir / "shared").string()}, 1).size(), 1u);
}

TEST_F(Scratch, LengthsOnlyOfRegularFiles) {
    EXPECT_EQ(sequence_player_seconds(write("s.seq", "HOLD 5\nHOLD 7\n").c_str()), 12);
    EXPECT_EQ(sequence_player_seconds(dir.c_str()), -1);
    EXPECT_EQ(sequence_player_seconds("/dev/null"), -1);
    fs::path fifo = dir / "fifo.seq";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(sequence_player_seconds(fifo.c_str()), -1);   // and it does not block
    EXPECT_EQ(title_of(fifo.string()), "fifo");
}
