// Puts the player's record back to its defaults between tests.
#pragma once

#include "state.h"

inline void reset_player() {
    player.harmonics.store(3);
    player.base_hz.store(300.0);
    player.beat_hz.store(10.0);
    player.volume.store(0.0);
    player.noise_colour.store(0);
    player.noise_level.store(0.0);
    player.listen_mode.store(0);
    player.output_gain.store(1.0);
    player.fade_active = 1;
    player.fade_target = 50.0;
    player.fade_step = 0.5;
    player.fade_timer = 0;
    player.exiting = false;
    player.quit_audio.store(false);
    player.playing = false;
    player.paused = false;
    player.sequence_file = nullptr;
    player.step_duration = 0;
    player.step_seconds.store(0);
    player.slide_target = 0.0;
    player.beat_increment = 0.0;
    player.shown_left_phase.store(0.0);
    player.shown_right_phase.store(0.0);
}
