#include <climits>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <ctime>
#include <gtk/gtk.h>

#include "background_choice.h"
#include "logic.h"
#include "listening.h"
#include "state.h"

namespace {

// A timed step ends on its target; a SLIDE to 0 Hz lands on 0 too, so the
// end is marked by its own flag rather than by a target that is not 0.
bool snap_pending = false;

void set_icon(const Icon& icon) {
    if (player.play_image) gtk_pixmap_set(GTK_PIXMAP(player.play_image), icon.pixmap, icon.mask);
}

void set_beat_slider_sensitive(bool sensitive) {
    if (player.beat_slider) gtk_widget_set_sensitive(player.beat_slider, sensitive);
}

void start_timed_step(double target, int seconds, double increment) {
    player.slide_target = target;
    snap_pending = true;
    player.step_duration = seconds;
    player.beat_increment = increment;
    player.step_seconds.store(0, relaxed);
}

// Runs one recognised line; false for a line that is no command.
bool execute(const seq::Line& line) {
    switch (line.command) {
        case seq::Command::Set: {
            double x = line.number(0);
            if (!std::isfinite(x)) return true;
            player.beat_hz.store(x, relaxed);
            set_beat(x);
            player.step_duration = 0;
            player.step_seconds.store(0, relaxed);
            player.slide_target = 0.0;
            snap_pending = false;
            return true;
        }
        case seq::Command::Volume: {
            double v = line.number(0);
            if (!std::isfinite(v)) return true;
            player.fade_target = v;
            if (player.fade_active != 0) stop_fade_timer();
            set_volume(v);
            return true;
        }
        case seq::Command::Fade: {
            double v = line.number(0);
            int n = line.count(1);
            if (!std::isfinite(v)) return true;
            player.fade_target = v;
            if (n <= 0) return true;
            player.fade_active = 1;
            player.fade_step = (player.fade_target - player.volume.load(relaxed)) / n / 50;
            start_fade_timer();
            return true;
        }
        case seq::Command::Base: {
            double f = line.number(0);
            if (!std::isfinite(f)) return true;
            player.base_hz.store(f, relaxed);
            set_base(f);
            return true;
        }
        case seq::Command::Harmonics: {
            int n = line.count(0);
            if (n <= 9) player.harmonics.store(n, relaxed);
            return true;
        }
        case seq::Command::Slide: {
            double f = line.number(0);
            double length = line.number(1);
            if (!std::isfinite(f)) return true;
            int s = seq::truncate_length(length);
            // A length of 0 or less ends at the next tick on the target.
            double increment = s > 0 ? (f - player.beat_hz.load(relaxed)) / s : 0.0;
            start_timed_step(f, s, increment);
            return true;
        }
        case seq::Command::Hold:
            start_timed_step(player.beat_hz.load(relaxed), seq::truncate_length(line.number(0)), 0.0);
            return true;
        case seq::Command::Pause:
            player.paused = true;
            show_pause_state();
            return true;
        case seq::Command::Exit:
            quit_clicked();
            stop_sequence();
            return true;
        case seq::Command::End:
            stop_sequence();
            return true;
        case seq::Command::Noise: {
            seq::NoiseColour colour;
            double level = 0.0;
            if (seq::read_noise(line, colour, level)) {
                player.noise_level.store(level, relaxed);
                player.noise_colour.store(static_cast<int>(colour), relaxed);
            }
            return true;
        }
        case seq::Command::Mode: {
            seq::ListenMode mode;
            if (seq::read_mode(line, mode)) player.listen_mode.store(static_cast<int>(mode), relaxed);
            return true;
        }
        case seq::Command::Background:
            // A faulty line is passed over, as NOISE's is: the checker names it.
            background_line(player.line_buffer, line);
            return true;
        case seq::Command::None:
            return false;
    }
    return false;
}

}  // namespace

void show_pause_state() { set_icon(player.paused ? player.paused_icon : player.playing_icon); }

int open_sequence(const char* path) {
    // Opened without blocking and taken only if it is a regular file: a FIFO
    // without a writer would hang the window, a directory or device is no
    // sequence.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return 0;
    }
    std::FILE* f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        return 0;
    }
    player.sequence_file = f;
    background_sequence_started(path);
    player.step_seconds.store(0, relaxed);
    set_beat_slider_sensitive(false);
    set_icon(player.playing_icon);
    player.playing = true;
    return 1;
}

int stop_sequence() {
    if (!player.playing) return 0;
    player.playing = false;
    player.step_seconds.store(0, relaxed);
    player.step_duration = 0;
    player.paused = false;
    player.beat_increment = 0.0;
    player.slide_target = 0.0;
    snap_pending = false;
    set_beat_slider_sensitive(true);
    set_icon(player.idle_icon);
    if (player.sequence_file) std::fclose(player.sequence_file);
    player.sequence_file = nullptr;
    background_sequence_ended();
    return 1;
}

void sequence_step() {
    if (!player.playing || !player.sequence_file) return;
    if (player.step_seconds.load(relaxed) >= player.step_duration) {
        if (snap_pending) {
            player.beat_hz.store(player.slide_target, relaxed);
            set_beat(player.slide_target);
            player.slide_target = 0.0;
            player.beat_increment = 0.0;
            snap_pending = false;
        }
        if (!seq::read_line(player.sequence_file, player.line_buffer)) {
            stop_sequence();
            return;
        }
        if (execute(seq::parse_line(player.line_buffer))) return;
    }
    if (!player.paused) {
        double beat = player.beat_hz.load(relaxed) + player.beat_increment;
        player.beat_hz.store(beat, relaxed);
        set_beat(beat);
    } else if (player.step_duration < INT_MAX) {
        // Paused: the end moves a second later. A step already at the
        // largest length cannot end in practice, so it simply stays there.
        ++player.step_duration;
    }
}

void format_step_time(int seconds, char* text, unsigned size) {
    auto s = static_cast<unsigned>(seconds < 0 ? 0 : seconds);
    std::snprintf(text, size, "%02u:%02u", s / 60, s % 60);
}

gint clock_tick(gpointer data) {
    std::time_t now = std::time(nullptr);
    std::tm* t = std::localtime(&now);
    char clock_text[16] = "00:00:00";
    if (t)
        std::snprintf(clock_text, sizeof clock_text, "%02u:%02u:%02u", static_cast<unsigned>(t->tm_hour),
                      static_cast<unsigned>(t->tm_min), static_cast<unsigned>(t->tm_sec));
    format_step_time(player.step_seconds.load(relaxed), player.step_time_text, sizeof player.step_time_text);
    if (data) gtk_label_set_text(GTK_LABEL(data), player.step_time_text);
    if (player.clock_label) gtk_label_set_text(GTK_LABEL(player.clock_label), clock_text);
    if (player.playing) sequence_step();
    return TRUE;
}
