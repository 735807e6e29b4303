// The transport the window and the remote share, and the remote's method
// and property handlers, on sliders without a display or a bus.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "desktop_reset.h"
#include "memory.h"
#include "mpris.h"

using namespace desktop_test;
namespace fs = std::filesystem;

namespace {

class Actions : public testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        reset();
        char name[] = "/tmp/ambrise-actions-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        desktop.memory = (dir / "last-played").string();
    }
    void TearDown() override {
        stop_sequence();
        reset();
        fs::remove_all(dir);
    }
    std::string sequence(const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    }
    static std::string status() {
        GVariant* v = mpris_property(mpris_player_interface, "PlaybackStatus");
        std::string s = g_variant_get_string(v, nullptr);
        g_variant_unref(v);
        return s;
    }
    static std::string call(const char* method, GVariant* args = nullptr, const char* interface = nullptr) {
        const char* error = nullptr;
        GVariant* reply = mpris_method(interface ? interface : mpris_player_interface, method, args, &error);
        if (reply) g_variant_unref(g_variant_ref_sink(reply));
        if (args) g_variant_unref(g_variant_ref_sink(args));
        return error ? error : "";
    }
    static std::string metadata_string(const char* key) {
        GVariant* m = mpris_property(mpris_player_interface, "Metadata");
        const char* s = nullptr;
        std::string out = g_variant_lookup(m, key, "&s", &s) || g_variant_lookup(m, key, "&o", &s) ? s : "";
        g_variant_unref(m);
        return out;
    }
    static std::int64_t metadata_length() {
        GVariant* m = mpris_property(mpris_player_interface, "Metadata");
        gint64 length = -1;
        g_variant_lookup(m, "mpris:length", "x", &length);
        g_variant_unref(m);
        return length;
    }
};

}  // namespace

TEST_F(Actions, AMediaKeyPauseGlidesToSilenceAndPlayBringsItBack) {
    ASSERT_TRUE(start_sequence(sequence("s.seq", "# Evening\nHOLD 100\n").c_str()));
    sequence_step();
    EXPECT_EQ(status(), "Playing");
    EXPECT_EQ(call("PlayPause"), "");
    EXPECT_EQ(status(), "Paused");
    EXPECT_TRUE(player.paused);   // as the play button pauses it
    run_gain(0.25);
    EXPECT_NEAR(player.output_gain.load(), 0.5, 1e-9);
    run_gain(0.3);
    EXPECT_EQ(player.output_gain.load(), 0.0);
    EXPECT_EQ(player.volume.load(), 50.0);   // the slider stays
    EXPECT_EQ(call("PlayPause"), "");
    EXPECT_EQ(status(), "Playing");
    EXPECT_FALSE(player.paused);
    run_gain(0.6);
    EXPECT_EQ(player.output_gain.load(), 1.0);
}

TEST_F(Actions, StopMutesAndPlayStartsTheLastSequenceFromItsBeginning) {
    std::string path = sequence("s.seq", "# Night\nSET 4\nHOLD 100\n");
    ASSERT_TRUE(start_sequence(path.c_str()));
    EXPECT_EQ(metadata_string("xesam:title"), "Night");
    EXPECT_EQ(metadata_length(), 102 * 1000000LL);   // a second for each of the first lines
    std::string track = metadata_string("mpris:trackid");
    EXPECT_EQ(track.rfind("/org/mpris", 0), std::string::npos);
    EXPECT_EQ(call("Stop"), "");
    EXPECT_EQ(status(), "Stopped");
    EXPECT_FALSE(player.playing);
    EXPECT_EQ(metadata_string("xesam:title"), "Ambrise tone");
    EXPECT_EQ(metadata_length(), -1);
    EXPECT_EQ(call("Play"), "");
    EXPECT_TRUE(player.playing);
    EXPECT_EQ(status(), "Playing");
    EXPECT_NE(metadata_string("mpris:trackid"), track);
    EXPECT_EQ(desk::recall_sequence(desktop.memory), fs::canonical(path).string());
}

