// What the audio thread and the rest of the player exchange through the
// player's record: the settings the thread loads once per period, the
// phases it publishes for the color box, and the wait for its last frames.
#pragma once

#include "oscillator.h"

// The record's sound parameters as one consistent set; the volume as heard,
// through the gain stage. Out-of-range mode and colour numbers play the
// plain tone.
Settings load_settings();

// The fundamentals' phases, for the color box.
void publish_phases(const Oscillator& oscillator);

// After quit_audio is set: waits until the audio thread has played out
// and ended, for `seconds` at most, so that a stuck device cannot hold
// the exit. Returns at once when the thread does not run.
void wait_for_audio(double seconds);
