// The player and its desktop record back at their defaults, on sliders
// without a window, with a clock the test moves.
#pragma once

#include <gtk/gtk.h>

#include "actions.h"
#include "logic.h"
#include "player_reset.h"

namespace desktop_test {

inline double now = 0.0;
inline double clock() { return now; }

struct Exited {
    int status;
};
inline void throw_exit(int status) { throw Exited{status}; }

inline GtkAdjustment* adjustment(double value, double lower, double upper, std::atomic<double>* parameter) {
    auto* a = GTK_ADJUSTMENT(gtk_adjustment_new(value, lower, upper, 1, 10, 0));
    g_object_ref_sink(a);
    g_signal_connect(a, "value_changed", G_CALLBACK(slider_changed), parameter);
    return a;
}

inline void remove_source(unsigned& id) {
    if (id) g_source_remove(id);
    id = 0;
}

inline void reset() {
    stop_sequence();
    remove_source(player.fade_timer);
    remove_source(desktop.gain_timer);
    reset_player();
    desktop = DesktopState{};
    now = 0.0;
    desktop_clock = clock;
    exit_player = throw_exit;
    static bool sliders = [] {
        player.beat_adjustment = adjustment(30, 0, 40, &player.beat_hz);
        player.base_adjustment = adjustment(700, 50, 1000, &player.base_hz);
        player.volume_adjustment = adjustment(50, 0, 100, &player.volume);
        return true;
    }();
    (void)sliders;
    set_volume(0);   // a change, whatever the slider stood at
    set_volume(50);
}

// The gain tick's work for `seconds` of the test's clock, in 10 ms steps.
inline void run_gain(double seconds) {
    for (double end = now + seconds; now < end;) {
        now += 0.01;
        gain_step();
    }
}

}  // namespace desktop_test