TEST_F(Actions, PlayWithNothingToStartOnlyUnmutes) {
    EXPECT_EQ(status(), "Playing");   // the tone
    media_stop();
    EXPECT_EQ(status(), "Stopped");
    media_play();
    EXPECT_EQ(status(), "Playing");
    EXPECT_FALSE(player.playing);
    // Play while the tone plays starts what was played last.
    desktop.recent = sequence("t.seq", "HOLD 9\n");
    media_play();
    EXPECT_TRUE(player.playing);
    EXPECT_EQ(metadata_string("xesam:title"), "t");
}

TEST_F(Actions, TheWindowButtonsUnmuteAndKeepTheirMeaning) {
    ASSERT_TRUE(start_sequence(sequence("s.seq", "HOLD 100\n").c_str()));
    media_pause();
    EXPECT_TRUE(desktop.gains.muted());
    EXPECT_TRUE(window_play());   // resumes, as the button does
    EXPECT_FALSE(player.paused);
    EXPECT_FALSE(desktop.gains.muted());
    EXPECT_TRUE(window_play());   // and pauses, heard: the beat holds
    EXPECT_EQ(status(), "Paused");
    EXPECT_FALSE(desktop.gains.muted());
    media_stop();
    window_stop();
    EXPECT_FALSE(desktop.gains.muted());
    EXPECT_FALSE(window_play());   // no sequence: the window asks for one
    EXPECT_EQ(status(), "Playing");
}

TEST_F(Actions, VolumeMirrorsTheSlider) {
    GVariant* v = mpris_property(mpris_player_interface, "Volume");
    EXPECT_EQ(g_variant_get_double(v), 0.5);
    g_variant_unref(v);
    auto set = [](GVariant* value) {
        bool ok = mpris_set_property(mpris_player_interface, "Volume", value);
        g_variant_unref(g_variant_ref_sink(value));
        return ok;
    };
    EXPECT_TRUE(set(g_variant_new_double(0.3)));
    EXPECT_NEAR(player.volume.load(), 30.0, 1e-9);
    EXPECT_NEAR(gtk_adjustment_get_value(player.volume_adjustment), 70.0, 1e-9);
    EXPECT_TRUE(set(g_variant_new_double(std::nan(""))));
    EXPECT_NEAR(player.volume.load(), 30.0, 1e-9);
    EXPECT_TRUE(set(g_variant_new_double(1e300)));
    EXPECT_EQ(player.volume.load(), 100.0);
    EXPECT_TRUE(set(g_variant_new_double(-4)));
    EXPECT_EQ(player.volume.load(), 0.0);
    EXPECT_FALSE(set(g_variant_new_string("0.5")));
    EXPECT_FALSE(mpris_set_property(mpris_player_interface, "Rate", g_variant_new_double(2)));
}

