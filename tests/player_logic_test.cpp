// The fader, the sliders' handlers and the sequence stepper, run against
// real adjustments and timers without a display.
#include <cstdio>
#include <gtk/gtk.h>
#include <string>

#include <gtest/gtest.h>

#include "logic.h"
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
