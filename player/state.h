// The player's single process-wide record. Fields that the audio thread
// shares with the main thread are lock-free atomics, used with relaxed
// loads and stores: no ordering between fields is relied on.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "sequence.h"

// The toolkit's types, named only: this header stays free of GTK.
typedef struct _GtkAdjustment GtkAdjustment;
typedef struct _GtkWidget GtkWidget;
typedef struct _GdkDrawable GdkPixmap;
typedef struct _GdkDrawable GdkBitmap;

struct Icon {
    GdkPixmap* pixmap = nullptr;
    GdkBitmap* mask = nullptr;
};

struct BoxColor {
    std::uint32_t pixel = 0;
    std::uint16_t red = 0x8000, green = 0, blue = 0x8000;
};

struct PlayerState {
    // Sound parameters, loaded by the audio thread once per period.
    std::atomic<int> harmonics{3};
    std::atomic<double> base_hz{300.0};
    std::atomic<double> beat_hz{10.0};
    std::atomic<double> volume{0.0};
    // Noise and listening mode (seq::NoiseColour, seq::ListenMode as ints),
    // set by NOISE and MODE lines, loaded with the others.
    std::atomic<int> noise_colour{0};
    std::atomic<double> noise_level{0.0};
    std::atomic<int> listen_mode{0};
    // A gain stage of its own on top of the volume (0 to 1): the media keys'
    // mute and the sleep timer's fade move it, never the volume slider.
    std::atomic<double> output_gain{1.0};

    // Fader and quit (main thread, except quit_audio).
    std::int8_t fade_active = 1;
    double fade_target = 50.0;
    double fade_step = 0.5;
    unsigned fade_timer = 0;
    bool exiting = false;
    std::atomic<bool> quit_audio{false};
    // True while the audio thread runs: at Quit the main thread waits, a
    // little while at most, for it to play out what the device holds.
    std::atomic<bool> audio_running{false};

    // Sequence playback (main thread, except step_seconds).
    bool playing = false;
    bool paused = false;
    std::FILE* sequence_file = nullptr;
    seq::LineBuffer line_buffer;
    int step_duration = 0;
    std::atomic<int> step_seconds{0};
    double slide_target = 0.0;
    double beat_increment = 0.0;
    char step_time_text[16] = "00:00";   // room past 600000 seconds

    // Synthesis: the phases are the audio thread's own; what the color box
    // shows of them, the fundamentals' phases, it publishes once a period.
    bool hq = false;   // -hq: set before the audio thread starts
    // Phase units per cycle: 11025, or the granted rate with -hq. The
    // audio thread stores it before its first frame; the color box reads it.
    std::atomic<double> phase_modulus{11025.0};
    std::atomic<double> shown_left_phase{0.0};
    std::atomic<double> shown_right_phase{0.0};

    // Color box (main thread).
    int colorbox_width = 0;
    int colorbox_height = 0;
    BoxColor box_color;
    double color_offset = 0.0;
    unsigned color_timer = 0;

    // Widgets (main thread).
    GtkAdjustment* beat_adjustment = nullptr;
    GtkAdjustment* base_adjustment = nullptr;
    GtkAdjustment* volume_adjustment = nullptr;
    GtkAdjustment* offset_adjustment = nullptr;
    GtkWidget* beat_slider = nullptr;
    GtkWidget* base_slider = nullptr;
    GtkWidget* offset_slider = nullptr;
    GtkWidget* beat_label = nullptr;
    GtkWidget* base_label = nullptr;
    GtkWidget* volume_label = nullptr;
    GtkWidget* clock_label = nullptr;
    GtkWidget* step_label = nullptr;
    GtkWidget* play_image = nullptr;
    Icon idle_icon, playing_icon, paused_icon;
    GtkWidget* box_button = nullptr;
};

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<double>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

extern PlayerState player;

constexpr std::memory_order relaxed = std::memory_order_relaxed;

// The volume the streams play: the slider's, through the gain stage. At a
// gain of 1 it is the slider's value exactly.
inline double heard_volume() { return player.volume.load(relaxed) * player.output_gain.load(relaxed); }
