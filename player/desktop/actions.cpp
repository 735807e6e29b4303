#include "actions.h"

#include <algorithm>
#include <cmath>
#include <gtk/gtk.h>

#include "catalog.h"
#include "logic.h"
#include "memory.h"
#include "state.h"

DesktopState desktop;

namespace {

double monotonic_seconds() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

constexpr guint gain_interval_ms = 10;

gint gain_tick(gpointer) {
    gain_step();
    if (!desktop.gains.moving() && desktop.gain_timer) {
        g_source_remove(desktop.gain_timer);
        desktop.gain_timer = 0;
    }
    return TRUE;
}

// The stages move only while the tick runs; it stops itself when they rest.
void wake_gain() {
    if (desktop.gain_timer) return;
    desktop.last_tick = desktop_clock();
    desktop.gain_timer = g_timeout_add(gain_interval_ms, gain_tick, nullptr);
}

void set_mute(bool muted) {
    desktop.gains.mute.target = muted ? 0.0 : 1.0;
    wake_gain();
}

// The play button's own rule for an open sequence.
void toggle_pause() {
    player.paused = !player.paused;
    show_pause_state();
}

}  // namespace

double (*desktop_clock)() = monotonic_seconds;

bool sequence_open() { return player.playing; }

bool start_sequence(const char* path) {
    std::string chosen = path ? path : "";
    stop_sequence();
    if (!open_sequence(chosen.c_str())) return false;
    desktop.current = chosen;
    desktop.current_title = desk::title_of(chosen);
    desktop.current_seconds = desk::sequence_player_seconds(chosen.c_str());
    ++desktop.track;
    desktop.started = desktop_clock();
    desktop.paused_for = 0.0;
    desktop.recent = chosen;
    desk::remember_sequence(desktop.memory, chosen);
    return true;
}

bool window_play() {
    set_mute(false);
    if (!player.playing) return false;
    toggle_pause();
    return true;
}

void window_stop() {
    set_mute(false);
    stop_sequence();
}

void media_play() {
    set_mute(false);
    if (player.playing) {
        if (player.paused) toggle_pause();
    } else if (!desktop.recent.empty()) {
        std::string path = desktop.recent;
        start_sequence(path.c_str());
        sequence_step();   // its first line at once, as at start-up
    }
}

void media_pause() {
    if (player.playing && !player.paused) toggle_pause();
    set_mute(true);
}

void media_play_pause() {
    if (current_status() == desk::Status::Playing)
        media_pause();
    else
        media_play();
}

void media_stop() {
    stop_sequence();
    set_mute(true);
}

void set_volume_fraction(double v) {
    if (std::isnan(v)) return;
    set_volume(std::clamp(v, 0.0, 1.0) * 100.0);
}

double volume_fraction() { return player.volume.load(relaxed) / 100.0; }

desk::Status current_status() { return desk::playback_status(desktop.gains.muted(), player.playing, player.paused); }

std::int64_t position_us() {
    if (!player.playing) return 0;
    double s = desktop_clock() - desktop.started - desktop.paused_for;
    return s > 0.0 ? static_cast<std::int64_t>(s * 1e6) : 0;
}

void set_sleep_timer(double minutes) {
    if (!(minutes > 0.0)) return;
    desktop.gains.sleep.set(desktop_clock(), std::min(minutes, desk::max_timer_minutes) * 60.0);
    wake_gain();
}

void cancel_sleep_timer() {
    desktop.gains.sleep.cancel();
    wake_gain();
}

bool sleep_timer_active() { return desktop.gains.sleep.active; }

std::string window_title() {
    std::string title = "Ambrise 2.1";
    if (!desktop.gains.sleep.active) return title;
    char left[16];
    format_step_time(static_cast<int>(std::ceil(desktop.gains.sleep.remaining(desktop_clock()))), left, sizeof left);
    return title + " — sleep in " + left;
}

void gain_step() {
    double now = desktop_clock();
    double dt = desktop.last_tick < 0.0 ? 0.0 : now - desktop.last_tick;
    desktop.last_tick = now;
    desktop.gains.step(now, dt);
    player.output_gain.store(desktop.gains.gain(), relaxed);
    // Silent now: the player ends as Quit ends it.
    if (desktop.gains.sleep.ended && !player.exiting) quit_clicked();
}

void account_time(double dt) {
    if (player.playing && player.paused && dt > 0.0) desktop.paused_for += dt;
}
