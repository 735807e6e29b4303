#include "snapshot.h"

#include <ctime>

#include "state.h"

Settings load_settings() {
    Settings s;
    s.base = player.base_hz.load(relaxed);
    s.beat = player.beat_hz.load(relaxed);
    s.volume = heard_volume();
    s.harmonics = player.harmonics.load(relaxed);
    int mode = player.listen_mode.load(relaxed);
    int colour = player.noise_colour.load(relaxed);
    if (mode >= 0 && mode <= static_cast<int>(seq::ListenMode::Isochronic)) s.mode = static_cast<seq::ListenMode>(mode);
    if (colour >= 0 && colour <= static_cast<int>(seq::NoiseColour::Brown))
        s.colour = static_cast<seq::NoiseColour>(colour);
    s.noise_level = seq::noise_level(player.noise_level.load(relaxed));
    return s;
}

void publish_phases(const Oscillator& oscillator) {
    player.shown_left_phase.store(oscillator.left_phases()[0], relaxed);
    player.shown_right_phase.store(oscillator.right_phases()[0], relaxed);
}

void wait_for_audio(double seconds) {
    const timespec pause{0, 5000000};
    for (double waited = 0; waited < seconds && player.audio_running.load(); waited += 0.005) nanosleep(&pause, nullptr);
}
