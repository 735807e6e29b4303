// The gain stages above the volume slider: the media keys' mute and the
// sleep timer's fade. Pure arithmetic on seconds; the main loop steps them
// and stores their product in the player's output gain.
#pragma once

namespace desk {

// A value that moves toward its target at a bounded speed (full range per
// `seconds`), so that a change of gain is heard as a glide, not a step.
struct Glide {
    double value = 1.0;
    double target = 1.0;
    double seconds = 0.5;
    void step(double dt);
    bool moving() const { return value != target; }
};

constexpr double mute_glide_seconds = 0.5;
// A timer's fade: linear in decibels from full level down to the floor
// over its last minute (or the whole timer when shorter), then silence.
constexpr double sleep_fade_seconds = 60.0;
constexpr double sleep_floor_db = -60.0;
// Cancelling restores full level this fast: at once to the ear, no click.
constexpr double sleep_restore_seconds = 0.1;
// -timer and the menu's longest choice stay within a day.
constexpr double max_timer_minutes = 1440.0;

// The fade's gain (0 to 1) for a timer of `total` seconds, `elapsed`
// seconds after it was set.
double sleep_curve(double total, double elapsed);

struct SleepTimer {
    bool active = false;
    bool ended = false;   // ran out: silent for good
    double total = 0.0;   // seconds
    double start = 0.0;   // the clock when it was set
    Glide stage{1.0, 1.0, sleep_restore_seconds};

    void set(double now, double seconds);
    void cancel() { active = false; }
    // Follows the curve down at once, and rises only as a glide (a timer set
    // again in the middle of its fade, a cancel). At the end it stays silent.
    void step(double now, double dt);
    double remaining(double now) const;
};

struct GainStages {
    Glide mute{1.0, 1.0, mute_glide_seconds};
    SleepTimer sleep;
    bool muted() const { return mute.target == 0.0; }
    void step(double now, double dt) {
        mute.step(dt);
        sleep.step(now, dt);
    }
    double gain() const { return mute.value * sleep.stage.value; }
    bool moving() const { return mute.moving() || sleep.active || sleep.stage.moving(); }
};

// -timer's argument: minutes, decimals allowed, above 0 and at most a day.
bool parse_timer_minutes(const char* text, double& minutes);

}  // namespace desk
