// Fuzz target for the player's sequence stepper and fader: any bytes, played
// as a sequence second by second on real adjustments, without a display,
// and a few frames of sound and the color box's colour for every second.
// The volume and the colour must stay in range, and nothing may fault.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <gtk/gtk.h>
#include <sys/mman.h>
#include <unistd.h>

#include "colorbox.h"
#include "logic.h"
#include "oscillator.h"
#include "snapshot.h"
#include "player_reset.h"
#include "state.h"

namespace {

struct Exited {};
void throw_exit(int) { throw Exited{}; }

GtkAdjustment* adjustment(double value, double lower, double upper, std::atomic<double>* parameter) {
    auto* a = GTK_ADJUSTMENT(gtk_adjustment_new(value, lower, upper, 1, 10, 0));
    g_object_ref_sink(a);
    g_signal_connect(a, "value_changed", G_CALLBACK(slider_changed), parameter);
    return a;
}

// The sequence as a file, as the player opens it.
int sequence_fd() {
    static int fd = memfd_create("sequence", 0);
    return fd;
}

void remove_timer(unsigned& id) {
    if (id) g_source_remove(id);
    id = 0;
}

constexpr int max_seconds = 400;    // of simulated play per input
constexpr int fade_ticks = 4;       // of the 100 a second, enough to end short fades
constexpr int frames = 16;          // of sound per second, as the audio thread makes them

// What the audio thread and the color box make of the state just now.
void sound_and_colour() {
    static Oscillator oscillator({false, 11025}, build_sine_table(11025), nullptr);
    std::int32_t left = 0, right = 0;
    oscillator.load(load_settings());
    for (int i = 0; i < frames; ++i) oscillator.frame(left, right);
    if (left < 0 || left > 255 || right < 0 || right > 255) __builtin_trap();
    publish_phases(oscillator);
    double distance = shown_distance(0.0);
    if (!(distance >= 0.0 && distance <= 0.5)) __builtin_trap();
    (void)color_for_distance(distance);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool ready = [] {
        exit_player = throw_exit;
        player.beat_adjustment = adjustment(30, 0, 40, &player.beat_hz);
        player.base_adjustment = adjustment(700, 50, 1000, &player.base_hz);
        player.volume_adjustment = adjustment(50, 0, 100, &player.volume);
        return true;
    }();
    (void)ready;

    int fd = sequence_fd();
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
    reset_player();
    gtk_adjustment_set_value(player.beat_adjustment, 30);
    gtk_adjustment_set_value(player.base_adjustment, 700);
    gtk_adjustment_set_value(player.volume_adjustment, 50);

    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    try {
        if (open_sequence(path) != 1) return 0;
        sequence_step();
        for (int second = 0; second < max_seconds && player.playing; ++second) {
            // The audio thread counts seconds of sound; a plain hold only
            // waits, so it is skipped to its end to reach the lines after it.
            long long now = player.step_seconds.load() + 1LL;
            if (!player.paused && player.beat_increment == 0.0 && player.step_duration > now)
                now = player.step_duration;
            player.step_seconds.store(static_cast<int>(now < INT32_MAX ? now : INT32_MAX));
            clock_tick(nullptr);
            for (int i = 0; i < fade_ticks && player.fade_timer; ++i) fade_tick(nullptr);
            sound_and_colour();
            double volume = player.volume.load();
            if (!(volume >= 0.0 && volume <= 100.0)) __builtin_trap();
        }
        // Quit twice ends at once, whatever the sequence left running.
        quit_clicked();
        quit_clicked();
        __builtin_trap();
    } catch (const Exited&) {
    }
    stop_sequence();
    if (player.sequence_file) std::fclose(player.sequence_file);
    player.sequence_file = nullptr;
    remove_timer(player.fade_timer);
    return 0;
}
