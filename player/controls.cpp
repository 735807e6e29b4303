// The sliders' handlers, the volume fader and the two-stage Quit.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <gtk/gtk.h>

#include "logic.h"
#include "snapshot.h"
#include "state.h"

void (*exit_player)(int) = std::exit;

void slider_changed(GtkAdjustment* adjustment, gpointer parameter) {
    double value = gtk_adjustment_get_upper(adjustment) - gtk_adjustment_get_value(adjustment);
    static_cast<std::atomic<double>*>(parameter)->store(value, relaxed);
    if (!player.playing) player.step_seconds.store(0, relaxed);
}

void slider_label_changed(GtkAdjustment* adjustment, gpointer value_label) {
    char text[64];
    std::snprintf(text, sizeof text, "%02.1f", gtk_adjustment_get_upper(adjustment) - gtk_adjustment_get_value(adjustment));
    gtk_label_set_text(GTK_LABEL(value_label), text);
}

void set_beat(double beat) { gtk_adjustment_set_value(player.beat_adjustment, 40.0 - beat); }
void set_base(double base) { gtk_adjustment_set_value(player.base_adjustment, 1000.0 - base); }
void set_volume(double volume) { gtk_adjustment_set_value(player.volume_adjustment, 100.0 - volume); }

namespace {

// At the end of the fade-out the device plays out its last, silent frames
// first (a few seconds at most), so that no tick is cut off.
void end_player(bool play_out = false) {
    player.quit_audio.store(true, relaxed);
    if (play_out) wait_for_audio(3.0);
    exit_player(0);
}

// trunc() to a 32-bit integer, saturating, and its magnitude.
long long whole_distance(double v) {
    return std::llabs(static_cast<long long>(seq::truncate_length(v)));
}

}  // namespace

void start_fade_timer() {
    if (player.fade_timer) gtk_timeout_remove(player.fade_timer);
    player.fade_timer = gtk_timeout_add(10, fade_tick, nullptr);
}

void stop_fade_timer() {
    if (player.exiting || !player.fade_timer) return;
    gtk_timeout_remove(player.fade_timer);
    player.fade_timer = 0;
}

gint fade_tick(gpointer) {
    if (player.exiting) {
        set_volume(player.volume.load(relaxed) - 0.5);
        if (player.volume.load(relaxed) <= 0.0) end_player(true);
        return TRUE;
    }
    if (player.fade_active == 0) {
        if (player.fade_timer) gtk_timeout_remove(player.fade_timer);
        player.fade_timer = 0;
        return TRUE;
    }
    set_volume(player.volume.load(relaxed) + player.fade_step);
    long long a = whole_distance(player.volume.load(relaxed) - player.fade_target);
    long long b = whole_distance(player.fade_step);
    if (a > b) return TRUE;
    player.fade_active = 0;
    set_volume(player.fade_target);
    return TRUE;
}

void quit_clicked() {
    if (player.exiting) {
        end_player();
        return;
    }
    player.exiting = true;
    start_fade_timer();
}
