// The transport as the desktop and the window share it: each window button,
// menu item and remote-control method calls one of these, so the two views
// never disagree. Main thread only; no display needed.
#pragma once

#include <cstdint>
#include <string>

#include "gain.h"
#include "status.h"

struct DesktopState {
    desk::GainStages gains;
    std::string current;       // the open sequence's path, while one plays
    std::string current_title;
    std::int64_t current_seconds = -1;   // its length in the player
    std::uint64_t track = 0;   // counts the sequences started
    std::string recent;        // what Play starts: the last sequence played
    std::string memory;        // the file that remembers it across runs
    double started = 0.0;      // clock at the start of the current sequence
    double paused_for = 0.0;   // seconds it has been paused since
    double last_tick = -1.0;
    unsigned gain_timer = 0;
    bool inhibit = true;       // -noinhibit clears it
    void (*raise)() = nullptr; // presents the main window
};

extern DesktopState desktop;

// Seconds on a steady clock; tests put their own clock here.
extern double (*desktop_clock)();

// Stops what plays and starts the sequence at `path` from its beginning;
// remembers it. False when it does not open.
bool start_sequence(const char* path);

// The window's play button: un-mutes, then pauses or resumes the open
// sequence (true) or, without one, leaves the choosing to the window
// (false). The stop button: un-mutes and stops the sequence.
bool window_play();
void window_stop();

// The media keys.
void media_play();
void media_pause();
void media_play_pause();
void media_stop();

// The remote's volume, 0 to 1, through the slider; NaN is ignored.
void set_volume_fraction(double v);
double volume_fraction();

desk::Status current_status();
bool sequence_open();
// Microseconds into the open sequence, pauses left out; 0 without one.
std::int64_t position_us();

// The sleep timer: set (minutes), cancel, and whether one runs.
void set_sleep_timer(double minutes);
void cancel_sleep_timer();
bool sleep_timer_active();

// "Ambrise 2.1", with the time left while a sleep timer runs.
std::string window_title();

// Steps the gain stages and stores their product; ends the player as Quit
// does when the sleep timer runs out. The 10 ms tick calls it.
void gain_step();
// Counts the seconds a sequence stands paused (for its position).
void account_time(double dt);