TEST_F(Actions, WrongArgumentsAndUnknownNamesAreRefused) {
    EXPECT_EQ(call("Play", g_variant_new("(s)", "x")), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(call("Seek", g_variant_new("(s)", "x")), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(call("Seek", g_variant_new("(x)", G_GINT64_CONSTANT(5))), "");
    EXPECT_EQ(call("OpenUri", g_variant_new("(s)", "http://example.org/a.seq")),
              "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(call("Shuffle"), "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_EQ(call("Play", nullptr, "org.example.Other"), "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_EQ(mpris_property(mpris_player_interface, "Nothing"), nullptr);
    EXPECT_EQ(status(), "Playing");
    std::string uri = "file://" + sequence("u.seq", "# By address\nHOLD 5\n");
    EXPECT_EQ(call("OpenUri", g_variant_new("(s)", uri.c_str())), "");
    EXPECT_EQ(metadata_string("xesam:title"), "By address");
}

TEST_F(Actions, TheRootInterface) {
    GVariant* v = mpris_property(mpris_root_interface, "Identity");
    EXPECT_STREQ(g_variant_get_string(v, nullptr), "Ambrise");
    g_variant_unref(v);
    v = mpris_property(mpris_root_interface, "DesktopEntry");
    EXPECT_STREQ(g_variant_get_string(v, nullptr), "ambrise");   // data/ambrise.desktop
    g_variant_unref(v);
    for (const char* name : {"CanQuit", "CanRaise", "HasTrackList", "SupportedUriSchemes", "SupportedMimeTypes"}) {
        v = mpris_property(mpris_root_interface, name);
        EXPECT_NE(v, nullptr) << name;
        if (v) g_variant_unref(v);
    }
    static int raised = 0;
    desktop.raise = [] { ++raised; };
    EXPECT_EQ(call("Raise", nullptr, mpris_root_interface), "");
    EXPECT_EQ(raised, 1);
    // Quit as the button: the fade first, a second one at once.
    EXPECT_EQ(call("Quit", nullptr, mpris_root_interface), "");
    EXPECT_TRUE(player.exiting);
    EXPECT_THROW(call("Quit", nullptr, mpris_root_interface), Exited);
    player.exiting = false;
}

TEST_F(Actions, ChangesAreReportedOnce) {
    GVariant* first = mpris_changes();   // everything, or what the last test left
    if (first) g_variant_unref(g_variant_ref_sink(first));
    EXPECT_EQ(mpris_changes(), nullptr);
    set_volume(20);
    media_pause();
    GVariant* changed = g_variant_ref_sink(mpris_changes());
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(g_variant_n_children(changed), 2u);
    const char* s = nullptr;
    EXPECT_TRUE(g_variant_lookup(changed, "PlaybackStatus", "&s", &s));
    EXPECT_STREQ(s, "Stopped");
    double volume = 0;
    EXPECT_TRUE(g_variant_lookup(changed, "Volume", "d", &volume));
    EXPECT_NEAR(volume, 0.2, 1e-9);
    g_variant_unref(changed);
    EXPECT_EQ(mpris_changes(), nullptr);
}

TEST_F(Actions, TheSleepTimerFadesUnderTheSliderAndEndsAsQuit) {
    set_sleep_timer(0.5);
    EXPECT_EQ(window_title(), "Ambrise 2.1 — sleep in 00:30");
    run_gain(15.0);
    EXPECT_EQ(window_title(), "Ambrise 2.1 — sleep in 00:15");
    EXPECT_NEAR(20 * std::log10(player.output_gain.load()), -30.0, 0.1);
    EXPECT_EQ(player.volume.load(), 50.0);
    EXPECT_FALSE(player.exiting);
    run_gain(15.1);
    EXPECT_EQ(player.output_gain.load(), 0.0);
    EXPECT_TRUE(player.exiting);   // the Quit fade, then the exit
    EXPECT_EQ(window_title(), "Ambrise 2.1");
    player.exiting = false;
}

TEST_F(Actions, CancellingTheTimerRestoresTheTitleAndTheLevel) {
    EXPECT_EQ(window_title(), "Ambrise 2.1");
    set_sleep_timer(1);
    run_gain(50.0);
    EXPECT_LT(player.output_gain.load(), 0.5);
    cancel_sleep_timer();
    EXPECT_EQ(window_title(), "Ambrise 2.1");
    run_gain(0.2);
    EXPECT_EQ(player.output_gain.load(), 1.0);
    EXPECT_FALSE(sleep_timer_active());
}

TEST_F(Actions, PositionLeavesPausesOut) {
    EXPECT_EQ(position_us(), 0);
    ASSERT_TRUE(start_sequence(sequence("s.seq", "HOLD 100\n").c_str()));
    now += 3.0;
    window_play();
    account_time(2.0);
    now += 2.0;
    EXPECT_EQ(position_us(), 3000000);
}
